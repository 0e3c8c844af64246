#pragma once
// Basic value types shared by the record table and the store file formats.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
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

// Names (of fields, of a file's ending) are matched regardless of the letter case of
// ASCII letters.
inline char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool equalIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
           && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

// The longest field name, in characters: a table refuses to create a longer one and
// the store formats refuse to write or read one.
inline constexpr std::size_t maxFieldNameChars = 31;

// The most fields a table has: a table refuses to create more and the store formats
// refuse to write or read more, so that no hostile file makes the checks on its field
// list slow or large (the program's own stores have five).
inline constexpr std::size_t maxFieldCount = 1024;

// One column of a table: its name, kind, size (characters for text, 0 for integers)
// and whether a record must hold a value in it.
struct FieldDef {
    std::string name;
    FieldKind kind = FieldKind::Text;
    int size = 0;
    bool required = false;

    friend bool operator==(const FieldDef&, const FieldDef&) = default;
};

// The column of the first field called name, regardless of letter case; -1 if none is.
inline int fieldColumn(const std::vector<FieldDef>& fields, std::string_view name)
{
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (equalIgnoringAsciiCase(fields[i].name, name))
            return static_cast<int>(i);
    }
    return -1;
}

// A field's value in one record; std::nullopt is null.
using StoredValue = std::optional<FieldValue>;

// One record: a value per field, in field order.
using Record = std::vector<StoredValue>;
