#pragma once
// Limits the size of any file this process writes, as a full disk or a quota would,
// for as long as the object lives (root included). SIGXFSZ keeps whatever action it
// has, as under a user's `ulimit -f`: by default it ends the process, so a write past
// the limit that the store does not turn into an error ends the test program.

#include <sys/resource.h>

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit small = saved_;
        small.rlim_cur = bytes;
        active_ = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit() { lift(); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    // Whether the limit could be set.
    bool active() const { return active_; }
    void lift()
    {
        if (!active_)
            return;
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        active_ = false;
    }

private:
    rlimit saved_{};
    bool active_ = false;
};
