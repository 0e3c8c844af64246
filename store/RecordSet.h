#pragma once
// RecordSet: the records of an open table and their two orders. The records live in
// a RecordPool; counted B+ trees keep storage order and the field ordering in force,
// whose entries carry the first 24 bytes of an order-preserving encoding of the
// record's key (KeyPrefix), so that searching, inserting and sorting mostly compare
// those bytes and seldom visit a record. Counts in the trees give a record's row and
// the record at a row in O(log n). Unique indexes refuse a repeated key. A table
// opened with a field ordering in force gets that order straight from the file when
// the file carries it (LoadedOrder).

#include "FieldTypes.h"
#include "KeyPrefix.h"
#include "LoadedOrder.h"
#include "PackedRecord.h"
#include "RecordReader.h"
#include "RecordTrees.h"
#include "StoreFormat.h"
#include "ValueView.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A unique index: refuses a record whose values in its fields equal another's.
struct UniqueIndex {
    struct Less {
        RecordReader reader;
        std::vector<int> columns;
        bool caseInsensitive = false;
        bool operator()(const PackedRecord* a, const PackedRecord* b) const
        {
            return reader.compareOn(columns, a, b, caseInsensitive) < 0;
        }
    };
    std::string name;
    std::set<const PackedRecord*, Less> keys;
};

// Records packed under fields, in the order given, as a store's content in the given
// form; the binary form also carries order when it is given (see encodeStoreFrom).
std::string encodePacked(const std::vector<FieldDef>& fields, const std::vector<const PackedRecord*>& records,
                         StoreForm form, const StoreOrder* order = nullptr);

class RecordSet {
public:
    // The records' values are read through fields, which must outlive the set.
    explicit RecordSet(const std::vector<FieldDef>& fields) : fields_(fields), reader_(fields) {}
    ~RecordSet() { release(); }
    RecordSet(const RecordSet&) = delete;
    RecordSet& operator=(const RecordSet&) = delete;

    const RecordReader& reader() const { return reader_; }

    // A new record, not yet in the set: of values (one per field, each of its field's
    // kind), or of a record's values.
    PackedRecord* pack(const ValueView* values) { return pool_.pack(values, fields_); }
    PackedRecord* pack(const Record& record) { return reader_.pack(record, pool_); }

    // --- rows: positions in the ordering in force, or in storage order without one

    bool byFields() const { return !keyColumns_.empty(); }
    std::size_t count() const { return storage_.size(); }
    int rowOf(PackedRecord* r) const
    {
        if (rowMemo_.record == r && rowMemo_.version == version_)
            return rowMemo_.row;
        const int row = static_cast<int>(byFields() ? order_.rank(r) : storage_.rank(r));
        remember(r, static_cast<std::size_t>(row));
        return row;
    }
    // Notes the row of a record found on the way, until the next change to the orders.
    void remember(const PackedRecord* r, std::size_t row) const { rowMemo_ = RowMemo{r, version_, static_cast<int>(row)}; }
    PackedRecord* recordAt(std::size_t row) const { return byFields() ? order_.at(row).rec : storage_.at(row).rec; }
    PackedRecord* firstRow() const { return byFields() ? order_.first() : storage_.first(); }
    PackedRecord* lastRow() const { return byFields() ? order_.last() : storage_.last(); }
    PackedRecord* nextRow(PackedRecord* r) const { return byFields() ? order_.next(r) : storage_.next(r); }
    PackedRecord* prevRow(PackedRecord* r) const { return byFields() ? order_.prev(r) : storage_.prev(r); }

    // --- the ordering

    // The text of the ordering the records are in, and its fields' columns; both
    // empty for storage order.
    const std::string& orderingInForce() const { return orderingInForce_; }
    const std::vector<int>& keyColumns() const { return keyColumns_; }
    // Puts the records in the order of the given key columns (storage order when
    // empty); equal keys keep their storage order.
    void applyOrder(std::vector<int> columns, std::string text);
    // Back to storage order, as for a table just filled.
    void clearOrder();
    // The ordering in force is the order the store carried, taken as it was read and
    // unchanged since. For tests.
    bool orderCameFromStore() const { return byFields() && storeOrderVersion_ == version_; }

    // --- unique indexes

    void setUniqueIndexes(std::vector<UniqueIndex> indexes) { uniqueIndexes_ = std::move(indexes); }
    // The name of a unique index whose key r repeats, held by a record other than
    // self; null when there is none.
    const std::string* refusingIndex(const PackedRecord* r, const PackedRecord* self) const;

    // --- changes

    // Places a new record as an insert does: at its sorted place (and last in storage
    // order) under a field ordering, else just before the record `before` (last when
    // null). Returns the row it takes.
    std::size_t place(PackedRecord* r, PackedRecord* before);
    // Puts r in old's place: old's place in storage order, r's sorted place in the
    // ordering.
    void replace(PackedRecord* old, PackedRecord* r);
    void erase(PackedRecord* r);
    // Forgets every record and frees their memory.
    void release();

    // The first record in the ordering whose first keyCount key values equal key, and
    // its row; null when there is none. A field ordering must be in force.
    PackedRecord* find(const ValueView* key, std::size_t keyCount, std::size_t& row) const;

    // --- whole stores

    // Reads the records of a store's content, in storage order, in place of none
    // held; returns its fields, which the caller keeps as the fields this set reads
    // through. Content that is not a sound store is refused with RecordTableError;
    // std::bad_alloc tells a store too large for the memory there is, or for the
    // memory a store of its size may take (see RecordSet.cpp). When the store carries
    // its order for the ordering the table will open in, that order is made ready on
    // the way; the applyOrder that follows puts it in force.
    std::vector<FieldDef> load(std::string_view content, std::string_view ordering = {});
    // The records in storage order as a store's content in the given form; the
    // binary form also carries the ordering in force.
    std::string encode(StoreForm form) const;

    // --- the records as read: those the last load packed. A record that is erased or
    // replaced keeps its bytes in the pool until release, so what was read stays at
    // hand without a copy.

    // Visits every record read, held or not, in the order read; a visit that returns
    // false ends the walk.
    template <class Visit>
    void forEachRecordRead(Visit visit) const { pool_.forEachPacked({}, readEnd_, visit); }
    // Visits every record packed since (inserted, or the result of an edit), held or not.
    template <class Visit>
    void forEachRecordPackedSinceRead(Visit visit) const { pool_.forEachPacked(readEnd_, pool_.mark(), visit); }
    // A held record's place in storage order, 0-based.
    std::size_t storagePosition(const PackedRecord* r) const { return storage_.rank(const_cast<PackedRecord*>(r)); }
    // True while r is one of the set's records (a record erased or replaced is not).
    static bool holds(const PackedRecord* r) { return r->storageHome != nullptr; }
    // Visits every record held, in storage order.
    template <class Visit>
    void forEachRecord(Visit visit) const
    {
        storage_.forEach([&](const StorageEntry& e) { visit(static_cast<const PackedRecord*>(e.rec)); });
    }

private:
    bool orderFromLoaded(LoadedOrder& loaded);
    StoreOrder orderForWriting() const;

    OrderEntry orderEntry(PackedRecord* r) const { return OrderEntry{reader_.prefix(keyColumns_, r), r}; }
    bool goesBefore(const OrderEntry& a, const OrderEntry& b) const;
    void sortEntries(OrderEntry* a, OrderEntry* spare, std::size_t n, std::size_t byte) const;
    std::size_t insertInOrder(PackedRecord* r);
    void renumberIfExhausted();

    const std::vector<FieldDef>& fields_;
    RecordReader reader_;
    StorageTree storage_;
    OrderTree order_;               // filled only while a field ordering is in force
    std::string orderingInForce_;   // the text of the ordering the records are in
    std::vector<int> keyColumns_;   // its fields; empty for storage order
    std::uint32_t nextSeq_ = 0;
    std::vector<UniqueIndex> uniqueIndexes_;
    RecordPool pool_;               // where the records live, see RecordPool
    RecordPool::Mark readEnd_;      // the end of the records the last load packed
    std::unique_ptr<LoadedOrder> loadedOrder_;  // made by load, taken by the next applyOrder
    std::uint64_t storeOrderVersion_ = ~std::uint64_t{0};  // version_ when it was taken

    // The row of one record, remembered until the next change to the orders: the
    // current record's row is asked for after every step, and a search or a sorted
    // insert finds it on the way down for nothing.
    std::uint64_t version_ = 0;     // rises with every change to either order
    struct RowMemo {
        const PackedRecord* record = nullptr;
        std::uint64_t version = 0;
        int row = -1;
    };
    mutable RowMemo rowMemo_;
};
