// RecordReader's conversions between packed records and records of values of their
// own, for an edit that begins and one that is posted.

#include "RecordReader.h"

#include <optional>
#include <string>

namespace {

StoredValue storedOf(const ValueView& v)
{
    switch (v.kind) {
    case ValueView::Kind::Text: return FieldValue(std::string(v.text));
    case ValueView::Kind::Integer: return FieldValue(v.number);
    case ValueView::Kind::Null: break;
    }
    return std::nullopt;
}

}  // namespace

Record RecordReader::unpack(const PackedRecord* r) const
{
    std::vector<ValueView> views(fields_->size());
    values(r, views.data());
    Record record;
    record.reserve(views.size());
    for (const ValueView& v : views)
        record.push_back(storedOf(v));
    return record;
}

PackedRecord* RecordReader::pack(const Record& record, RecordPool& pool) const
{
    std::vector<ValueView> views;
    views.reserve(record.size());
    for (const StoredValue& value : record)
        views.push_back(viewOf(value));
    return pool.pack(views.data(), *fields_);
}
