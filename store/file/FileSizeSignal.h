#pragma once
// POSIX only. A write past the file size limit (`ulimit -f`, a quota set that way)
// raises SIGXFSZ, whose default action ends the process at once: every record of the
// session would be lost and a partial temporary file left behind. While a
// HeldFileSizeSignal lives, the signal is blocked in the calling thread, so such a
// write fails with EFBIG instead and the writer reports it like a full disk. The
// signals raised meanwhile are taken before the thread's mask is put back, so none
// arrives later. A caller that blocked the signal itself keeps it as it was.

#include <csignal>

#include <pthread.h>

class HeldFileSizeSignal {
public:
    HeldFileSizeSignal()
    {
        sigemptyset(&signal_);
        sigaddset(&signal_, SIGXFSZ);
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &signal_, &saved_) == 0 && !sigismember(&saved_, SIGXFSZ);
    }
    ~HeldFileSizeSignal()
    {
        if (!blocked_)
            return;
        const timespec noWait{};
        while (::sigtimedwait(&signal_, nullptr, &noWait) == SIGXFSZ) {
        }
        ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    HeldFileSizeSignal(const HeldFileSizeSignal&) = delete;
    HeldFileSizeSignal& operator=(const HeldFileSizeSignal&) = delete;

private:
    sigset_t signal_{};
    sigset_t saved_{};
    bool blocked_ = false;  // blocked here, so to be let through again here
};
