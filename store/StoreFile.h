#pragma once
// Reading and writing whole store files.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// A file's bytes in a buffer of their own. The buffer is sized from the file's
// length and read into directly, never set to zero first nor copied on the way.
class StoreBytes {
public:
    std::string_view view() const { return {data_.get(), size_}; }
    std::size_t size() const { return size_; }

    // Room for at least `more` bytes after the ones held; where they go.
    char* makeRoom(std::size_t more);
    // The next `got` bytes past the ones held were filled in.
    void grew(std::size_t got) { size_ += got; }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0, capacity_ = 0;
};

// Looks at a file's first bytes (up to firstLookBytes of them) and at its size as the
// system gives it, before anything else of it is read or room is made for it; throws
// to refuse the file.
using FirstLook = std::function<void(std::string_view head, std::uint64_t size)>;
inline constexpr std::size_t firstLookBytes = 64;

// The whole content of the file at path, or std::nullopt when no file is there.
// A file that exists but cannot be read throws RecordTableError:
//   Cannot open file "<path>". <system's reason>
// When lookFirst is given, it is called on the file's start before the rest is read.
std::optional<StoreBytes> readStoreBytes(const std::string& path, const FirstLook& lookFirst = {});
// The same, as a string.
std::optional<std::string> readStoreFile(const std::string& path);

// Replaces the file at path with content, atomically: the content goes into a new
// temporary file in the same folder, is flushed to the disk, and then takes the
// store file's place, so a crash leaves either the old file or the new one, whole.
// The file is readable and writable by its owner only. On failure the temporary file
// is emptied and removed (where the folder refuses the removal, an empty file stays),
// the store file is left as it was, and RecordTableError is thrown:
//   Cannot create file "<path>". <system's reason>
// After a successful write, the temporary files of this store that killed writers
// left behind are removed, and only those the writer can prove are its own (their
// name, their bytes, no writer holding them); one that another process is still
// writing is left alone.
void writeStoreFileAtomically(const std::string& path, std::string_view content);

// Throws RecordTableError for a store that there is not memory enough to open:
//   The store file "<path>" is too large to open
[[noreturn]] void failTooLargeToOpen(const std::string& path);

// Gives the content to write; see writeStoreFileAtomicallyFrom.
using StoreContentMaker = std::function<std::string_view()>;

// Writes as writeStoreFileAtomically does, with the content that makeContent returns
// (it must stay valid until the write is done). makeContent is called once every
// other writer of the same store, in this process or another, is kept waiting until
// this write has taken the store's place, and before the temporary file is made:
// what makeContent finds at path stays there until the new content replaces it. An
// error that makeContent throws leaves the store file as it was and is passed on as
// it is. Writers are kept apart by a lock (on the store's
// folder on POSIX, on a file "<name>.lock" beside the store, open only while it is
// held, on Windows) that each waits for up to ten seconds; one not had by then fails
// the write with the system's reason. Where the file system has no such locks (some
// network file systems), writers are not kept apart.
void writeStoreFileAtomicallyFrom(const std::string& path, const StoreContentMaker& makeContent);

// Throws RecordTableError for a write that cannot go ahead:
//   Cannot create file "<full path>". <reason>
[[noreturn]] void failCreateBecause(const std::string& path, const std::string& reason);

// What tells one state of a store file from another without reading it: where it
// lives (device and inode, or volume and file index), its size, and the times of its
// last modification and last status change, in the system's own units. A file that a
// writer of this program replaced is always another file at the path.
struct StoreFileStamp {
    bool exists = false;
    std::uint64_t volume = 0, file = 0, size = 0;
    std::int64_t modified = 0, changed = 0;
    // The last change lay at least two seconds in the past when the stamp was taken.
    // File systems keep time in steps, from a few milliseconds up to two seconds, so a
    // file changed in place again within the step of its last change may keep every
    // value above; only a settled stamp can tell that nothing changed.
    bool settled = false;
};

// The stamp of whatever is at path now (through links). A path whose state cannot be
// told is stamped as an unsettled existing file, which no later stamp matches.
StoreFileStamp stampStoreFile(const std::string& path);

// True when now is beyond doubt the same file as before, unchanged: both tell of no
// file, or before is settled and both tell of the same file in the same state.
bool sameStoreFile(const StoreFileStamp& before, const StoreFileStamp& now);
