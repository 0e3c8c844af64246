// The order a store carries for its records: each record's row in the ordering the
// store was written in, put in force when a table opens in that ordering again, and
// written from the ordering in force.
//
// The ordering a table keeps is the one sorting gives: by key, records with equal
// keys in storage order. In that strict order every record has one place, so the
// carried rows are taken exactly when every record has a row of its own and each
// entry, row after row, goes before the next under the comparison the sort uses:
// then they are the order setOrdering would make. Any other carried order, whatever
// the reason (a file changed by hand or made to mislead, rules changed since it was
// written), is ignored and the records are sorted as if there were none.

#include "RecordSet.h"

#include "FreshMemory.h"
#include "TextRules.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

std::unique_ptr<LoadedOrder> LoadedOrder::start(const std::vector<FieldDef>& fields, std::string_view ordering,
                                                const CarriedOrder& carried)
{
    std::vector<int> columns;
    for (const std::string& name : splitFieldList(ordering)) {
        const int column = fieldColumn(fields, name);
        if (column < 0)
            return nullptr;
        columns.push_back(column);
    }
    const auto same = [](int column, std::uint32_t carriedColumn) {
        return static_cast<std::uint32_t>(column) == carriedColumn;
    };
    if (columns.empty()
        || !std::equal(columns.begin(), columns.end(), carried.columns().begin(), carried.columns().end(), same))
        return nullptr;
    return std::make_unique<LoadedOrder>(fields, std::move(columns), carried);
}

LoadedOrder::LoadedOrder(const std::vector<FieldDef>& fields, std::vector<int> keyColumns, const CarriedOrder& carried)
    : columns(std::move(keyColumns)), carried_(carried)
{
    for (const int column : columns)
        kinds_.push_back(fields[static_cast<std::size_t>(column)].kind);
    byStorage_.reserve(carried.size());
    bringIn_ = bringInInBackground(byStorage_.data(), byStorage_.capacity() * sizeof(OrderEntry));
    tree.reserveSlots(carried.size());
}

void LoadedOrder::add(PackedRecord* r, const ValueView* values)
{
    const std::size_t position = byStorage_.size();
    if (!sound_ || position >= carried_.size() || carried_.row(position) >= carried_.size()) {
        sound_ = false;
        return;
    }
    const std::uint32_t row = carried_.row(position);
    r->seq = static_cast<std::uint32_t>(position);
    tree.noteHome(row, r);
    // The same prefix RecordReader::prefix reads from the packed record, made from
    // the values while they are at hand.
    PrefixBuilder builder;
    for (std::size_t k = 0; k < columns.size() && !builder.full(); ++k)
        builder.add(values[columns[k]], kinds_[k]);
    byStorage_.push_back(OrderEntry{builder.prefix(), r});
}

// The entries go to their rows in a pass of their own: amid the reading, whose own
// writes keep the processor's queue of writes full, each write to a row far from
// the last would wait for memory.
void LoadedOrder::placeEntries()
{
    if (!sound_ || byStorage_.size() != carried_.size())
        return;
    for (std::size_t position = 0; position < byStorage_.size(); ++position)
        tree.put(carried_.row(position), byStorage_[position]);
    bringIn_ = {};
    byStorage_ = {};
    placed_ = true;
}

// Puts the carried order in force when each entry goes before the next; false, with
// no ordering built, otherwise. The records were numbered in storage order as they
// were read, so the next new one follows them.
bool RecordSet::orderFromLoaded(LoadedOrder& loaded)
{
    loaded.tree.finishInto(order_);
    // A row given twice leaves another row empty.
    bool sorted = true;
    const OrderEntry* previous = nullptr;
    order_.forEach([&](const OrderEntry& entry) {
        sorted = sorted && entry.rec != nullptr && (previous == nullptr || goesBefore(*previous, entry));
        previous = &entry;
    });
    if (!sorted) {
        order_.clear();
        return false;
    }
    nextSeq_ = static_cast<std::uint32_t>(count());
    storeOrderVersion_ = version_;
    return true;
}

// The ordering in force as a store carries it; none for storage order. The records
// are numbered again in storage order on the way, from 0: their numbers keep their
// order among themselves and stay below nextSeq_, so the ordering is unchanged.
StoreOrder RecordSet::orderForWriting() const
{
    StoreOrder order;
    if (!byFields())
        return order;
    std::uint32_t position = 0;
    storage_.forEach([&](const StorageEntry& e) { e.rec->seq = position++; });
    order.columns.assign(keyColumns_.begin(), keyColumns_.end());
    order.rows.resize(count());
    std::uint32_t row = 0;
    order_.forEach([&](const OrderEntry& e) { order.rows[e.rec->seq] = row++; });
    return order;
}
