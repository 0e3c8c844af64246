// RecordSet's changes to its records and their orders: sorting by key prefixes,
// sorted and positional inserts, replacing and erasing, the key search, and whole
// stores read into the set and written from it.

#include "RecordSet.h"

#include "TextRules.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <new>
#include <thread>

bool RecordSet::goesBefore(const OrderEntry& a, const OrderEntry& b) const
{
    if (const int c = compare(a.key, b.key))
        return c < 0;
    const int c = reader_.compareOn(keyColumns_, a.rec, b.rec);
    return c < 0 || (c == 0 && a.rec->seq < b.rec->seq);
}

// Sorts n entries into the ordering's order. They are first spread by their
// prefixes, one byte at a time from the most significant, into runs that share
// their leading bytes (counting and moving, no comparisons); a short run, or one
// whose prefixes are all equal, is sorted by comparing. spare has room for n.
void RecordSet::sortEntries(OrderEntry* a, OrderEntry* spare, std::size_t n, std::size_t byte) const
{
    if (n <= 48 || byte == KeyPrefix::bytes) {
        std::sort(a, a + n, [this](const OrderEntry& x, const OrderEntry& y) { return goesBefore(x, y); });
        return;
    }
    const auto digit = [byte](const OrderEntry& e) {
        return static_cast<std::size_t>((e.key.word[byte / 8] >> (56 - 8 * (byte % 8))) & 0xFFu);
    };
    std::array<std::size_t, 256> count{};
    for (std::size_t i = 0; i < n; ++i)
        ++count[digit(a[i])];
    if (count[digit(a[0])] == n) {
        sortEntries(a, spare, n, byte + 1);  // all share this byte
        return;
    }
    std::array<std::size_t, 256> next{};
    for (std::size_t d = 1; d < 256; ++d)
        next[d] = next[d - 1] + count[d - 1];
    for (std::size_t i = 0; i < n; ++i)
        spare[next[digit(a[i])]++] = a[i];
    std::copy(spare, spare + n, a);
    for (std::size_t d = 0, start = 0; d < 256; start += count[d], ++d) {
        if (count[d] > 1)
            sortEntries(a + start, spare + start, count[d], byte + 1);
    }
}

// Puts a record whose key has changed (or a new one) at its sorted place, and
// returns that row.
std::size_t RecordSet::insertInOrder(PackedRecord* r)
{
    ++version_;
    return order_.insertSorted(orderEntry(r), [this](const OrderEntry& a, const OrderEntry& b) { return goesBefore(a, b); });
}

// Numbers the records in storage order again, from 0, when the numbers run out;
// their relative order, and so the ordering, stays as it is.
void RecordSet::renumberIfExhausted()
{
    if (nextSeq_ != std::numeric_limits<std::uint32_t>::max())
        return;
    nextSeq_ = 0;
    storage_.forEach([this](const StorageEntry& e) { e.rec->seq = nextSeq_++; });
}

void RecordSet::applyOrder(std::vector<int> columns, std::string text)
{
    // What load made ready serves only the first ordering after it, and only while
    // the records are as loaded.
    const std::unique_ptr<LoadedOrder> loaded = std::move(loadedOrder_);
    const bool loadedFits = loaded && loaded->version == version_ && loaded->columns == columns;
    ++version_;
    keyColumns_ = std::move(columns);
    orderingInForce_ = std::move(text);
    order_.clear();
    if (!byFields())
        return;
    if (loadedFits && orderFromLoaded(*loaded))
        return;
    std::vector<OrderEntry> keyed;
    keyed.reserve(count());
    nextSeq_ = 0;
    storage_.forEach([&](const StorageEntry& e) {
        e.rec->seq = nextSeq_++;
        keyed.push_back(orderEntry(e.rec));
    });
    std::vector<OrderEntry> spare(keyed.size());
    sortEntries(keyed.data(), spare.data(), keyed.size(), 0);
    order_.assign(keyed);
}

void RecordSet::clearOrder()
{
    keyColumns_.clear();
    orderingInForce_.clear();
    order_.clear();
}

const std::string* RecordSet::refusingIndex(const PackedRecord* r, const PackedRecord* self) const
{
    for (const UniqueIndex& index : uniqueIndexes_) {
        const auto found = index.keys.find(r);
        if (found != index.keys.end() && *found != self)
            return &index.name;
    }
    return nullptr;
}

std::size_t RecordSet::place(PackedRecord* r, PackedRecord* before)
{
    std::size_t row = 0;
    if (byFields()) {
        renumberIfExhausted();
        storage_.insertBefore(nullptr, StorageEntry{r});
        r->seq = nextSeq_++;
        row = insertInOrder(r);
    } else {
        row = before ? static_cast<std::size_t>(rowOf(before)) : count();
        ++version_;
        storage_.insertBefore(before, StorageEntry{r});
    }
    for (UniqueIndex& index : uniqueIndexes_)
        index.keys.insert(r);
    return row;
}

void RecordSet::replace(PackedRecord* old, PackedRecord* r)
{
    r->seq = old->seq;
    for (UniqueIndex& index : uniqueIndexes_)
        index.keys.erase(old);
    ++version_;
    storage_.replace(old, StorageEntry{r});
    std::size_t row = 0;
    if (byFields()) {
        order_.erase(old);
        row = insertInOrder(r);
    }
    for (UniqueIndex& index : uniqueIndexes_)
        index.keys.insert(r);
    if (byFields())
        remember(r, row);
}

void RecordSet::erase(PackedRecord* r)
{
    ++version_;
    if (byFields())
        order_.erase(r);
    storage_.erase(r);
    for (UniqueIndex& index : uniqueIndexes_)
        index.keys.erase(r);
}

void RecordSet::release()
{
    ++version_;
    loadedOrder_.reset();
    order_.clear();
    uniqueIndexes_.clear();
    storage_.clear();
    pool_.clear();
    readEnd_ = {};
}

PackedRecord* RecordSet::find(const ValueView* key, std::size_t keyCount, std::size_t& row) const
{
    PrefixBuilder builder;
    for (std::size_t i = 0; i < keyCount; ++i)
        builder.add(key[i], reader_.kind(static_cast<std::size_t>(keyColumns_[i])));
    const KeyPrefix prefix = builder.prefix();
    const auto compareKey = [&](const PackedRecord* r) {
        for (std::size_t i = 0; i < keyCount; ++i) {
            if (const int c = compareValues(reader_.value(r, static_cast<std::size_t>(keyColumns_[i])), key[i]))
                return c;
        }
        return 0;
    };
    // Where the prefixes differ they decide; a record whose prefix equals the key's
    // is compared value by value. A key whose whole encoding fits in the prefix is
    // compared with the first bytes of each record's prefix alone: those are equal
    // exactly when the record's values equal the key's.
    const KeyPrefix mask = builder.complete() ? leadingBytesMask(builder.length()) : KeyPrefix{};
    const OrderEntry* entry = nullptr;
    if (builder.complete()) {
        entry = order_.firstNotBefore([&](const OrderEntry& e) { return compare(masked(e.key, mask), prefix) < 0; }, &row);
        if (entry == nullptr || !(masked(entry->key, mask) == prefix))
            return nullptr;
    } else {
        entry = order_.firstNotBefore([&](const OrderEntry& e) {
            if (const int c = compare(e.key, prefix))
                return c < 0;
            return compareKey(e.rec) < 0;
        }, &row);
    }
    if (entry == nullptr)
        return nullptr;
    // Equal whole keys have equal prefixes, so a different prefix is a miss without a
    // look at the record; a part of a key must be compared value by value.
    const bool wholeKey = keyCount == keyColumns_.size();
    if (wholeKey && !(entry->key == prefix))
        return nullptr;
    PackedRecord* found = entry->rec;
    if (!builder.complete() && compareKey(found) != 0)
        return nullptr;
    return found;
}

namespace {

// Holding a record costs more than its values: its header in the pool, the rounding
// to the header's alignment and its entry in the storage tree. A store of records
// far smaller in the file than that (twenty million records of one null each, one
// byte apiece, would take about 40 bytes of memory for each byte of the file) is
// refused as too large to open, as when the memory runs out: what the records take
// beyond their values may be at most 8 times the file's size, plus 64 MiB, so that
// opening any store takes memory in proportion to it. The program's own records,
// of five fields, take 5 bytes or more in the file and never come near it.
void requireRoomInProportion(std::size_t recordCount, std::size_t contentBytes)
{
    constexpr std::size_t perRecord = sizeof(PackedRecord) + alignof(PackedRecord) + 2 * sizeof(StorageEntry);
    constexpr std::size_t allowance = std::size_t{64} << 20;
    const std::size_t room = contentBytes > (SIZE_MAX - allowance) / 8 ? SIZE_MAX : 8 * contentBytes + allowance;
    if (recordCount > room / perRecord)
        throw std::bad_alloc();
}

}  // namespace

std::vector<FieldDef> RecordSet::load(std::string_view content, std::string_view ordering)
{
    // The records are packed straight from the content as it is read.
    class Loader : public RecordSink {
    public:
        Loader(std::size_t contentBytes, std::string_view ordering) : contentBytes_(contentBytes), ordering_(ordering) {}
        std::vector<FieldDef> fields;
        StorageTree::Builder storage;  // the records in storage order
        RecordPool pool;
        std::unique_ptr<LoadedOrder> prepared;  // the ordering the table opens in, if any
        std::jthread bringIn;  // after pool: joins before the pool's blocks go

        void begin(const std::vector<FieldDef>& decodedFields, std::size_t recordCount) override
        {
            requireRoomInProportion(recordCount, contentBytes_);
            fields = decodedFields;
            if (recordCount == 0)
                return;  // no room to make, nor to bring in
            // A record's packed values never take more bytes than its binary form,
            // nor than its XML form.
            pool.reserve(recordCount, contentBytes_);
            // The records take about as many bytes as the binary form: that much of
            // the block is brought in on a second thread while the records are
            // packed. (The XML form is longer than what it holds: part of what is
            // brought in for it stays unused until the table closes.)
            bringIn = pool.bringInInBackground(contentBytes_);
        }
        void record(const ValueView* values) override
        {
            // The table never holds text longer than its field, and never wrote any:
            // such a file was damaged or changed by hand (the XML form has no
            // checksum), and is refused rather than shown or written back cut.
            for (std::size_t f = 0; f < fields.size(); ++f) {
                const ValueView& v = values[f];
                if (v.kind == ValueView::Kind::Text && fields[f].kind == FieldKind::Text
                    && v.text.size() > static_cast<std::size_t>(fields[f].size)
                    && codePointCount(v.text) > static_cast<std::size_t>(fields[f].size))
                    throw RecordTableError("The store file is damaged: text longer than its field " + fields[f].name);
            }
            PackedRecord* r = pool.pack(values, fields);
            storage.append(StorageEntry{r});
            if (prepared)
                prepared->add(r);
        }
        void order(const CarriedOrder& carried) override { prepared = LoadedOrder::start(fields, ordering_, carried); }
        void end() override
        {
            if (prepared)
                prepared->placeEntries();
        }

    private:
        std::size_t contentBytes_;
        std::string_view ordering_;
    };
    Loader loader(content.size(), ordering);
    decodeStoreInto(content, loader);
    if (loader.fields.empty())
        throw RecordTableError("The store holds no fields");

    loader.bringIn = {};  // waits for the thread, if any, to end
    ++version_;
    loader.storage.finishInto(storage_);
    pool_ = std::move(loader.pool);
    readEnd_ = pool_.mark();
    if (loader.prepared && loader.prepared->placed()) {
        loadedOrder_ = std::move(loader.prepared);
        loadedOrder_->version = version_;
    }
    return std::move(loader.fields);
}

std::string RecordSet::encode(StoreForm form) const
{
    // Written straight from the packed records, in storage order.
    std::vector<const PackedRecord*> records;
    records.reserve(count());
    forEachRecord([&](const PackedRecord* r) { records.push_back(r); });
    const StoreOrder order = form == StoreForm::Binary ? orderForWriting() : StoreOrder{};
    return encodePacked(fields_, records, form, &order);
}

std::string encodePacked(const std::vector<FieldDef>& fields, const std::vector<const PackedRecord*>& records,
                         StoreForm form, const StoreOrder* order)
{
    const RecordReader reader(fields);
    std::size_t bytes = 0;
    for (const PackedRecord* r : records)
        bytes += r->bytes;
    const auto source = [&](std::size_t r, ValueView* values) { reader.values(records[r], values); };
    return encodeStoreFrom(form, fields, records.size(), source, bytes + records.size() * fields.size() * 4, order);
}
