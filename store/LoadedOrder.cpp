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

#include "LoadedOrder.h"

#include "RecordSet.h"
#include "TextRules.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <system_error>
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
    if (columns.empty() || carried.size() >= most
        || !std::equal(columns.begin(), columns.end(), carried.columns().begin(), carried.columns().end(), same))
        return nullptr;
    return std::make_unique<LoadedOrder>(fields, std::move(columns), carried);
}

LoadedOrder::LoadedOrder(const std::vector<FieldDef>& fields, std::vector<int> keyColumns, const CarriedOrder& carried)
    : columns(std::move(keyColumns)),
      fields_(fields),
      carried_(carried),
      records_(std::make_unique_for_overwrite<PackedRecord*[]>(carried.size()))
{
    try {
        placing_ = std::jthread([this] { placeOnThread(); });
    } catch (const std::system_error&) {
        // No second thread to be had: placeEntries places every entry itself.
    }
}

void LoadedOrder::add(PackedRecord* r)
{
    std::uint32_t& count = added_.count;
    if (count == carried_.size()) {
        added_.tooMany = true;
        return;
    }
    r->seq = count;
    records_[count++] = r;
    // Handed over a batch at a time, so that the two threads seldom meet on the count.
    if (count % batch == 0 || count == carried_.size())
        tell(handedOver_, count);
}

template <class T>
void LoadedOrder::tell(std::atomic<T>& what, T value)
{
    what.store(value, std::memory_order_release);
    // A waiter looks at the value under the lock: taking it here means the waiter
    // either saw the new value or is waiting, and is woken.
    { const std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
}

template <class T>
T LoadedOrder::awaitChange(const std::atomic<T>& what, T from)
{
    std::unique_lock<std::mutex> lock(mutex_);
    T now = from;
    changed_.wait(lock, [&] { return (now = what.load(std::memory_order_acquire)) != from; });
    return now;
}

// Whatever fails here (memory, for the rows or a batch's entries) is passed to the
// reading, which throws it once the thread has ended.
void LoadedOrder::placeOnThread()
{
    try {
        tree.reserveSlots(carried_.size());
        tell(room_, Room::Made);
        placeClaimed();
    } catch (...) {
        failure_ = std::current_exception();
        if (room_.load(std::memory_order_relaxed) == Room::Making)
            tell(room_, Room::Failed);
    }
}

void LoadedOrder::placeClaimed()
{
    std::vector<OrderEntry> made(batch);
    const auto n = static_cast<std::uint32_t>(carried_.size());
    for (;;) {
        const std::uint32_t begin = claimed_.fetch_add(batch, std::memory_order_relaxed);
        if (begin >= n)
            return;
        const std::uint32_t end = std::min(n, begin + batch);
        std::uint32_t ready = handedOver_.load(std::memory_order_acquire);
        while (ready != stopped && ready < end)
            ready = awaitChange(handedOver_, ready);
        if (ready == stopped)
            return;
        place(begin, end, made.data());
    }
}

// The entries are made first and put at their rows after: a put writes far from the
// last one, and reading a record's key while such writes are under way would wait
// for every one of them.
void LoadedOrder::place(std::uint32_t begin, std::uint32_t end, OrderEntry* made)
{
    for (std::uint32_t position = begin; position < end; ++position) {
        PackedRecord* r = records_[position];
        made[position - begin] = OrderEntry{reader_.prefix(columns, r), r};
    }
    for (std::uint32_t position = begin; position < end; ++position) {
        const std::uint32_t row = carried_.row(position);
        if (row >= carried_.size()) {
            rowsInRange_.store(false, std::memory_order_relaxed);
            continue;
        }
        const OrderEntry& entry = made[position - begin];
        tree.noteHome(row, entry.rec);
        tree.put(row, entry);
    }
}

void LoadedOrder::placeEntries()
{
    if (added_.tooMany || added_.count != carried_.size()) {
        stopPlacing();
        return;
    }
    if (!placing_.joinable()) {
        tree.reserveSlots(carried_.size());
        placeClaimed();
    } else {
        // Every record is handed over: the reading helps with what is left, once the
        // rows have room.
        Room room = room_.load(std::memory_order_acquire);
        if (room == Room::Making)
            room = awaitChange(room_, room);
        if (room == Room::Made)
            placeClaimed();
        placing_.join();
    }
    if (failure_)
        std::rethrow_exception(failure_);
    placed_ = rowsInRange_.load(std::memory_order_relaxed);
}

void LoadedOrder::stopPlacing()
{
    if (!placing_.joinable())
        return;
    tell(handedOver_, stopped);
    placing_.join();
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
