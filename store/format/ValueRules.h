#pragma once
// The rules both store forms share, so that whatever is written can be read back:
// the format versions, UTF-8 and the characters XML allows, field names and field
// definitions, and the values a record may hold. Failures throw RecordTableError.

#include "FieldTypes.h"
#include "ValueView.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// The version each form's writer writes, and the highest its reader knows. The
// binary form went to 2 when it began to carry the records' order under a field
// ordering; the XML form carries no such order and stays at 1.
inline constexpr std::uint32_t binaryVersion = 2;
inline constexpr std::uint32_t xmlVersion = 1;

// Throws RecordTableError with text, the whole of what the user is told.
[[noreturn]] void failFormat(const std::string& text);

[[noreturn]] void failNewerVersion(std::uint64_t version);

// Decodes one UTF-8 sequence at s[pos]; returns the code point and advances pos, or
// returns -1 for anything that is not the shortest form of a scalar value.
inline long nextCodePoint(std::string_view s, std::size_t& pos)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(pos);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    int extra = 0;
    long cp = 0;
    long minimum = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1;
        cp = b0 & 0x1F;
        minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2;
        cp = b0 & 0x0F;
        minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3;
        cp = b0 & 0x07;
        minimum = 0x10000;
    } else {
        return -1;
    }
    if (s.size() - pos <= static_cast<std::size_t>(extra))
        return -1;
    for (int i = 1; i <= extra; ++i) {
        const unsigned char b = byte(pos + static_cast<std::size_t>(i));
        if ((b & 0xC0) != 0x80)
            return -1;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return -1;
    pos += static_cast<std::size_t>(extra) + 1;
    return cp;
}

inline bool isValidUtf8(std::string_view s)
{
    for (std::size_t pos = 0; pos < s.size();) {
        // Plain ASCII runs are by far the most common; skip them eight bytes at a time.
        if (s.size() - pos >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, s.data() + pos, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                pos += 8;
                continue;
            }
        }
        if (static_cast<unsigned char>(s[pos]) < 0x80) {
            ++pos;
            continue;
        }
        if (nextCodePoint(s, pos) < 0)
            return false;
    }
    return true;
}

// Characters an XML 1.0 document cannot hold, not even as a character reference.
inline bool isXmlChar(long cp)
{
    return cp == 0x09 || cp == 0x0A || cp == 0x0D || (cp >= 0x20 && cp <= 0xD7FF)
        || (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// A field name: 1 to 31 characters of valid UTF-8, none of them a control character
// (so that the name fits an XML attribute as it stands).
bool isValidFieldName(std::string_view name);

// The same rules for both forms, so that whatever is written can be read back.
// damaged starts the text of a refusal.
void checkFieldDef(const FieldDef& field, const char* damaged);

// Fields are found by name regardless of letter case (as a table finds them), so two
// names that differ only in case would leave the second field out of reach: no value
// could be set in it, and a required one would block every edit of its record.
bool hasRepeatedFieldName(const std::vector<FieldDef>& fields);

void checkFieldsForWriting(const std::vector<FieldDef>& fields, std::size_t recordCount);

// Every value of a record to be written must be null or of its field's kind, and
// text must be valid UTF-8. r is the record's 0-based place in storage order.
inline void checkValueForWriting(const ValueView& value, const FieldDef& field, std::size_t r)
{
    if (value.kind == ValueView::Kind::Null)
        return;
    const bool isText = value.kind == ValueView::Kind::Text;
    if (isText != (field.kind == FieldKind::Text))
        failFormat("Cannot write the store: record " + std::to_string(r + 1)
                   + " holds a value of the wrong kind in field " + field.name);
    if (isText && !isValidUtf8(value.text))
        failFormat("Cannot write the store: record " + std::to_string(r + 1)
                   + " holds text that is not valid UTF-8 in field " + field.name);
}
