// Reading and writing whole store files (POSIX).
//
// A store file is replaced, never rewritten in place: the new content goes into a
// temporary file "<name>.tmp-XXXXXX" (six random letters and digits) in the store's
// own folder, created exclusively with mode 0600, written whole, flushed to the disk,
// and then renamed over the store file; last the folder itself is flushed so the
// rename survives a power cut. Any failure before the rename removes the temporary
// file and leaves the store file as it was. Only a process killed between creating
// and renaming its temporary file can leave one behind; such files carry the name
// pattern above and may be removed by hand.

#include "StoreFile.h"

#include "FieldTypes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// The path as the user sees it in a message: absolute, but with links unresolved.
std::string fullPath(const std::string& path)
{
    std::error_code error;
    const fs::path absolute = fs::absolute(fs::path(path), error);
    return error ? path : absolute.lexically_normal().string();
}

std::string reasonText(int error)
{
    return std::strerror(error);
}

[[noreturn]] void failOpen(const std::string& path, int error)
{
    throw RecordTableError("Cannot open file \"" + fullPath(path) + "\". " + reasonText(error));
}

[[noreturn]] void failCreate(const std::string& path, int error)
{
    throw RecordTableError("Cannot create file \"" + fullPath(path) + "\". " + reasonText(error));
}

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
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + seconds(1);
    for (;;) {
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0)
            return;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return;  // locking not supported here: read without it
        if (steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

// Writes all of data, going on after short writes and interrupted calls. Returns 0
// or the error number.
int writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        // Chunks of at most 1 GiB stay within what every system accepts in one call.
        const std::size_t chunk = std::min<std::size_t>(data.size(), std::size_t{1} << 30);
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

// Creates "<base>.tmp-XXXXXX" beside the store file: exclusively (never opening a
// file that is already there) and readable and writable by the owner only.
// Returns the descriptor, or -1 with errno set.
int createTemporary(const fs::path& folder, const std::string& base, fs::path& tempPath)
{
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device seed;
    std::mt19937 random(seed() ^ static_cast<unsigned>(::getpid()));
    std::uniform_int_distribution<std::size_t> pick(0, sizeof letters - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = base + ".tmp-";
        for (int i = 0; i < 6; ++i)
            name += letters[pick(random)];
        tempPath = folder / name;
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

std::optional<std::string> readStoreFile(const std::string& path)
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

    std::string content;
    if (info.st_size > 0)
        content.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            failOpen(path, errno);
        }
        if (got == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(got));
    }
    return content;
}

void writeStoreFileAtomically(const std::string& path, std::string_view content)
{
    // A store reached through a symbolic link is replaced where the link points, so
    // the link itself stays as the user made it.
    std::error_code error;
    fs::path target = fs::absolute(fs::path(path), error);
    if (error)
        target = fs::path(path);
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        const fs::path resolved = fs::canonical(target, error);
        if (!error)
            target = resolved;
    }
    const std::string base = target.filename().string();
    if (base.empty() || base == "." || base == "..")
        failCreate(path, EISDIR);
    const fs::path folder = target.parent_path();

    fs::path tempPath;
    const int fd = createTemporary(folder, base, tempPath);
    if (fd < 0)
        failCreate(path, errno);
    FileDescriptor temp(fd);

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
}
