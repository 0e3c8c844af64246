#pragma once
// Basic value types shared by the record table and the store file formats.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

enum class FieldKind { Text, Integer };

struct IndexOptions {
    bool primary = false, unique = false, descending = false, caseInsensitive = false;
};

using FieldValue = std::variant<std::string, std::int32_t>;

// Every failure of a table or of a store file is thrown as this; what() is the
// whole text the user sees.
class RecordTableError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The longest field name, in characters: a table refuses to create a longer one and
// the store formats refuse to write or read one.
inline constexpr std::size_t maxFieldNameChars = 31;

// One column of a table: its name, kind, size (characters for text, 0 for integers)
// and whether a record must hold a value in it.
struct FieldDef {
    std::string name;
    FieldKind kind = FieldKind::Text;
    int size = 0;
    bool required = false;

    friend bool operator==(const FieldDef&, const FieldDef&) = default;
};

// A field's value in one record; std::nullopt is null.
using StoredValue = std::optional<FieldValue>;

// One record: a value per field, in field order.
using Record = std::vector<StoredValue>;
