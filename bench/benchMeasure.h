#pragma once
// What the benchmark programs measure with: wall time, resident memory, and the plain
// read of a file that is the floor for loading it.

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace benchMeasure {

template <class Work>
double secondsOf(Work work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The process's resident memory, once freed memory has been handed back to the system.
inline double residentBytes()
{
    malloc_trim(0);
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// Starts counting the peak of resident memory afresh (Linux: /proc/self/clear_refs).
inline void resetPeakResident()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

// The peak of resident memory since the last reset, or since the process began.
inline double peakResidentBytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atof(line.c_str() + 6) * 1024;
    }
    return 0;
}

// Seconds to read the file's bytes into fresh memory: the floor for any load. The
// buffer is mapped anew each time so that it pays the page faults a program starting
// up would, whatever the heap happened to hold already. A file that cannot be read
// whole ends the program.
inline double plainRead(const std::filesystem::path& file, std::uint64_t* bytes = nullptr)
{
    const auto cannot = [&](const char* what) {
        std::fprintf(stderr, "benchmark: %s %s\n", what, file.c_str());
        std::_Exit(2);
    };
    return secondsOf([&] {
        const int fd = open(file.c_str(), O_RDONLY);
        struct stat info {};
        if (fd < 0 || fstat(fd, &info) != 0)
            cannot("cannot open");
        const auto size = static_cast<std::size_t>(info.st_size);
        void* buffer = mmap(nullptr, std::max<std::size_t>(size, 1), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (buffer == MAP_FAILED)
            cannot("cannot map a read buffer for");
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = read(fd, static_cast<char*>(buffer) + got, size - got);
            if (n <= 0)
                cannot("short read of");
            got += static_cast<std::size_t>(n);
        }
        close(fd);
        munmap(buffer, std::max<std::size_t>(size, 1));
        if (bytes)
            *bytes = got;
    });
}

}  // namespace benchMeasure
