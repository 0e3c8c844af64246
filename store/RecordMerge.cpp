// The merge of a table's changes into its store file at close: telling whether the
// file is still the one read, reading theirs, working out this table's changes as
// whole values, and the records to write.

#include "RecordMerge.h"

#include "StoreFormat.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace {

// A record's packed values. The packing of a value is the same wherever it is packed
// under the same field kinds, so two records hold the same values exactly when
// these bytes are equal.
std::string_view valuesOf(const PackedRecord* r)
{
    return {reinterpret_cast<const char*>(r->data()), r->bytes};
}

// This table's changes since it read its file, as whole values: how many records of
// each value it deleted, and the records it added, in storage order. A value both
// deleted and added is taken off both as often as it is both.
struct Changes {
    std::unordered_map<std::string_view, std::size_t> deleted;
    std::vector<const PackedRecord*> added;
};

Changes changesSinceRead(const RecordSet& records)
{
    Changes changes;
    records.forEachRecordRead([&](const PackedRecord* r) {
        if (!RecordSet::holds(r))
            ++changes.deleted[valuesOf(r)];
    });
    // Only the few records packed since the read can have been added.
    std::vector<const PackedRecord*> packed;
    records.forEachRecordPackedSinceRead([&](const PackedRecord* r) {
        if (RecordSet::holds(r))
            packed.push_back(r);
    });
    std::sort(packed.begin(), packed.end(), [&](const PackedRecord* a, const PackedRecord* b) {
        return records.storagePosition(a) < records.storagePosition(b);
    });
    for (const PackedRecord* r : packed) {
        const auto undone = changes.deleted.find(valuesOf(r));
        if (undone != changes.deleted.end() && undone->second > 0)
            --undone->second;
        else
            changes.added.push_back(r);
    }
    return changes;
}

// True when theirs holds exactly the records read, in the same order.
bool holdsWhatWasRead(const RecordSet& records, const std::vector<const PackedRecord*>& theirs)
{
    std::size_t next = 0;
    bool same = true;
    records.forEachRecordRead([&](const PackedRecord* r) {
        same = next < theirs.size() && valuesOf(r) == valuesOf(theirs[next]);
        ++next;
        return same;
    });
    return same && next == theirs.size();
}

// Theirs less what this table deleted, then what it added. Only a record as long as
// one deleted can be one, so most of theirs are passed over without a look-up.
std::vector<const PackedRecord*> mergedRecords(const std::vector<const PackedRecord*>& theirs, Changes changes)
{
    std::vector<std::uint32_t> deletedLengths;
    for (const auto& [values, count] : changes.deleted)
        if (count > 0)
            deletedLengths.push_back(static_cast<std::uint32_t>(values.size()));
    std::sort(deletedLengths.begin(), deletedLengths.end());
    const auto deletedOne = [&](const PackedRecord* r) {
        if (!std::binary_search(deletedLengths.begin(), deletedLengths.end(), r->bytes))
            return false;
        const auto deleted = changes.deleted.find(valuesOf(r));
        if (deleted == changes.deleted.end() || deleted->second == 0)
            return false;
        --deleted->second;
        return true;
    };
    std::vector<const PackedRecord*> merged;
    merged.reserve(theirs.size() + changes.added.size());
    for (const PackedRecord* r : theirs)
        if (!deletedOne(r))
            merged.push_back(r);
    merged.insert(merged.end(), changes.added.begin(), changes.added.end());
    return merged;
}

constexpr const char* tooLargeToMerge = "there is not memory enough to read it";

[[noreturn]] void cannotMerge(const std::string& path, const std::string& why)
{
    failCreateBecause(path, "It changed since it was read and cannot be merged: " + why);
}

// The bytes of the file at path as it is now, its start looked at first as an open
// does; none when it is still missing.
std::optional<StoreBytes> readTheirs(const std::string& path, const FileRead& read)
{
    std::optional<StoreBytes> bytes;
    try {
        bytes = readStoreBytes(path, checkStoreStart);
    } catch (const RecordTableError& error) {
        cannotMerge(path, error.what());
    } catch (const std::bad_alloc&) {
        cannotMerge(path, tooLargeToMerge);
    }
    if (!bytes && read.stamp.exists)
        failCreateBecause(path, "It was removed since it was read");
    return bytes;
}

// The content writeForClose writes, and whether it is a merge.
std::string contentToWrite(const RecordSet& records, const std::vector<FieldDef>& fields, const FileRead& read,
                           const std::string& path, bool& merged)
{
    merged = false;
    const StoreForm form = storeFormForFileName(path);
    if (read.path != path || sameStoreFile(read.stamp, stampStoreFile(path)))
        return records.encode(form);
    std::optional<StoreBytes> bytes = readTheirs(path, read);
    if (!bytes)
        return records.encode(form);

    std::vector<FieldDef> theirFields;
    RecordSet theirSet(theirFields);
    try {
        theirFields = theirSet.load(bytes->view());
    } catch (const RecordTableError& error) {
        cannotMerge(path, error.what());
    } catch (const std::bad_alloc&) {
        cannotMerge(path, tooLargeToMerge);
    }
    bytes.reset();
    if (theirFields != fields)
        failCreateBecause(path, "It changed since it was read and now holds other fields");
    std::vector<const PackedRecord*> theirs;
    theirs.reserve(theirSet.count());
    theirSet.forEachRecord([&](const PackedRecord* r) { theirs.push_back(r); });
    if (holdsWhatWasRead(records, theirs))
        return records.encode(form);  // only touched

    // The merged records carry no order: this table's order is of its own records,
    // and the next open sorts the merged ones once.
    merged = true;
    return encodePacked(fields, mergedRecords(theirs, changesSinceRead(records)), form);
}

// True when the file at path holds exactly content.
bool holdsExactly(const std::string& path, const std::string& content)
{
    try {
        const std::optional<std::string> now = readStoreFile(path);
        return now && *now == content;
    } catch (const RecordTableError&) {
        return false;
    }
}

}  // namespace

FileRead stampBeforeReading(const std::string& path)
{
    return FileRead{path, stampStoreFile(path)};
}

FileRead startingEmpty(const std::string& path)
{
    FileRead read{path, stampStoreFile(path)};
    if (read.stamp.exists)
        read.path.clear();
    return read;
}

bool writeForClose(const RecordSet& records, const std::vector<FieldDef>& fields, FileRead& read,
                   const std::string& path)
{
    std::string content;
    bool merged = false;
    try {
        writeStoreFileAtomicallyFrom(path, [&]() -> std::string_view {
            content = contentToWrite(records, fields, read, path, merged);
            return content;
        });
    } catch (const RecordTableError&) {
        if (!content.empty() && holdsExactly(path, content))
            read.path.clear();
        throw;
    }
    return merged;
}
