// The store file code of POSIX systems: reading a file whole under a shared lock,
// stamping one, and replacing one atomically. The temporary file has mode 0600,
// replaces the store with rename() while the writer holds its lock on the folder,
// and last the folder itself is flushed so the rename survives a power cut.

#include "StoreFile.h"

#include "FreshMemory.h"
#include "file/FileSizeSignal.h"
#include "file/StoreFileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <time.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

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

// Writes all of data at offset, as writeAll does.
int writeAllAt(int fd, std::string_view data, off_t offset)
{
    while (!data.empty()) {
        const ssize_t written = ::pwrite(fd, data.data(), data.size(), offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO;
        data.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return 0;
}

// The first n bytes of a file (fewer where it ends before, when upToEnd is set), read
// without moving its position, or std::nullopt with errno set when they cannot be.
std::optional<std::string> readFirst(int fd, std::size_t n, bool upToEnd = false)
{
    std::string bytes(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        const ssize_t read = ::pread(fd, bytes.data() + got, n - got, static_cast<off_t>(got));
        if (read < 0 && errno == EINTR)
            continue;
        if (read == 0 && upToEnd)
            break;
        if (read <= 0) {
            errno = read == 0 ? EIO : errno;
            return std::nullopt;
        }
        got += static_cast<std::size_t>(read);
    }
    bytes.resize(got);
    return bytes;
}

int syncFile(int fd)
{
    while (::fsync(fd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

// Takes the exclusive lock that tells other writers of the store that a new
// temporary file is not abandoned (see removeIfAbandoned). Until it is taken, the
// empty file may be taken for an abandoned one by another writer, which removes it
// under that same lock: false when that happened, and another name must be used.
bool lockNewTemporary(int fd)
{
    retryForUpToASecond([fd] {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        return errno != EWOULDBLOCK && errno != EINTR;  // locking not supported here
    });
    struct stat info {};
    return ::fstat(fd, &info) != 0 || info.st_nlink > 0;
}

// Creates the temporary file exclusively (never opening a file that is already
// there), readable and writable by the owner only, and locked. Returns the
// descriptor, or -1 with errno set.
int createTemporary(const fs::path& target, std::string_view content, fs::path& tempPath)
{
    TemporaryNames names(target, content);
    for (int attempt = 0; attempt < TemporaryNames::attempts; ++attempt) {
        tempPath = names.next();
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return fd;
        if (fd >= 0 && lockNewTemporary(fd))
            return fd;
        if (fd >= 0)
            ::close(fd);
    }
    errno = EEXIST;
    return -1;
}

// Empties the temporary file of a failed write, then removes it: where the folder
// refuses the removal (an append-only folder refuses it as it refuses the move), an
// empty file of that name is all that stays, never a copy of the secrets; the next
// successful write of the store removes it where it can.
void discardTemporary(int fd, const fs::path& tempPath)
{
    while (fd >= 0 && ::ftruncate(fd, 0) != 0 && errno == EINTR) {
    }
    ::unlink(tempPath.c_str());
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

std::int64_t nanoseconds(const timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

}  // namespace

// What the shared code asks of each system (see file/StoreFileSystem.h).

const SystemError notAFile = EISDIR;
const SystemError notUtf8 = EILSEQ;  // never met: paths are taken byte for byte

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

// The link is followed by hand, also where it leads to no file yet (a store whose
// file is still to be made, or a link to a drive that is not mounted): the write then
// goes where the link points, and fails there with the system's reason when that
// folder is missing; the link is never replaced by a file.
std::optional<fs::path> resolveLink(const fs::path& file, SystemError& error)
{
    constexpr int mostLinks = 40;  // as the system follows at most
    fs::path at = file;
    for (int links = 0; links < mostLinks; ++links) {
        std::error_code failure;
        if (!fs::is_symlink(fs::symlink_status(at, failure))) {
            if (links == 0)
                return file;
            const fs::path real = fs::weakly_canonical(at, failure);
            return failure ? at.lexically_normal() : real;
        }
        const fs::path target = fs::read_symlink(at, failure);
        if (failure) {
            error = failure.value();
            return std::nullopt;
        }
        at = target.is_absolute() ? target : at.parent_path() / target;
    }
    error = ELOOP;
    return std::nullopt;
}

// A writer holds an exclusive lock on its temporary file from creating it until it
// has taken the store's place; the system drops the lock when the writer ends, also
// when it is killed. A temporary file that can be locked is therefore abandoned; it
// is looked at under that lock, and removed only when its name, size and first bytes
// prove it is one. A file system without such locks cannot tell, and those decide.
void removeIfAbandoned(const fs::path& store, const fs::path& temporary)
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
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const std::optional<std::string> head =
        readFirst(file.get(), static_cast<std::size_t>(std::min<std::uint64_t>(size, fingerprintedBytes)));
    if (head && isAbandonedTemporary(store, temporary, size, *head))
        ::unlink(temporary.c_str());
}

// Writers of a store take an exclusive flock on its folder, the one thing that
// stays the same while the store file itself is replaced. Readers take none.
StoreWritersLock::~StoreWritersLock()
{
    if (held_ >= 0)
        ::close(static_cast<int>(held_));  // drops the lock
}

SystemError StoreWritersLock::acquire(const fs::path& store)
{
    const int fd = ::open(store.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;  // a folder that cannot be opened for reading: no lock to take
    held_ = fd;
    int error = 0;
    const auto busy = [&] { return error == EWOULDBLOCK || error == EINTR; };
    retryForUpTo(longestWait, [&] {
        error = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
        return !busy();
    });
    // Any other error is a file system without such locks (a network one, say).
    return busy() ? EWOULDBLOCK : 0;
}

StoreFileStamp stampStoreFile(const std::string& path)
{
    StoreFileStamp stamp;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        stamp.exists = errno != ENOENT && errno != ENOTDIR;
        return stamp;
    }
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    stamp.exists = true;
    stamp.volume = static_cast<std::uint64_t>(info.st_dev);
    stamp.file = static_cast<std::uint64_t>(info.st_ino);
    stamp.size = static_cast<std::uint64_t>(info.st_size);
    stamp.modified = nanoseconds(info.st_mtim);
    stamp.changed = nanoseconds(info.st_ctim);
    stamp.settled = nanoseconds(now) - std::max(stamp.modified, stamp.changed) >= 2000000000;
    return stamp;
}

std::optional<StoreBytes> readStoreBytes(const std::string& path, const FirstLook& lookFirst)
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
    if (lookFirst) {
        const std::optional<std::string> head = readFirst(file.get(), firstLookBytes, true);
        if (!head)
            failOpen(path, errno);
        lookFirst(*head, static_cast<std::uint64_t>(info.st_size));
    }

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

void writeStoreFileAtomicallyFrom(const std::string& path, const StoreContentMaker& makeContent)
{
    const HeldFileSizeSignal sizeLimitFailsTheWrite;  // instead of ending the process
    const fs::path target = replacedFile(path);
    const fs::path folder = target.parent_path();

    // Taken before the temporary file is made, so that a writer sweeping leftovers
    // (at the end, still holding it) never meets another's temporary file before
    // that one is locked.
    StoreWritersLock writers;
    if (const int reason = writers.acquire(target))
        failCreate(path, reason);
    // Made under the lock, so that what it finds at path stays there until the
    // content replaces it; the temporary file's name is made from the content.
    const std::string_view content = makeContent();

    fs::path tempPath;
    const int fd = createTemporary(target, content, tempPath);
    if (fd < 0)
        failCreate(path, errno);
    FileDescriptor temp(fd);
    // A copy of the descriptor keeps the temporary file's lock until the move is
    // done, after the writing descriptor is closed.
    const FileDescriptor lockHolder(::fcntl(temp.get(), F_DUPFD_CLOEXEC, 0));

    // From here on every failure empties and removes the temporary file before
    // reporting (through the copy of the descriptor, which stays open to the end).
    const auto abandon = [&](int reason) {
        discardTemporary(lockHolder.get() >= 0 ? lockHolder.get() : temp.get(), tempPath);
        temp.reset();
        failCreate(path, reason);
    };

    // The mode is set again explicitly: 0600 must hold whatever the umask says.
    if (::fchmod(temp.get(), S_IRUSR | S_IWUSR) != 0)
        abandon(errno);
    const auto write = [&](std::string_view bytes) { return writeAll(temp.get(), bytes); };
    const auto writeAtStart = [&](std::string_view bytes) { return writeAllAt(temp.get(), bytes, 0); };
    if (const int reason = writeMarked(content, write, writeAtStart))
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
