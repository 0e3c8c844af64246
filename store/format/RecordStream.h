#pragma once
// How records pass between a store form and its caller: a writer asks a RecordSource
// for each record's values, a reader hands the fields and records to a RecordSink,
// and DecodedStore holds a whole store read as values of their own.

#include "FieldTypes.h"
#include "ValueView.h"

#include <cstddef>
#include <functional>
#include <vector>

// Gives the writer the values of record r (0-based, in storage order), one per field,
// into values. Called once for each record, in order.
using RecordSource = std::function<void(std::size_t r, ValueView* values)>;

// Receives a store's content as it is read: the fields, then every record as views
// that stay valid only during the call, then the end. Whatever it has been given
// before a failure is thrown stays its own to keep or drop.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    // recordCount is the number of records to follow.
    virtual void begin(const std::vector<FieldDef>& fields, std::size_t recordCount) = 0;
    // One value per field, each null or of its field's kind.
    virtual void record(const ValueView* values) = 0;
    // Every record has been read and the content is whole and valid.
    virtual void end() {}
};

struct DecodedStore {
    std::vector<FieldDef> fields;
    std::vector<Record> records;
};
