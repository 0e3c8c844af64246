#pragma once
// The seam between the store file code both systems share (StoreFileShared.cpp) and
// each system's own (StoreFilePosix.cpp, StoreFileWindows.cpp: the build takes the
// one for the system it builds for). Each system's file defines readStoreBytes and
// writeStoreFileAtomically (StoreFile.h) and the first group of names below.

#include "StoreFile.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

// Each system's file defines these: how an error is numbered and described, how a
// UTF-8 path becomes a path the system takes, and what links and locks mean there.

#ifdef _WIN32
using SystemError = unsigned long;  // a Windows error number (DWORD), as GetLastError gives it
#else
using SystemError = int;            // an errno value
#endif

// Reported when the store's name is a folder rather than a file, and when a path
// is not valid UTF-8.
extern const SystemError notAFile;
extern const SystemError notUtf8;

// The path the system takes for a UTF-8 path; std::nullopt when it cannot be one.
std::optional<std::filesystem::path> nativePath(const std::string& path);
// A path as the UTF-8 text a message shows.
std::string displayPath(const std::filesystem::path& path);
// The system's own description of an error, as the end of a message.
std::string reasonText(SystemError error);
unsigned processId();
// Where a symbolic link (or another kind of link) at file points; file itself when it
// is not a link or cannot be followed.
std::filesystem::path resolveLink(const std::filesystem::path& file);
// Removes a temporary file unless a writer is still at work on it.
void removeIfAbandoned(const std::filesystem::path& temporary);

// StoreFileShared.cpp defines these, for both systems' files.

// Throw RecordTableError with the path in full and the system's reason:
//   Cannot open file "<path>". <reason>     Cannot create file "<path>". <reason>
[[noreturn]] void failOpen(const std::string& path, SystemError error);
[[noreturn]] void failCreate(const std::string& path, SystemError error);

// Chunks of at most 1 GiB stay within what every system accepts in one call.
inline constexpr std::size_t largestChunk = std::size_t{1} << 30;

// Calls attempt() until it returns true or the time has passed, pausing between
// calls: for waiting out another process that holds a file for a while.
template <class Attempt>
void retryForUpTo(std::chrono::milliseconds time, Attempt&& attempt)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + time;
    while (!attempt() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(20));
}

// The same for another process that holds a file briefly.
template <class Attempt>
void retryForUpToASecond(Attempt&& attempt)
{
    retryForUpTo(std::chrono::seconds(1), std::forward<Attempt>(attempt));
}

// Keeps every other writer of a store waiting, from a successful acquire until it is
// destroyed (each system's file says with what). Another writer's merge of a large
// store and its flush to the disk may take a few seconds: that is waited for.
class StoreWritersLock {
public:
    static constexpr std::chrono::seconds longestWait{10};

    StoreWritersLock() = default;
    ~StoreWritersLock();
    StoreWritersLock(const StoreWritersLock&) = delete;
    StoreWritersLock& operator=(const StoreWritersLock&) = delete;

    // Waits up to longestWait for the lock of the store at the absolute path store.
    // Returns 0 once it is held, or where the file system offers no such lock (the
    // write then goes ahead without it), else the error number of the lock not had.
    SystemError acquire(const std::filesystem::path& store);

private:
    std::intptr_t held_ = -1;  // the descriptor or handle that holds the lock
};

// The content makeContent gives; an error it throws first removes the temporary file
// (removeTemporary), then goes on as it is.
template <class Remove>
std::string_view contentOrRemove(const StoreContentMaker& makeContent, Remove&& removeTemporary)
{
    try {
        return makeContent();
    } catch (...) {
        removeTemporary();
        throw;
    }
}

// Names for the temporary file beside a store: "<store name>.tmp-XXXXXX".
class TemporaryNames {
public:
    static constexpr int attempts = 100;  // names to try before giving up

    explicit TemporaryNames(std::filesystem::path store);
    std::filesystem::path next();

private:
    std::filesystem::path store_;
    std::mt19937 random_;
};

// Removes the temporary files that earlier writes of this store left behind when
// their process was killed before the move: each is a copy of secrets that nothing
// would ever read or remove. Called only after a successful write, so the store file
// itself is whole; links and folders of that name are left alone, and so is the
// temporary file of another process that is writing the same store right now. A
// failure here is ignored, since the store was written.
void removeLeftoverTemporaries(const std::filesystem::path& store);

// The file a write replaces, as an absolute path. A store reached through a symbolic
// link is replaced where the link points, so the link itself stays as the user made it.
std::filesystem::path replacedFile(const std::string& path);
