// The store file code of POSIX systems: reading a file whole under a shared lock,
// stamping one, and replacing one atomically. The temporary file has mode 0600,
// replaces the store with rename() while the writer holds its lock on the folder,
// and last the folder itself is flushed so the rename survives a power cut.

#include "StoreFile.h"

#include "FreshMemory.h"
#include "file/StoreFileSystem.h"

#include <algorithm>
#include <cerrno>
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

void writeStoreFileAtomicallyFrom(const std::string& path, const StoreContentMaker& makeContent)
{
    const fs::path target = replacedFile(path);
    const fs::path folder = target.parent_path();

    // Taken before the temporary file is made, so that a writer sweeping leftovers
    // (at the end, still holding it) never meets another's temporary file before
    // that one is locked.
    StoreWritersLock writers;
    if (const int reason = writers.acquire(target))
        failCreate(path, reason);

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
    const auto removeTemporary = [&] {
        temp.reset();
        ::unlink(tempPath.c_str());
    };
    const auto abandon = [&](int reason) {
        removeTemporary();
        failCreate(path, reason);
    };

    // The mode is set again explicitly: 0600 must hold whatever the umask says.
    if (::fchmod(temp.get(), S_IRUSR | S_IWUSR) != 0)
        abandon(errno);
    const std::string_view content = contentOrRemove(makeContent, removeTemporary);
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
