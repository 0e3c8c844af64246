// The store file code both systems share: messages that name a file in full, the
// names of temporary files and the removal of those killed writers left behind, the
// file a write replaces, the buffer a file is read into, the write of content given
// at once, and the comparison of two stamps.
//
// A store file is replaced, never rewritten in place: the new content goes into a
// temporary file "<name>.~qrl-CCCCCCCC-RRRRRRRR.tmp" in the store's own folder,
// created exclusively, written whole with a marker in place of its first bytes, given
// its first bytes back, flushed to the disk, and then moved over the store file in
// one step. Any failure before that step empties and removes the temporary file and
// leaves the store file as it was. Only a process killed between creating and moving its
// temporary file can leave one behind, holding a whole or partial copy of the
// secrets; the next successful write of the same store removes every such leftover
// that it can prove is one (see isAbandonedTemporary) and that no writer holds.

#include "StoreFile.h"

#include "FieldTypes.h"
#include "file/StoreFileSystem.h"
#include "format/Checksum.h"

#include <algorithm>
#include <cstdint>
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

bool isHexDigit(fs::path::value_type c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool isLetterOrDigit(fs::path::value_type c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The fingerprint a name that TemporaryNames gives for this store carries, or
// std::nullopt for any other name.
std::optional<std::uint32_t> fingerprintInTemporaryName(const fs::path& store, const fs::path& candidate)
{
    const auto prefix = store.filename().native() + fs::path(".~qrl-").native();
    const auto suffix = fs::path(".tmp").native();
    const auto name = candidate.filename().native();
    if (name.size() != prefix.size() + 8 + 1 + 8 + suffix.size() || name.compare(0, prefix.size(), prefix) != 0
        || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 || name[prefix.size() + 8] != '-')
        return std::nullopt;
    const auto digits = name.begin() + static_cast<std::ptrdiff_t>(prefix.size());
    const auto random = digits + 9;
    if (!std::all_of(digits, digits + 8, isHexDigit) || !std::all_of(random, random + 8, isLetterOrDigit))
        return std::nullopt;
    std::uint32_t fingerprint = 0;
    for (auto c = digits; c != digits + 8; ++c)
        fingerprint = fingerprint << 4 | static_cast<std::uint32_t>(*c <= '9' ? *c - '0' : *c - 'a' + 10);
    return fingerprint;
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

void failTooLargeToOpen(const std::string& path)
{
    throw RecordTableError("The store file \"" + fullPath(path) + "\" is too large to open");
}

TemporaryNames::TemporaryNames(fs::path store, std::string_view content)
    : store_(std::move(store)), random_(std::random_device()() ^ processId())
{
    static constexpr char hex[] = "0123456789abcdef";
    const std::uint32_t fingerprint = contentFingerprint(content.size(), content.substr(0, fingerprintedBytes));
    for (int shift = 28; shift >= 0; shift -= 4)
        fingerprint_ += hex[(fingerprint >> shift) & 0xFu];
}

fs::path TemporaryNames::next()
{
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof letters - 2);
    std::string suffix = ".~qrl-" + fingerprint_ + "-";
    for (int i = 0; i < 8; ++i)
        suffix += letters[pick(random_)];
    fs::path name = store_;
    name += suffix + ".tmp";
    return name;
}

std::uint32_t contentFingerprint(std::uint64_t size, std::string_view head)
{
    std::string covered(8, '\0');
    for (std::size_t i = 0; i < 8; ++i)
        covered[i] = static_cast<char>(size >> (8 * i) & 0xFFu);
    covered += head;
    return storeChecksum(covered);
}

bool isAbandonedTemporary(const fs::path& store, const fs::path& candidate, std::uint64_t size, std::string_view head)
{
    const std::optional<std::uint32_t> fingerprint = fingerprintInTemporaryName(store, candidate);
    if (!fingerprint)
        return false;
    // Created and not written yet; written in part or whole behind the marker (which
    // goes in with one write); or given its first bytes back, and then whole.
    const std::size_t marked = std::min(head.size(), unfinishedMarker.size());
    return size == 0 || (marked > 0 && head.substr(0, marked) == unfinishedMarker.substr(0, marked))
           || contentFingerprint(size, head) == *fingerprint;
}

void removeLeftoverTemporaries(const fs::path& store)
{
    std::error_code error;
    fs::directory_iterator entries(store.parent_path(), error);
    for (const fs::directory_iterator end; !error && entries != end; entries.increment(error)) {
        const fs::path& candidate = entries->path();
        if (fingerprintInTemporaryName(store, candidate))
            removeIfAbandoned(store, candidate);
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
    SystemError linkError{};
    const std::optional<fs::path> resolved = resolveLink(target, linkError);
    if (!resolved)
        failCreate(path, linkError);
    target = *resolved;
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
