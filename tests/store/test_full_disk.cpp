// A store on a disk that fills up: the table grows past the free space, the write at
// close fails with the exact text, the old file stays whole, nothing is lost from
// memory, and once space is freed the next close writes everything.
//
// The disk is a small tmpfs mounted for the test: directly when running as root,
// otherwise inside a private user and mount namespace in a forked child. Where
// neither is allowed the test is skipped with the reason. Windows has no such disk
// for a test to make: there the test is skipped, and the store file tests fail a
// write part way by other means.

#include "StoreFile.h"
#include "StoreFormat.h"
#include "table_test_support.h"

#include <gtest/gtest.h>

#ifdef _WIN32

TEST(FullDisk, AWriteThatRunsOutOfSpaceKeepsTheOldFileAndEveryRecord)
{
    GTEST_SKIP() << "a small disk to fill needs a tmpfs mount, which Windows does not have";
}

#else

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tabletest;
namespace fs = std::filesystem;

namespace {

constexpr const char* tmpfsOptions = "size=256k,mode=0700";
constexpr int exitCannotMount = 77;

// Fills the disk under folder with one file, then gives back `spare` bytes of it.
void fillLeaving(const fs::path& filler, off_t spare)
{
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const std::string block(4096, '\0');
    off_t size = 0;
    for (;;) {
        const ssize_t written = ::write(fd, block.data(), block.size());
        if (written <= 0)
            break;
        size += written;
    }
    EXPECT_EQ(errno, ENOSPC);
    ASSERT_GT(size, spare);
    ASSERT_EQ(::ftruncate(fd, size - spare), 0);
    ::close(fd);
}

std::vector<std::string> namesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The whole story on a freshly mounted, empty disk at disk.
void growPastTheFreeSpace(const fs::path& disk)
{
    const std::string store = (disk / "kestrin.db").string();
    {
        RecordTable first("viewDB");
        first.setFileName(store);
        openStore(first);
        for (int i = 0; i < 5; ++i)
            insert(first, "old" + std::to_string(i), "login", "pw");
        first.close();
    }
    const std::string oldBytes = readWhole(store);
    ASSERT_EQ(decodeStore(oldBytes).records.size(), 5u);
    fillLeaving(disk / "filler", 16 * 1024);
    if (::testing::Test::HasFatalFailure())
        return;

    RecordTable table("viewDB");
    table.setFileName(store);
    openStore(table);
    table.setOrdering("NAME;LOGIN");
    for (int i = 0; i < 400; ++i)
        insert(table, "new" + std::to_string(1000 + i), std::string(40, 'l'), std::string(50, 'p'));
    EXPECT_EQ(errorText([&] { table.close(); }), "Cannot create file \"" + store + "\". No space left on device");

    // The old file is whole and alone beside the filler; the table kept everything.
    EXPECT_EQ(readWhole(store), oldBytes);
    EXPECT_EQ(decodeStore(readWhole(store)).records.size(), 5u);
    EXPECT_EQ(namesIn(disk), (std::vector<std::string>{"filler", "kestrin.db"}));
    EXPECT_TRUE(table.isOpen());
    EXPECT_EQ(table.recordCount(), 405);
    table.moveLast();
    EXPECT_EQ(current(table), "old4/login");

    // A second attempt on the still full disk fails the same way and loses nothing.
    EXPECT_EQ(errorText([&] { table.close(); }), "Cannot create file \"" + store + "\". No space left on device");
    EXPECT_EQ(table.recordCount(), 405);

    // Space freed: the table is still marked changed, so this close writes.
    fs::remove(disk / "filler");
    EXPECT_EQ(errorText([&] { table.close(); }), "<no error>");
    EXPECT_FALSE(table.isOpen());
    EXPECT_EQ(namesIn(disk), std::vector<std::string>{"kestrin.db"});
    table.open();
    EXPECT_EQ(table.recordCount(), 405);
    EXPECT_TRUE(table.lookupKey({std::string("new1399")}));
    EXPECT_EQ(table.fieldText("PASSWORD"), std::string(50, 'p'));
    EXPECT_TRUE(table.lookupKey({std::string("old0")}));
}

// Mounted tmpfs at a new folder, unmounted and removed when done.
class MountedDisk {
public:
    explicit MountedDisk(fs::path folder) : folder_(std::move(folder)) {}
    bool mount()
    {
        mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, tmpfsOptions) == 0;
        error_ = errno;
        return mounted_;
    }
    int error() const { return error_; }
    ~MountedDisk()
    {
        if (mounted_ && ::umount(folder_.c_str()) != 0)
            ::umount2(folder_.c_str(), MNT_DETACH);
    }
    MountedDisk(const MountedDisk&) = delete;
    MountedDisk& operator=(const MountedDisk&) = delete;

private:
    fs::path folder_;
    bool mounted_ = false;
    int error_ = 0;
};

bool writeProcFile(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

TEST(FullDisk, AWriteThatRunsOutOfSpaceKeepsTheOldFileAndEveryRecord)
{
    TempFolder folder;
    const fs::path disk = folder.path() / "disk";
    fs::create_directory(disk);

    if (::geteuid() == 0) {
        MountedDisk mounted(disk);
        if (mounted.mount()) {
            growPastTheFreeSpace(disk);
            return;
        }
    }

    // Not root, or root without the right to mount: a private user and mount
    // namespace, in a child so that this process keeps its own.
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(60);
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            ::_exit(exitCannotMount);
        writeProcFile("/proc/self/setgroups", "deny");
        if (!writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            ::_exit(exitCannotMount);
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
        {
            MountedDisk mounted(disk);
            if (!mounted.mount())
                ::_exit(exitCannotMount);
            growPastTheFreeSpace(disk);
        }
        std::fflush(nullptr);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == exitCannotMount)
        GTEST_SKIP() << "mounting a tmpfs is not permitted here, neither directly nor in a private "
                        "user and mount namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the checks in the child failed (see above)";
}

}  // namespace

#endif
