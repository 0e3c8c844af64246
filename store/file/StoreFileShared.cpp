// The store file code both systems share: messages that name a file in full, the
// names of temporary files and the removal of those killed writers left behind, the
// file a write replaces, the buffer a file is read into, the write of content given
// at once, and the comparison of two stamps.
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

#include "StoreFile.h"

#include "FieldTypes.h"
#include "file/StoreFileSystem.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

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

}  // namespace

void failOpen(const std::string& path, SystemError error)
{
    throw RecordTableError("Cannot open file \"" + fullPath(path) + "\". " + reasonText(error));
}

void failCreateBecause(const std::string& path, const std::string& reason)
{
    throw RecordTableError("Cannot create file \"" + fullPath(path) + "\". " + reason);
}

void failCreate(const std::string& path, SystemError error)
{
    failCreateBecause(path, reasonText(error));
}

void writeStoreFileAtomically(const std::string& path, std::string_view content)
{
    writeStoreFileAtomicallyFrom(path, [content] { return content; });
}

bool sameStoreFile(const StoreFileStamp& before, const StoreFileStamp& now)
{
    if (!before.exists || !now.exists)
        return !before.exists && !now.exists;
    return before.settled && before.volume == now.volume && before.file == now.file && before.size == now.size
           && before.modified == now.modified && before.changed == now.changed;
}

TemporaryNames::TemporaryNames(fs::path store) : store_(std::move(store)), random_(std::random_device()() ^ processId())
{
}

fs::path TemporaryNames::next()
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
