// The store file code of Windows: reading a file whole while others may only read
// it, stamping one, and replacing one atomically while no other writer can.
//
// Paths are UTF-8 and are turned into UTF-16 for the system calls. The temporary
// file is held open, unshared, from its creation until it has replaced the store: it
// is renamed through its own handle (SetFileInformationByHandle with FileRenameInfo,
// replacing what is there) and flushed again, so that no other process can open or
// delete it while it is written or moved. No access rules are set here: a new file
// takes the rules its folder passes on, which in the user's own profile folders
// admit only the user, the system and administrators. The temporary file gets those
// inherited rules and keeps them when it takes the store's place, so rules added by
// hand to an old store file are not carried over, and a store kept in a folder
// shared with others is as open as that folder.

#include "StoreFile.h"

#include "file/StoreFileSystem.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

static_assert(std::is_same_v<SystemError, DWORD>, "an error number is what GetLastError gives");

namespace fs = std::filesystem;

namespace {

// UTF-8 to UTF-16, or std::nullopt when the text is not valid UTF-8.
std::optional<std::wstring> widen(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        return std::nullopt;
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0)
        return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), length);
    return wide;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string narrow(std::wstring_view wide)
{
    if (wide.empty() || wide.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    const int size = static_cast<int>(wide.size());
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string text(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), length, nullptr, nullptr);
    return text;
}

// Closes a handle once, on every path out of a scope.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~FileHandle() { reset(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    HANDLE get() const { return handle_; }
    // Closes now and reports the result, for the one close whose error matters.
    bool closeNow()
    {
        const bool closed = handle_ == INVALID_HANDLE_VALUE || ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return closed;
    }
    void reset()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

bool heldByAnother(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Writes all of data. Returns 0 or the error number.
DWORD writeAll(HANDLE file, std::string_view data)
{
    while (!data.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min(data.size(), largestChunk));
        DWORD written = 0;
        if (!::WriteFile(file, data.data(), chunk, &written, nullptr))
            return ::GetLastError();
        if (written == 0)
            return ERROR_WRITE_FAULT;  // no progress and no error: treat as failure rather than spin
        data.remove_prefix(written);
    }
    return 0;
}

// The first n bytes of a file from where its handle stands (fewer where it ends
// before, when upToEnd is set), or std::nullopt when they cannot be read.
std::optional<std::string> readFirst(HANDLE file, std::size_t n, bool upToEnd = false)
{
    std::string bytes(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        DWORD read = 0;
        if (!::ReadFile(file, bytes.data() + got, static_cast<DWORD>(n - got), &read, nullptr))
            return std::nullopt;
        if (read == 0) {
            if (upToEnd)
                break;
            ::SetLastError(ERROR_HANDLE_EOF);
            return std::nullopt;
        }
        got += read;
    }
    bytes.resize(got);
    return bytes;
}

// Creates the temporary file exclusively (never opening a file that is already
// there), unshared, and with the right to rename and delete it through its handle.
// Returns the handle, or INVALID_HANDLE_VALUE with the error left for GetLastError.
HANDLE createTemporary(const fs::path& target, std::string_view content, fs::path& tempPath)
{
    TemporaryNames names(target, content);
    for (int attempt = 0; attempt < TemporaryNames::attempts; ++attempt) {
        tempPath = names.next();
        const HANDLE handle = ::CreateFileW(tempPath.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return handle;
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    ::SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

// Marks the file of an open handle for deletion once the handle is closed.
void deleteThroughHandle(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Moves the finished temporary file over the store, through its own handle. A reader
// elsewhere holding the store open refuses the move for as long as it reads, so a
// refused move is tried again for up to a second, unless the store's place is a
// folder or a read-only file, which no waiting changes. Returns 0 or the error number.
DWORD moveIntoPlace(HANDLE file, const fs::path& to)
{
    const std::wstring& name = to.native();
    const std::size_t nameBytes = name.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);  // with room for the ending zero
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(buffer.data() + offsetof(FILE_RENAME_INFO, FileName), name.c_str(), nameBytes);

    DWORD error = 0;
    retryForUpToASecond([&] {
        if (::SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
            error = 0;
            return true;
        }
        error = ::GetLastError();
        if (error == ERROR_ACCESS_DENIED) {
            const DWORD attributes = ::GetFileAttributesW(to.c_str());
            return attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0;
        }
        return !heldByAnother(error);
    });
    return error;
}

}  // namespace

// What the shared code asks of each system (see file/StoreFileSystem.h).

const SystemError notAFile = ERROR_ACCESS_DENIED;
const SystemError notUtf8 = ERROR_NO_UNICODE_TRANSLATION;

std::optional<fs::path> nativePath(const std::string& path)
{
    std::optional<std::wstring> wide = widen(path);
    if (!wide)
        return std::nullopt;
    return fs::path(std::move(*wide));
}

std::string displayPath(const fs::path& path)
{
    return narrow(path.native());
}

// The system's own description, in the user's language, without the line end and
// full stop it comes with, so that it reads like the POSIX one.
std::string reasonText(SystemError error)
{
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0 && buffer)
        text = narrow(std::wstring_view(buffer, length));
    if (buffer)
        ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text.empty() ? "System error " + std::to_string(error) : text;
}

unsigned processId()
{
    return static_cast<unsigned>(::GetCurrentProcessId());
}

// A link that leads to no file (its target missing, or a loop) is refused with the
// system's reason: the link is never replaced by a file.
std::optional<fs::path> resolveLink(const fs::path& file, SystemError& error)
{
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return file;
    // Opening without FILE_FLAG_OPEN_REPARSE_POINT follows the link; the handle then
    // names the file it reached.
    FileHandle linked(::CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (linked.get() == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        return std::nullopt;
    }
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(linked.get(), buffer.data(),
                                                         static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
        if (length == 0) {
            error = ::GetLastError();
            return std::nullopt;
        }
        if (length < buffer.size())
            return fs::path(std::wstring(buffer.data(), length));
        buffer.resize(length);  // too small: length is the size needed
    }
}

// A writer holds its temporary file open, unshared, from creating it until it has
// taken the store's place; the system closes the handle when the writer ends, also
// when it is killed. A temporary file that can be opened unshared is therefore
// abandoned; it is looked at through that handle, and deleted through it only when
// its name, size and first bytes prove it is one. The handle is the link itself
// where the name is a link (MinGW's standard library reports a link as what it
// points to), so a link or a folder of the name is told by its attributes, and left
// alone.
void removeIfAbandoned(const fs::path& store, const fs::path& temporary)
{
    FileHandle file(::CreateFileW(temporary.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        return;  // a writer at work, or nothing to open
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        return;
    const std::uint64_t size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    const std::optional<std::string> head =
        readFirst(file.get(), static_cast<std::size_t>(std::min<std::uint64_t>(size, fingerprintedBytes)));
    if (head && isAbandonedTemporary(store, temporary, size, *head))
        deleteThroughHandle(file.get());
}

// Writers of a store hold "<store name>.lock" beside it open without sharing, so
// that another writer's open fails until it is closed; the file is deleted as it is
// closed, also by the system when the writer ends in any way. (The store's folder
// cannot serve: byte-range locks do not apply to folders, and a folder opened
// without sharing would be refused while anyone, such as the desktop's file window,
// watches it.) Share modes hold across the network on shared folders too. Readers
// take no lock.
StoreWritersLock::~StoreWritersLock()
{
    if (held_ != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(held_));
}

SystemError StoreWritersLock::acquire(const fs::path& store)
{
    fs::path lockFile = store;
    lockFile += L".lock";
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    // A lock file whose deletion is pending refuses to be opened with access denied;
    // so does a folder where no file may be made, and there no lock file is found.
    const auto busy = [&] {
        if (error == ERROR_ACCESS_DENIED)
            return ::GetFileAttributesW(lockFile.c_str()) != INVALID_FILE_ATTRIBUTES
                   || ::GetLastError() != ERROR_FILE_NOT_FOUND;
        return heldByAnother(error);
    };
    retryForUpTo(longestWait, [&] {
        handle = ::CreateFileW(lockFile.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        error = handle == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
        return !busy();
    });
    if (handle != INVALID_HANDLE_VALUE) {
        held_ = reinterpret_cast<std::intptr_t>(handle);
        return 0;
    }
    // Any other error: a lock file cannot be made there, and the write goes ahead.
    return busy() ? error : 0;
}

StoreFileStamp stampStoreFile(const std::string& path)
{
    StoreFileStamp stamp;
    const std::optional<fs::path> native = nativePath(path);
    if (!native) {
        stamp.exists = true;  // cannot be told
        return stamp;
    }
    const FileHandle file(::CreateFileW(native->c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        stamp.exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
        return stamp;
    }
    stamp.exists = true;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandle(file.get(), &info)
        || !::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic))
        return stamp;
    const auto join = [](DWORD high, DWORD low) { return std::uint64_t{high} << 32 | low; };
    stamp.volume = info.dwVolumeSerialNumber;
    stamp.file = join(info.nFileIndexHigh, info.nFileIndexLow);
    stamp.size = join(info.nFileSizeHigh, info.nFileSizeLow);
    stamp.modified = basic.LastWriteTime.QuadPart;
    stamp.changed = basic.ChangeTime.QuadPart;
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const auto nowTicks = static_cast<std::int64_t>(join(now.dwHighDateTime, now.dwLowDateTime));
    stamp.settled = nowTicks - std::max(stamp.modified, stamp.changed) >= 2 * 10000000;  // 100 ns ticks
    return stamp;
}

std::optional<StoreBytes> readStoreBytes(const std::string& path, const FirstLook& lookFirst)
{
    const std::optional<fs::path> native = nativePath(path);
    if (!native)
        failOpen(path, notUtf8);

    // Others may read the file while it is read here, but not write it. A process
    // that has it open for writing is waited for, up to a second.
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    retryForUpToASecond([&] {
        handle = ::CreateFileW(native->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        error = handle == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
        return !heldByAnother(error);
    });
    if (handle == INVALID_HANDLE_VALUE) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return std::nullopt;  // no file of that name
        failOpen(path, error);
    }
    FileHandle file(handle);

    // Only a file on a disk is read: never a pipe or a device.
    if (::GetFileType(file.get()) != FILE_TYPE_DISK)
        failOpen(path, ERROR_INVALID_PARAMETER);

    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size))
        failOpen(path, ::GetLastError());
    if (lookFirst) {
        const std::optional<std::string> head = readFirst(file.get(), firstLookBytes, true);
        if (!head || !::SetFilePointerEx(file.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN))
            failOpen(path, ::GetLastError());
        lookFirst(*head, static_cast<std::uint64_t>(size.QuadPart));
    }
    // Read straight into a buffer one byte longer than the file, so that the read
    // that finds the end needs no more room; a file that grew meanwhile is read whole.
    StoreBytes content;
    std::size_t room = size.QuadPart > 0 ? static_cast<std::size_t>(size.QuadPart) + 1 : 4096;
    for (;;) {
        char* into = content.makeRoom(room);
        DWORD got = 0;
        const DWORD ask = static_cast<DWORD>(std::min(room, largestChunk));
        if (!::ReadFile(file.get(), into, ask, &got, nullptr))
            failOpen(path, ::GetLastError());
        if (got == 0)
            break;
        content.grew(got);
        room = got < room ? room - got : content.size();
    }
    return content;
}

void writeStoreFileAtomicallyFrom(const std::string& path, const StoreContentMaker& makeContent)
{
    const fs::path target = replacedFile(path);

    // Taken before the temporary file is made, as on POSIX: a writer sweeping
    // leftovers while it holds the lock meets no temporary file of a live writer.
    StoreWritersLock writers;
    if (const DWORD reason = writers.acquire(target))
        failCreate(path, reason);
    const std::string_view content = makeContent();  // under the lock, as on POSIX

    fs::path tempPath;
    FileHandle temp(createTemporary(target, content, tempPath));
    if (temp.get() == INVALID_HANDLE_VALUE)
        failCreate(path, ::GetLastError());

    // From here on every failure empties and removes the temporary file before
    // reporting: where the deletion is refused, an empty file is all that stays.
    const auto abandon = [&](DWORD reason) {
        if (::SetFilePointerEx(temp.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN))
            ::SetEndOfFile(temp.get());
        deleteThroughHandle(temp.get());
        temp.reset();
        failCreate(path, reason);
    };

    const auto write = [&](std::string_view bytes) { return writeAll(temp.get(), bytes); };
    const auto writeAtStart = [&](std::string_view bytes) {
        return ::SetFilePointerEx(temp.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) ? writeAll(temp.get(), bytes)
                                                                                    : ::GetLastError();
    };
    if (const DWORD reason = writeMarked(content, write, writeAtStart))
        abandon(reason);
    if (!::FlushFileBuffers(temp.get()))
        abandon(::GetLastError());
    if (const DWORD reason = moveIntoPlace(temp.get(), target))
        abandon(reason);

    // The new file is in place. It is flushed once more for its new name, as the
    // write-through of a move would; a failure there, or at the close, is reported,
    // and the caller keeps its records.
    if (!::FlushFileBuffers(temp.get()) || !temp.closeNow())
        failCreate(path, ::GetLastError());
    removeLeftoverTemporaries(target);
}
