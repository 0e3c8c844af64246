#pragma once
// Helpers shared by the tests of the store forms: a schema, awkward records, the
// text of a refusal, and binary stores built by hand from the documented layout.

#include "StoreFormat.h"
#include "table_test_support.h"

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace formattest {

using namespace std::string_literals;

inline FieldValue text(std::string s) { return FieldValue(std::move(s)); }
inline FieldValue integer(std::int32_t n) { return FieldValue(n); }

inline std::vector<FieldDef> schema()
{
    return {{"NAME", FieldKind::Text, 100, true},   {"LOGIN", FieldKind::Text, 40, true},
            {"PASSWORD", FieldKind::Text, 50, true}, {"NOTES", FieldKind::Text, 256, false},
            {"RECTYPE", FieldKind::Integer, 0, true}};
}

inline std::vector<const Record*> pointers(const std::vector<Record>& records)
{
    std::vector<const Record*> result;
    for (const Record& r : records)
        result.push_back(&r);
    return result;
}

inline std::string allControlCharacters()
{
    std::string s;
    for (int c = 0; c < 0x20; ++c)
        s += static_cast<char>(c);
    return s + "\x7F";
}

// Values that trip up careless writers: null against empty, markup, quotes, line
// ends of every kind, control characters, multi-byte and non-character code points.
inline std::vector<Record> awkwardRecords()
{
    return {
        {text("Bank"), text("jo"), text("p<a>&s\"s'w"), std::nullopt, integer(0)},
        {text(""), text(" lead and trail "), text("]]>"), text(""), std::nullopt},
        {text("a\r\nb\rc\nd"), text("\t\ttabs\t"), text(allControlCharacters()), text("\r\n"), integer(INT32_MIN)},
        {text("Grüße €"), text("日本語"), text("😀 \xEF\xBF\xBE\xEF\xBF\xBF"), text("&amp; &#10;"), integer(INT32_MAX)},
        {std::nullopt, std::nullopt, std::nullopt, std::nullopt, integer(-1)},
    };
}

// The text of the refusal of content.
inline std::string errorOf(std::string_view content)
{
    return tabletest::errorText([content] { decodeStore(content); });
}

// Independent bitwise CRC-32, used to build binary stores by hand.
inline std::uint32_t referenceCrc(std::string_view data)
{
    std::uint32_t c = 0xFFFFFFFF;
    for (unsigned char b : data) {
        c ^= b;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

inline std::string le(std::uint64_t v, int bytes)
{
    std::string s;
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

// A binary store built from the documented layout, with a given version and body.
inline std::string handBuiltBinary(std::uint32_t version, const std::string& body)
{
    std::string s = "\x89QRL\r\n\x1A\n"s + le(version, 4) + le(20 + body.size() + 4, 8) + body;
    return s + le(referenceCrc(s), 4);
}

}  // namespace formattest
