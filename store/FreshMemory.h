#pragma once
// Fresh memory costs a page fault for every page first touched, which for a large
// store takes about as long as copying its bytes. bringInInBackground asks the system,
// on a second thread, to bring in the pages of a block the caller is about to fill,
// so that the faults fall on the other processor core. The contents are not
// touched: the caller may write the block meanwhile. Only a hint: where the system
// lacks the request (it is Linux's), or no thread can be had, the caller's own writes
// bring the pages in as usual. The block must outlive the thread returned, which
// waits for the request to end when it is destroyed or assigned to.

#include <cstddef>
#include <cstdint>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

inline std::jthread bringInInBackground(void* block, std::size_t bytes)
{
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // Only whole pages inside the block, and only a block worth a thread.
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t last = (begin + bytes) & ~(page - 1);
    if (last <= first || last - first < 64 * page)
        return {};
    try {
        return std::jthread([first, last] {
            ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
        });
    } catch (const std::system_error&) {
        return {};
    }
#else
    (void)block;
    (void)bytes;
    return {};
#endif
}
