#pragma once
// The rules for the values a table holds: counting and cutting UTF-8 text by
// characters, field lists, integers written as text, the text a value is shown as,
// and the order of two values.

#include "FieldTypes.h"
#include "ValueView.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// Values are UTF-8; sizes count code points.

inline bool isContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::size_t codePointCount(std::string_view s);

// The bytes of the first `size` characters of s, never splitting one.
inline std::size_t cutLength(std::string_view s, int size)
{
    const std::size_t limit = size > 0 ? static_cast<std::size_t>(size) : 0;
    if (s.size() <= limit)
        return s.size();  // a character takes at least one byte
    std::size_t seen = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!isContinuationByte(s[i])) {
            if (seen == limit)
                return i;
            ++seen;
        }
    }
    return s.size();
}

// Keeps the first `size` characters, never splitting one.
std::string cutToSize(std::string s, int size);

// A field list: names separated by ";", each stripped of surrounding blanks. The
// empty text is the empty list.
std::vector<std::string> splitFieldList(std::string_view text);

std::optional<std::int32_t> parseInteger(std::string_view text);

// The integer text holds, or RecordTableError "'<text>' is not a valid integer value".
std::int32_t toInteger(std::string_view text);

// A value of either kind seen as a value of the field's kind, cut to its size; the
// view is into value, or into scratch when a number becomes text. Inline, as is
// cutLength: every value added and every key looked up goes through them, and out
// of line they cost the benchmark's adds and lookups a few percent.
inline ValueView viewForField(const FieldValue& value, const FieldDef& field, std::string& scratch)
{
    if (field.kind == FieldKind::Text) {
        std::string_view text;
        if (const auto* given = std::get_if<std::string>(&value)) {
            text = *given;
        } else {
            scratch = std::to_string(std::get<std::int32_t>(value));
            text = scratch;
        }
        return ValueView{ValueView::Kind::Text, text.substr(0, cutLength(text, field.size)), 0};
    }
    if (const auto* number = std::get_if<std::int32_t>(&value))
        return ValueView{ValueView::Kind::Integer, {}, *number};
    return ValueView{ValueView::Kind::Integer, {}, toInteger(std::get<std::string>(value))};
}

// Text as stored, an integer in decimal, null as the empty text.
std::string displayText(const ValueView& value);
std::string displayText(const StoredValue& value);

// Null first, then by kind, then text byte by byte (letter case distinguished) or
// integers by value. Kept here, inline, because sorting and searching call it for
// every comparison the key prefixes leave undecided.
inline int compareValues(const ValueView& a, const ValueView& b, bool caseInsensitive = false)
{
    if (a.kind != b.kind)
        return a.kind < b.kind ? -1 : 1;
    if (a.kind == ValueView::Kind::Null)
        return 0;
    if (a.kind == ValueView::Kind::Integer)
        return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
    if (!caseInsensitive) {
        const int c = a.text.compare(b.text);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    const std::size_t n = std::min(a.text.size(), b.text.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto cx = static_cast<unsigned char>(asciiLower(a.text[i]));
        const auto cy = static_cast<unsigned char>(asciiLower(b.text[i]));
        if (cx != cy)
            return cx < cy ? -1 : 1;
    }
    return a.text.size() < b.text.size() ? -1 : (a.text.size() > b.text.size() ? 1 : 0);
}
