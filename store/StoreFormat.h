#pragma once
// The two forms of a store file's content: the program's own binary form and an XML
// form. Both carry the field definitions and the records in storage order.

#include "FieldTypes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

enum class StoreForm { Binary, Xml };

// One value of a record as the table keeps it and as the fast reader and writer pass
// it: null, a text (viewed, not owned) or an integer.
struct ValueView {
    enum class Kind : unsigned char { Null, Text, Integer };
    Kind kind = Kind::Null;
    std::string_view text;
    std::int32_t number = 0;
};

// A value kept as a value of its own, viewed as the fast reader and writer pass it.
inline ValueView viewOf(const StoredValue& value)
{
    if (!value)
        return {};
    if (const auto* text = std::get_if<std::string>(&*value))
        return ValueView{ValueView::Kind::Text, *text, 0};
    return ValueView{ValueView::Kind::Integer, {}, std::get<std::int32_t>(*value)};
}

// The CRC-32 a binary store ends with (reflected polynomial 0xEDB88320, initial
// value and final xor 0xFFFFFFFF): the fastest way the processor allows, and the
// plain table-driven way, which must agree with it.
std::uint32_t storeChecksum(std::string_view data);
std::uint32_t storeChecksumPortable(std::string_view data);

// The form a file name asks for: XML when it ends in ".xml" in any letter case.
StoreForm storeFormForFileName(std::string_view fileName);

// The whole content of a store in the given form. Every record holds one value per
// field (null allowed), of the field's kind.
std::string encodeStore(StoreForm form, const std::vector<FieldDef>& fields,
                        const std::vector<const Record*>& records);

// Gives the writer the values of record r (0-based, in storage order), one per field,
// into values. Called once for each record, in order.
using RecordSource = std::function<void(std::size_t r, ValueView* values)>;

// The whole content of a store in the given form, its records read from source.
// Every value must be null or of its field's kind. sizeHint is roughly the bytes the
// records' values take; the writer reserves that much up front.
std::string encodeStoreFrom(StoreForm form, const std::vector<FieldDef>& fields, std::size_t count,
                            const RecordSource& source, std::size_t sizeHint = 0);

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

// Reads content as decodeStore does, handing the fields and records to sink.
void decodeStoreInto(std::string_view content, RecordSink& sink);

struct DecodedStore {
    std::vector<FieldDef> fields;
    std::vector<Record> records;
};

// Reads content of either form (told apart by its first bytes). Content that is not
// a whole, valid store is refused with a RecordTableError that says what is wrong.
// Every record read holds one value per field (null allowed), of the field's kind.
DecodedStore decodeStore(std::string_view content);
