// Reading and writing whole store files, on POSIX systems and on Windows.
//
// A store file is replaced, never rewritten in place: the new content goes into a
// temporary file "<name>.tmp-XXXXXX" (six random letters and digits) in the store's
// own folder, created exclusively, written whole, flushed to the disk, and then
// moved over the store file in one step. Any failure before that step removes the
// temporary file and leaves the store file as it was. Only a process killed between
// creating and moving its temporary file can leave one behind, holding a whole or
// partial copy of the secrets; the next successful write of the same store removes
// every such leftover (regular files of exactly that name pattern, in that folder)
// that no writer still holds locked.
//
// POSIX: the temporary file has mode 0600, replaces the store with rename(), and
// last the folder itself is flushed so the rename survives a power cut.
//
// Windows: paths are UTF-8 and are turned into UTF-16 for the system calls. The
// temporary file replaces the store with MoveFileExW(MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH), which returns only once the move is on the disk, so no
// folder flush follows. No access rules are set here: a new file takes the rules its
// folder passes on, which in the user's own profile folders admit only the user,
// the system and administrators. The temporary file gets those inherited rules and
// keeps them when it takes the store's place, so rules added by hand to an old store
// file are not carried over, and a store kept in a folder shared with others is as
// open as that folder.

#include "StoreFile.h"

#include "FieldTypes.h"
#include "FreshMemory.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <thread>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <climits>
#include <string_view>
#include <vector>
#else
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------
// What differs between the systems underneath the shared helpers: how an error is
// numbered and described, and how a UTF-8 path becomes a path the system takes.

#ifdef _WIN32

using SystemError = DWORD;

// Reported when the store's name is a folder rather than a file, and when a path
// is not valid UTF-8.
constexpr SystemError notAFile = ERROR_ACCESS_DENIED;
constexpr SystemError notUtf8 = ERROR_NO_UNICODE_TRANSLATION;

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

#else

using SystemError = int;

constexpr SystemError notAFile = EISDIR;
constexpr SystemError notUtf8 = EILSEQ;  // never met: paths are taken byte for byte

std::optional<fs::path> nativePath(const std::string& path)
{
    return fs::path(path);
}

std::string displayPath(const fs::path& path)
{
    return path.string();
}

std::string reasonText(SystemError error)
{
    return std::strerror(error);
}

unsigned processId()
{
    return static_cast<unsigned>(::getpid());
}

#endif

// ---------------------------------------------------------------------------------
// Shared by both systems.

// The path as the user sees it in a message: absolute, but with links unresolved.
std::string fullPath(const std::string& path)
{
    const std::optional<fs::path> native = nativePath(path);
    if (!native)
        return path;
    std::error_code error;
    const fs::path absolute = fs::absolute(*native, error);
    return error ? path : displayPath(absolute.lexically_normal());
}

[[noreturn]] void failOpen(const std::string& path, SystemError error)
{
    throw RecordTableError("Cannot open file \"" + fullPath(path) + "\". " + reasonText(error));
}

[[noreturn]] void failCreate(const std::string& path, SystemError error)
{
    throw RecordTableError("Cannot create file \"" + fullPath(path) + "\". " + reasonText(error));
}

// Chunks of at most 1 GiB stay within what every system accepts in one call.
constexpr std::size_t largestChunk = std::size_t{1} << 30;

// Calls attempt() until it returns true or a second has passed, pausing between
// calls: for waiting out another process that holds a file briefly.
template <class Attempt>
void retryForUpToASecond(Attempt&& attempt)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + seconds(1);
    while (!attempt() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(20));
}

// Names for the temporary file beside a store: "<store name>.tmp-XXXXXX".
class TemporaryNames {
public:
    static constexpr int attempts = 100;  // names to try before giving up

    explicit TemporaryNames(fs::path store) : store_(std::move(store)), random_(std::random_device()() ^ processId())
    {
    }

    fs::path next()
    {
        static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        std::uniform_int_distribution<std::size_t> pick(0, sizeof letters - 2);
        std::string suffix = ".tmp-";
        for (int i = 0; i < 6; ++i)
            suffix += letters[pick(random_)];
        fs::path name = store_;
        name += suffix;
        return name;
    }

private:
    fs::path store_;
    std::mt19937 random_;
};

fs::path resolveLink(const fs::path& file);

// True for "<store name>.tmp-" followed by exactly six letters or digits: the names
// TemporaryNames gives out for this store, and nothing else.
bool isTemporaryOf(const fs::path& store, const fs::path& candidate)
{
    const auto prefix = store.filename().native() + fs::path(".tmp-").native();
    const auto& name = candidate.native();
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(), [](auto c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

// Removes a temporary file unless a writer is still at work on it (see below).
void removeIfAbandoned(const fs::path& temporary);

// Removes the temporary files that earlier writes of this store left behind when
// their process was killed before the move: each is a copy of secrets that nothing
// would ever read or remove. Called only after a successful write, so the store file
// itself is whole; links and folders of that name are left alone, and so is the
// temporary file of another process that is writing the same store right now. A
// failure here is ignored, since the store was written.
void removeLeftoverTemporaries(const fs::path& store)
{
    std::error_code error;
    fs::directory_iterator entries(store.parent_path(), error);
    for (const fs::directory_iterator end; !error && entries != end; entries.increment(error)) {
        const fs::path& candidate = entries->path();
        std::error_code statusError;
        if (isTemporaryOf(store, candidate.filename()) && fs::is_regular_file(fs::symlink_status(candidate, statusError)))
            removeIfAbandoned(candidate);
    }
}

// The file a write replaces, as an absolute path. A store reached through a symbolic
// link is replaced where the link points, so the link itself stays as the user made it.
fs::path replacedFile(const std::string& path)
{
    const std::optional<fs::path> native = nativePath(path);
    if (!native)
        failCreate(path, notUtf8);
    std::error_code error;
    fs::path target = fs::absolute(*native, error);
    if (error)
        target = *native;
    target = resolveLink(target);
    const fs::path base = target.filename();
    if (base.empty() || base == "." || base == "..")
        failCreate(path, notAFile);
    return target;
}

// ---------------------------------------------------------------------------------
// Windows.

#ifdef _WIN32

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

fs::path resolveLink(const fs::path& file)
{
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return file;
    // Opening without FILE_FLAG_OPEN_REPARSE_POINT follows the link; the handle then
    // names the file it reached.
    FileHandle linked(::CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (linked.get() == INVALID_HANDLE_VALUE)
        return file;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(linked.get(), buffer.data(),
                                                         static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
        if (length == 0)
            return file;
        if (length < buffer.size())
            return fs::path(std::wstring(buffer.data(), length));
        buffer.resize(length);  // too small: length is the size needed
    }
}

// A writer holds its temporary file open without sharing until the move, so the
// deletion fails for as long as another process is writing it.
void removeIfAbandoned(const fs::path& temporary)
{
    ::DeleteFileW(temporary.c_str());
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

// Creates the temporary file exclusively (never opening a file that is already
// there) and unshared. Returns the handle, or INVALID_HANDLE_VALUE with the error
// left for GetLastError.
HANDLE createTemporary(const fs::path& target, fs::path& tempPath)
{
    TemporaryNames names(target);
    for (int attempt = 0; attempt < TemporaryNames::attempts; ++attempt) {
        tempPath = names.next();
        const HANDLE handle = ::CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
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

// Moves the finished temporary file over the store. A reader elsewhere holding the
// store open refuses the move for as long as it reads, so a refused move is tried
// again for up to a second, unless the store's place is a folder or a read-only
// file, which no waiting changes. Returns 0 or the error number.
DWORD moveIntoPlace(const fs::path& from, const fs::path& to)
{
    DWORD error = 0;
    retryForUpToASecond([&] {
        if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
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

std::optional<StoreBytes> readStoreBytes(const std::string& path)
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

void writeStoreFileAtomically(const std::string& path, std::string_view content)
{
    const fs::path target = replacedFile(path);

    fs::path tempPath;
    FileHandle temp(createTemporary(target, tempPath));
    if (temp.get() == INVALID_HANDLE_VALUE)
        failCreate(path, ::GetLastError());

    // From here on every failure removes the temporary file before reporting.
    const auto abandon = [&](DWORD reason) {
        temp.reset();
        ::DeleteFileW(tempPath.c_str());
        failCreate(path, reason);
    };

    if (const DWORD reason = writeAll(temp.get(), content))
        abandon(reason);
    if (!::FlushFileBuffers(temp.get()))
        abandon(::GetLastError());
    if (!temp.closeNow())
        abandon(::GetLastError());
    if (const DWORD reason = moveIntoPlace(tempPath, target))
        abandon(reason);
    removeLeftoverTemporaries(target);
}

#else

// ---------------------------------------------------------------------------------
// POSIX.

// Closes a descriptor once, on every path out of a scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    // Closes now and reports the result, for the one close whose error matters.
    int closeNow()
    {
        const int result = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return result;
    }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

fs::path resolveLink(const fs::path& file)
{
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(file, error))) {
        fs::path resolved = fs::canonical(file, error);
        if (!error)
            return resolved;
    }
    return file;
}

// Takes a shared lock on the file being read so that another process that locks
// the file before writing it in place waits until the read is done. Best effort:
// this program's own writer never writes in place (a reader sees the old file or
// the new one), and a lock held elsewhere for longer than a second is not waited
// for; the binary form's checksum then refuses a torn read.
void lockShared(int fd)
{
    retryForUpToASecond([fd] {
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0)
            return true;
        return errno != EWOULDBLOCK && errno != EINTR;  // locking not supported here: read without it
    });
}

// A writer holds an exclusive lock on its temporary file from creating it until it
// has taken the store's place; the system drops the lock when the writer ends, also
// when it is killed. A temporary file that can be locked is therefore abandoned. A
// file system without such locks cannot tell, and the file is removed.
void removeIfAbandoned(const fs::path& temporary)
{
    const int fd = ::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    FileDescriptor file(fd);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return;
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR))
        return;  // a writer at work
    ::unlink(temporary.c_str());
}

// Writes all of data, going on after short writes and interrupted calls. Returns 0
// or the error number.
int writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const std::size_t chunk = std::min(data.size(), largestChunk);
        const ssize_t written = ::write(fd, data.data(), chunk);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO;  // no progress and no error: treat as failure rather than spin
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

int syncFile(int fd)
{
    while (::fsync(fd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

// Creates the temporary file exclusively (never opening a file that is already
// there) and readable and writable by the owner only. Returns the descriptor, or
// -1 with errno set.
int createTemporary(const fs::path& target, fs::path& tempPath)
{
    TemporaryNames names(target);
    for (int attempt = 0; attempt < TemporaryNames::attempts; ++attempt) {
        tempPath = names.next();
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Flushes the folder's entry list so that a finished rename is on the disk. A folder
// that cannot be opened for reading, or a file system that cannot flush folders,
// is passed over; a real flush error is reported.
int syncFolder(const fs::path& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    FileDescriptor dir(fd);
    const int error = syncFile(dir.get());
    return error == EINVAL || error == EROFS || error == ENOTSUP ? 0 : error;
}

}  // namespace

std::optional<StoreBytes> readStoreBytes(const std::string& path)
{
    int fd;
    do {
        // Non-blocking, so that a named pipe at the path cannot hang the program.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;  // no file of that name
        failOpen(path, errno);
    }
    FileDescriptor file(fd);

    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        failOpen(path, errno);
    if (S_ISDIR(info.st_mode))
        failOpen(path, EISDIR);
    if (!S_ISREG(info.st_mode))
        failOpen(path, EINVAL);

    lockShared(file.get());

    // Read straight into a buffer one byte longer than the file, so that the read
    // that finds the end needs no more room; a file that grew meanwhile is read whole.
    // The buffer's memory is brought in on a second thread as the file is read.
    StoreBytes content;
    std::size_t room = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : 4096;
    std::jthread bringIn = bringInInBackground(content.makeRoom(room), room);
    for (;;) {
        char* into = content.makeRoom(room);
        const ssize_t got = ::read(file.get(), into, std::min(room, largestChunk));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            failOpen(path, errno);
        }
        if (got == 0)
            break;
        const auto n = static_cast<std::size_t>(got);
        content.grew(n);
        if (n == room)
            bringIn = {};  // the buffer is full and will be replaced: the thread ends first
        room = n < room ? room - n : content.size();
    }
    return content;
}

void writeStoreFileAtomically(const std::string& path, std::string_view content)
{
    const fs::path target = replacedFile(path);
    const fs::path folder = target.parent_path();

    fs::path tempPath;
    const int fd = createTemporary(target, tempPath);
    if (fd < 0)
        failCreate(path, errno);
    FileDescriptor temp(fd);
    // The lock tells other writers of this store that the file is not abandoned (see
    // removeIfAbandoned). A copy of the descriptor keeps it until the move is done,
    // after the writing descriptor is closed.
    ::flock(temp.get(), LOCK_EX | LOCK_NB);
    const FileDescriptor lockHolder(::fcntl(temp.get(), F_DUPFD_CLOEXEC, 0));

    // From here on every failure removes the temporary file before reporting.
    const auto abandon = [&](int reason) {
        temp.reset();
        ::unlink(tempPath.c_str());
        failCreate(path, reason);
    };

    // The mode is set again explicitly: 0600 must hold whatever the umask says.
    if (::fchmod(temp.get(), S_IRUSR | S_IWUSR) != 0)
        abandon(errno);
    if (const int reason = writeAll(temp.get(), content))
        abandon(reason);
    if (const int reason = syncFile(temp.get()))
        abandon(reason);
    if (temp.closeNow() != 0)
        abandon(errno);
    if (::rename(tempPath.c_str(), target.c_str()) != 0)
        abandon(errno);

    // The new file is in place. A folder that cannot be flushed means the rename may
    // not survive a power cut; that is reported, and the caller keeps its records.
    if (const int reason = syncFolder(folder))
        failCreate(path, reason);
    removeLeftoverTemporaries(target);
}

#endif

// ---------------------------------------------------------------------------------
// Shared by both systems.

char* StoreBytes::makeRoom(std::size_t more)
{
    if (capacity_ - size_ < more) {
        const std::size_t capacity = std::max(size_ + more, 2 * capacity_);
        std::unique_ptr<char[]> bigger(new char[capacity]);  // left unset until read into
        if (size_ > 0)
            std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = capacity;
    }
    return data_.get() + size_;
}

std::optional<std::string> readStoreFile(const std::string& path)
{
    std::optional<StoreBytes> bytes = readStoreBytes(path);
    if (!bytes)
        return std::nullopt;
    return std::string(bytes->view());
}
