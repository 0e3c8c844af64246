// The rules for the values a table holds that are not on the path of every value
// added or compared: counting characters, field lists, integers written as text,
// and display text.

#include "TextRules.h"

#include <charconv>
#include <system_error>

std::size_t codePointCount(std::string_view s)
{
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return !isContinuationByte(c); }));
}

std::string cutToSize(std::string s, int size)
{
    s.resize(cutLength(s, size));
    return s;
}

std::vector<std::string> splitFieldList(std::string_view text)
{
    std::vector<std::string> names;
    if (text.empty())
        return names;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        std::string_view name = text.substr(start, end - start);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
            name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.remove_suffix(1);
        names.emplace_back(name);
        if (end == text.size())
            return names;
        start = end + 1;
    }
}

std::optional<std::int32_t> parseInteger(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() || text.front() == '+')
        return std::nullopt;
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::int32_t toInteger(std::string_view text)
{
    if (auto value = parseInteger(text))
        return *value;
    throw RecordTableError("'" + std::string(text) + "' is not a valid integer value");
}

std::string displayText(const ValueView& value)
{
    switch (value.kind) {
    case ValueView::Kind::Text: return std::string(value.text);
    case ValueView::Kind::Integer: return std::to_string(value.number);
    case ValueView::Kind::Null: break;
    }
    return {};
}

std::string displayText(const StoredValue& value)
{
    return displayText(viewOf(value));
}
