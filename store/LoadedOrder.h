#pragma once
// LoadedOrder: the ordering a table opens in, built from the order its store carries
// while the store is read. LoadedOrder.cpp also holds the record set's taking of it
// and its writing of the order it keeps.

#include "FieldTypes.h"
#include "PackedRecord.h"
#include "RecordReader.h"
#include "RecordTrees.h"
#include "format/RecordStream.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

// The ordering a table opens in, taken from the order its store carries when that
// order is for the ordering's fields. While the store is read, a second thread
// follows the reading: it makes each record's entry, the key prefix read from the
// packed record, and puts it at the row the carried order gives the record, so that
// taking the order adds little to the reading's own time on a processor with two
// cores. The records go to the placing in batches; once the reading is done, it
// places batches too, until none is left. RecordSet::applyOrder then checks the rows
// in one pass and puts the order in force, or, when the check fails, sorts as it
// would without it.
class LoadedOrder {
public:
    // One when the ordering text names fields, every name is a field, and the
    // carried order is for exactly those fields; null otherwise.
    static std::unique_ptr<LoadedOrder> start(const std::vector<FieldDef>& fields, std::string_view ordering,
                                              const CarriedOrder& carried);
    LoadedOrder(const std::vector<FieldDef>& fields, std::vector<int> columns, const CarriedOrder& carried);
    ~LoadedOrder() { stopPlacing(); }
    LoadedOrder(const LoadedOrder&) = delete;
    LoadedOrder& operator=(const LoadedOrder&) = delete;

    // The next record in storage order, packed: numbers it in that order (its seq)
    // and hands it to the placing. A record past the carried rows spoils the order.
    void add(PackedRecord* r);
    // Once every record is added, while the carried order can still be read: waits
    // until each entry is at its row. A row given twice leaves another empty, which
    // the check finds. Throws std::bad_alloc when the order found no memory.
    void placeEntries();
    // Every entry is at a row of its own.
    bool placed() const { return placed_; }

    std::vector<int> columns;  // the ordering's columns
    OrderTree::Builder tree;   // the entries at their carried rows, once placed
    std::uint64_t version = 0; // the set's version once loaded

private:
    // The placing's thread: makes room for the rows, then places batches.
    void placeOnThread();
    // Claims batch after batch not yet claimed, waits until it is handed over, and
    // places it; ends when none is left, or when the placing is stopped.
    void placeClaimed();
    // Puts the entries of the records at [begin, end) of storage order at their rows,
    // made first in made.
    void place(std::uint32_t begin, std::uint32_t end, OrderEntry* made);
    // Ends the placing, with what it has placed, and waits for its thread.
    void stopPlacing();
    // Sets what the other thread may be waiting on, and wakes it.
    template <class T>
    void tell(std::atomic<T>& what, T value);
    // Waits until what is no longer from, and returns what it is.
    template <class T>
    T awaitChange(const std::atomic<T>& what, T from);

    static constexpr std::uint32_t stopped = ~std::uint32_t{0};  // handedOver_ when the placing is to end
    static constexpr std::uint32_t batch = 512;  // records handed over at once
    static constexpr std::uint32_t most = 1u << 31;  // records, far above what memory holds
    enum class Room : std::uint8_t { Making, Made, Failed };  // of the rows, made by the placing's thread

    std::vector<FieldDef> fields_;
    RecordReader reader_{fields_};
    CarriedOrder carried_;  // views the content: used only while it is read
    std::unique_ptr<PackedRecord*[]> records_;  // in storage order, as added
    // The reading's own count, on a cache line of its own: were it beside what the
    // placing reads for every record, each add would take the line from the other core.
    struct alignas(64) Added {
        std::uint32_t count = 0;
        bool tooMany = false;  // more records than carried rows
    } added_;
    // The records the placing may take: records_[0, handedOver_), or stopped.
    alignas(64) std::atomic<std::uint32_t> handedOver_{0};
    // The first record of the next batch to be claimed.
    alignas(64) std::atomic<std::uint32_t> claimed_{0};
    std::atomic<Room> room_{Room::Making};
    std::atomic<bool> rowsInRange_{true};
    // The waits for handedOver_ and room_ to change (seldom long: a thread waits
    // only when it has caught up with the other).
    std::mutex mutex_;
    std::condition_variable changed_;
    std::exception_ptr failure_;  // of the placing's thread, read once it has ended
    std::jthread placing_;
    bool placed_ = false;
};
