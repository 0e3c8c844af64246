#pragma once
// How records pass between a store form and its caller: a writer asks a RecordSource
// for each record's values, a reader hands the fields and records to a RecordSink,
// and DecodedStore holds a whole store read as values of their own. A store may also
// carry the records' order under a field ordering: StoreOrder to write, CarriedOrder
// as read.

#include "FieldTypes.h"
#include "ValueView.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

// Gives the writer the values of record r (0-based, in storage order), one per field,
// into values. Called once for each record, in order.
using RecordSource = std::function<void(std::size_t r, ValueView* values)>;

// The records' order under a field ordering, to be written with them: the
// ordering's fields as their 0-based places among the store's fields, and for each
// record, in storage order, the 0-based row it takes in that ordering.
struct StoreOrder {
    std::vector<std::uint32_t> columns;
    std::vector<std::uint32_t> rows;
};

// A StoreOrder as a reader found it. The rows are read from the content only when
// asked for, so a sink with no use for them pays nothing; they view the content and
// stay valid until the reader returns. Nothing but the order's length has been
// checked: the numbers may be anything.
class CarriedOrder {
public:
    // rows holds each row as four bytes, least significant first.
    CarriedOrder(std::vector<std::uint32_t> columns, std::string_view rows)
        : columns_(std::move(columns)), rows_(rows)
    {
    }
    const std::vector<std::uint32_t>& columns() const { return columns_; }
    std::size_t size() const { return rows_.size() / 4; }
    // The row of the record at place position in storage order.
    std::uint32_t row(std::size_t position) const
    {
        const auto* p = reinterpret_cast<const unsigned char*>(rows_.data()) + 4 * position;
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
    }

private:
    std::vector<std::uint32_t> columns_;
    std::string_view rows_;
};

// Receives a store's content as it is read: the fields, the order the store
// carries, if any, then every record as views that stay valid only during the call,
// then the end. Whatever it has been given before a failure is thrown stays its own
// to keep or drop.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    // recordCount is the number of records to follow.
    virtual void begin(const std::vector<FieldDef>& fields, std::size_t recordCount) = 0;
    // The order the store carries for its records, after begin and before the first
    // record.
    virtual void order(const CarriedOrder& order) { (void)order; }
    // One value per field, each null or of its field's kind.
    virtual void record(const ValueView* values) = 0;
    // Every record has been read and the content is whole and valid.
    virtual void end() {}
};

struct DecodedStore {
    std::vector<FieldDef> fields;
    std::vector<Record> records;
};
