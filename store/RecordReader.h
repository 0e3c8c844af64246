#pragma once
// RecordReader: reads a packed record's values through the fields' kinds, compares
// records on key columns and gives a record's key prefix. The reads are inline:
// every sort, search and write goes through them.

#include "FieldTypes.h"
#include "KeyPrefix.h"
#include "PackedRecord.h"
#include "TextRules.h"
#include "ValueView.h"

#include <cstddef>
#include <vector>

// Reads records' values: a record holds no description of itself, so every read
// goes through the fields' kinds.
class RecordReader {
public:
    explicit RecordReader(const std::vector<FieldDef>& fields) : fields_(&fields) {}

    ValueView value(const PackedRecord* r, std::size_t column) const
    {
        const unsigned char* p = r->data();
        for (std::size_t i = 0; i < column; ++i)
            p = skipValue(p, kind(i));
        ValueView v;
        getValue(p, kind(column), v);
        return v;
    }

    // Every value of a record, into out (one slot per field).
    void values(const PackedRecord* r, ValueView* out) const
    {
        const unsigned char* p = r->data();
        for (std::size_t i = 0; i < fields_->size(); ++i)
            p = getValue(p, kind(i), out[i]);
    }

    // The record's values as values of their own, and such values packed anew.
    Record unpack(const PackedRecord* r) const;
    PackedRecord* pack(const Record& record, RecordPool& pool) const;

    int compareOn(const std::vector<int>& columns, const PackedRecord* a, const PackedRecord* b,
                  bool caseInsensitive = false) const
    {
        for (const int column : columns) {
            const auto i = static_cast<std::size_t>(column);
            if (const int c = compareValues(value(a, i), value(b, i), caseInsensitive))
                return c;
        }
        return 0;
    }

    // The key prefix of a record under the given key columns.
    KeyPrefix prefix(const std::vector<int>& columns, const PackedRecord* r) const
    {
        PrefixBuilder builder;
        for (const int column : columns) {
            if (builder.full())
                break;
            const auto i = static_cast<std::size_t>(column);
            builder.add(value(r, i), kind(i));
        }
        return builder.prefix();
    }

    FieldKind kind(std::size_t column) const { return (*fields_)[column].kind; }

private:
    const std::vector<FieldDef>* fields_;
};
