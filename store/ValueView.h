#pragma once
// ValueView, the way a record's values pass between the table and the store forms
// without being copied, and viewOf, which views a value kept on its own.

#include "FieldTypes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

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
