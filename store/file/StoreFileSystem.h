#pragma once
// The seam between the store file code both systems share (StoreFileShared.cpp) and
// each system's own (StoreFilePosix.cpp, StoreFileWindows.cpp: the build takes the
// one for the system it builds for). Each system's file defines readStoreBytes and
// writeStoreFileAtomically (StoreFile.h) and the first group of names below.

#include "StoreFile.h"

#include <algorithm>
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
// Where a symbolic link (or another kind of link) at file points, through a chain of
// links; file itself when it is not a link. std::nullopt, with the system's reason in
// error, for a link that cannot be followed (a loop; on Windows, also one that leads
// to no file), which a write must refuse rather than replace with a file.
std::optional<std::filesystem::path> resolveLink(const std::filesystem::path& file, SystemError& error);
// Removes the regular file temporary (never a link or a folder) when no writer holds
// it and isAbandonedTemporary says it is an abandoned temporary file of store.
void removeIfAbandoned(const std::filesystem::path& store, const std::filesystem::path& temporary);

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

// Names for the temporary file beside a store, "<store name>.~qrl-CCCCCCCC-RRRRRRRR.tmp":
// C the fingerprint of the content it is made for (eight lower-case hexadecimal
// digits, see contentFingerprint), R eight random letters or digits. No person types
// such a name, and the fingerprint ties the name to what the whole file holds.
class TemporaryNames {
public:
    static constexpr int attempts = 100;  // names to try before giving up

    TemporaryNames(std::filesystem::path store, std::string_view content);
    std::filesystem::path next();

private:
    std::filesystem::path store_;
    std::string fingerprint_;
    std::mt19937 random_;
};

// How much of a file its fingerprint covers, from its start.
inline constexpr std::size_t fingerprintedBytes = 64 * 1024;
// The CRC-32 of a file's size (eight bytes, least significant first) followed by its
// first bytes (head: the first fingerprintedBytes of them, or all when it is
// shorter). Only the start is read, so that a large leftover is told by 64 KiB.
std::uint32_t contentFingerprint(std::uint64_t size, std::string_view head);

// A temporary file is written with these bytes in place of the content's first ones
// (only as many as the content has, up to 16), and they are put back last, just
// before the file takes the store's place: a file that starts with them is one that
// a writer never finished. No store of either form starts with a zero byte.
inline constexpr std::string_view unfinishedMarker{"\0QRL-unfinished\n", 16};
// The bytes that stand for content's first bytes while it is written.
inline std::string_view unfinishedHead(std::string_view content)
{
    return unfinishedMarker.substr(0, std::min(content.size(), unfinishedMarker.size()));
}

// Writes content into a new temporary file behind the marker of an unfinished one,
// then gives it its own first bytes back. write(bytes) writes on from where the file
// stands, writeAtStart(bytes) over its first bytes; each returns 0 or the system's
// error, and so does this.
template <class Write, class WriteAtStart>
SystemError writeMarked(std::string_view content, Write write, WriteAtStart writeAtStart)
{
    const std::string_view marker = unfinishedHead(content);
    if (const SystemError reason = write(marker))
        return reason;
    if (const SystemError reason = write(content.substr(marker.size())))
        return reason;
    return writeAtStart(content.substr(0, marker.size()));
}

// Whether a file beside the store is a temporary file of this program that its writer
// abandoned: its name is one TemporaryNames gives for this store, and its size and
// first bytes (head, as contentFingerprint takes them) are what a writer leaves at
// some step: nothing yet, the marker in front, or the content whose fingerprint the
// name carries. Each system's removeIfAbandoned asks this once it holds the file so
// that no writer can be at work on it.
bool isAbandonedTemporary(const std::filesystem::path& store, const std::filesystem::path& candidate,
                          std::uint64_t size, std::string_view head);

// Removes the temporary files that earlier writes of this store left behind when
// their process was killed before the move: each is a copy of secrets that nothing
// would ever read or remove. Called only after a successful write, so the store file
// itself is whole. Only what isAbandonedTemporary proves is removed: links, folders,
// files of other names or contents, and the temporary file of another process that
// is writing the same store right now are left alone. A failure here is ignored,
// since the store was written.
void removeLeftoverTemporaries(const std::filesystem::path& store);

// The file a write replaces, as an absolute path. A store reached through a symbolic
// link is replaced where the link points, so the link itself stays as the user made it.
std::filesystem::path replacedFile(const std::string& path);
