// The XML form's reader: strict, for exactly the documents the writer makes, with
// the line of the first fault in every refusal.

#include "format/XmlForm.h"

#include "format/ValueRules.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

namespace {

// No element of a store has more than four attributes; a few more are read (and then
// refused as unknown by name), but not so many that comparing each with the ones
// before it takes long.
constexpr std::size_t maxAttributes = 8;

void appendUtf8(std::string& out, long cp)
{
    const auto put = [&](long v) { out.push_back(static_cast<char>(static_cast<unsigned char>(v))); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | (cp >> 6));
        put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | (cp >> 12));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | (cp >> 18));
        put(0x80 | ((cp >> 12) & 0x3F));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
}

// A strict reader for exactly the documents encodeXml writes: the declaration, the
// fixed elements with their fixed attributes, whitespace between elements, entity
// and character references, and <char> elements inside values. Comments,
// processing instructions, CDATA sections and document types are refused.
class XmlStoreReader {
public:
    explicit XmlStoreReader(std::string_view doc) : doc_(doc) {}

    DecodedStore read()
    {
        checkCharacters();
        if (doc_.substr(pos_, xmlDeclaration.size()) != xmlDeclaration)
            invalid("expected the XML declaration");
        pos_ += xmlDeclaration.size();

        Tag root = startTag(rootName);
        const std::string version = takeAttribute(root, "version");
        noMoreAttributes(root);
        const std::uint64_t number = parseUnsigned(version, "format version");
        if (number == 0)
            invalid("format version 0");
        if (number > xmlVersion)
            failNewerVersion(number);
        if (root.selfClosing)
            invalid("expected <fields>");

        DecodedStore store;
        readFields(store);
        readRecords(store);
        endTag(rootName);
        skipSpace();
        if (pos_ != doc_.size())
            invalid("data after the end of the document");
        return store;
    }

private:
    struct Tag {
        std::string_view name;
        std::vector<std::pair<std::string_view, std::string>> attributes;
        bool selfClosing = false;
    };

    [[noreturn]] void invalid(const std::string& what) const
    {
        std::size_t line = 1;
        for (std::size_t i = 0; i < pos_ && i < doc_.size(); ++i)
            line += doc_[i] == '\n' ? 1 : 0;
        failFormat("The XML store file is not valid: line " + std::to_string(line) + ": " + what);
    }

    // The whole document must be UTF-8 made of characters XML allows.
    void checkCharacters()
    {
        for (std::size_t p = 0; p < doc_.size();) {
            const std::size_t start = p;
            const long cp = nextCodePoint(doc_, p);
            if (cp < 0 || !isXmlChar(cp)) {
                pos_ = start;
                invalid(cp < 0 ? "not valid UTF-8" : "a character XML does not allow");
            }
        }
    }

    bool atEnd() const { return pos_ >= doc_.size(); }
    char peek() const { return atEnd() ? '\0' : doc_[pos_]; }
    bool lookingAt(std::string_view s) const { return doc_.substr(pos_, s.size()) == s; }

    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    static bool isNameStart(char c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    }
    static bool isNameChar(char c)
    {
        return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
    }

    void skipSpace()
    {
        while (!atEnd() && isSpace(doc_[pos_]))
            ++pos_;
    }

    std::string_view name()
    {
        const std::size_t start = pos_;
        if (!isNameStart(peek()))
            invalid("expected a name");
        while (!atEnd() && isNameChar(doc_[pos_]))
            ++pos_;
        return doc_.substr(start, pos_ - start);
    }

    // Decodes a reference that starts at '&' and appends the character it stands for.
    void reference(std::string& out)
    {
        ++pos_;  // '&'
        const std::size_t semicolon = doc_.find(';', pos_);
        if (semicolon == std::string_view::npos || semicolon - pos_ > 10)
            invalid("an unterminated reference");
        const std::string_view ref = doc_.substr(pos_, semicolon - pos_);
        if (ref == "lt") out += '<';
        else if (ref == "gt") out += '>';
        else if (ref == "amp") out += '&';
        else if (ref == "quot") out += '"';
        else if (ref == "apos") out += '\'';
        else if (ref.size() >= 2 && ref[0] == '#') {
            const bool hex = ref[1] == 'x';
            const std::string_view digits = ref.substr(hex ? 2 : 1);
            unsigned long cp = 0;
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(),
                                                   cp, hex ? 16 : 10);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()
                || cp > 0x10FFFF || !isXmlChar(static_cast<long>(cp)))
                invalid("a bad character reference");
            appendUtf8(out, static_cast<long>(cp));
        } else {
            invalid("an unknown entity");
        }
        pos_ = semicolon + 1;
    }

    std::string attributeValue()
    {
        const char quote = peek();
        if (quote != '"' && quote != '\'')
            invalid("expected a quoted attribute value");
        ++pos_;
        std::string value;
        for (;;) {
            if (atEnd())
                invalid("an unterminated attribute value");
            const char c = doc_[pos_];
            if (c == quote) {
                ++pos_;
                return value;
            }
            if (c == '<')
                invalid("'<' inside an attribute value");
            if (c == '&') {
                reference(value);
            } else if (c == '\r' && lookingAt("\r\n")) {
                value += ' ';  // a line end is one blank, as in any XML reader
                pos_ += 2;
            } else {
                value += isSpace(c) ? ' ' : c;
                ++pos_;
            }
        }
    }

    Tag startTag(std::string_view expected)
    {
        skipSpace();
        if (peek() != '<' || lookingAt("</") || lookingAt("<!") || lookingAt("<?"))
            invalid("expected <" + std::string(expected) + ">");
        ++pos_;
        Tag tag;
        tag.name = name();
        if (tag.name != expected)
            invalid("expected <" + std::string(expected) + ">");
        for (;;) {
            const bool spaced = isSpace(peek());
            skipSpace();
            if (lookingAt("/>")) {
                pos_ += 2;
                tag.selfClosing = true;
                return tag;
            }
            if (peek() == '>') {
                ++pos_;
                return tag;
            }
            if (!spaced)
                invalid("expected a blank before an attribute");
            if (tag.attributes.size() == maxAttributes)
                invalid("<" + std::string(tag.name) + "> has more than " + std::to_string(maxAttributes)
                        + " attributes");
            const std::string_view attribute = name();
            for (const auto& [existing, value] : tag.attributes)
                if (existing == attribute)
                    invalid("a repeated attribute");
            skipSpace();
            if (peek() != '=')
                invalid("expected '=' after an attribute name");
            ++pos_;
            skipSpace();
            tag.attributes.emplace_back(attribute, attributeValue());
        }
    }

    void endTag(std::string_view expected)
    {
        skipSpace();
        if (!lookingAt("</"))
            invalid("expected </" + std::string(expected) + ">");
        pos_ += 2;
        if (name() != expected)
            invalid("expected </" + std::string(expected) + ">");
        skipSpace();
        if (peek() != '>')
            invalid("expected '>'");
        ++pos_;
    }

    bool atEndTag()
    {
        skipSpace();
        return lookingAt("</");
    }

    bool atStartTag(std::string_view tagName) const
    {
        if (!lookingAt("<") || !lookingAt(std::string("<").append(tagName)))
            return false;
        const std::size_t after = pos_ + 1 + tagName.size();
        return after < doc_.size() && (isSpace(doc_[after]) || doc_[after] == '>' || doc_[after] == '/');
    }

    std::string takeAttribute(Tag& tag, std::string_view attribute)
    {
        for (auto it = tag.attributes.begin(); it != tag.attributes.end(); ++it) {
            if (it->first == attribute) {
                std::string value = std::move(it->second);
                tag.attributes.erase(it);
                return value;
            }
        }
        invalid(std::string("<").append(tag.name).append("> lacks the attribute ").append(attribute));
    }

    void noMoreAttributes(const Tag& tag)
    {
        if (!tag.attributes.empty())
            invalid(std::string("<").append(tag.name).append("> has an unknown attribute ")
                        .append(tag.attributes.front().first));
    }

    std::uint64_t parseUnsigned(std::string_view text, const char* what)
    {
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size())
            invalid(std::string("a bad ") + what);
        return value;
    }

    void readFields(DecodedStore& store)
    {
        const Tag fields = startTag("fields");
        if (!fields.attributes.empty())
            invalid("<fields> has an unknown attribute");
        if (fields.selfClosing)
            return;
        while (!atEndTag()) {
            if (store.fields.size() == maxFieldCount)
                invalid("more than " + std::to_string(maxFieldCount) + " fields");
            Tag tag = startTag("field");
            if (!tag.selfClosing)
                invalid("<field> must be empty");
            FieldDef field;
            field.name = takeAttribute(tag, "name");
            const std::string kind = takeAttribute(tag, "kind");
            if (kind == "text")
                field.kind = FieldKind::Text;
            else if (kind == "integer")
                field.kind = FieldKind::Integer;
            else
                invalid("unknown field kind");
            const std::uint64_t size = parseUnsigned(takeAttribute(tag, "size"), "field size");
            if (size > static_cast<std::uint64_t>(std::numeric_limits<int>::max()))
                invalid("a bad field size");
            field.size = static_cast<int>(size);
            const std::string required = takeAttribute(tag, "required");
            if (required != "yes" && required != "no")
                invalid("bad required flag");
            field.required = required == "yes";
            noMoreAttributes(tag);
            if (!isValidFieldName(field.name))
                invalid("a field name is empty, too long or not valid text");
            store.fields.push_back(std::move(field));
        }
        if (hasRepeatedFieldName(store.fields))
            invalid("a field name appears twice");
        endTag("fields");
    }

    void readRecords(DecodedStore& store)
    {
        const Tag records = startTag("records");
        if (!records.attributes.empty())
            invalid("<records> has an unknown attribute");
        if (records.selfClosing)
            return;
        while (!atEndTag()) {
            if (store.fields.empty())
                invalid("records without fields");
            const Tag tag = startTag("record");
            if (!tag.attributes.empty())
                invalid("<record> has an unknown attribute");
            Record record;
            record.reserve(store.fields.size());
            if (!tag.selfClosing) {
                while (!atEndTag()) {
                    if (record.size() == store.fields.size())
                        invalid("a record holds more values than there are fields");
                    record.push_back(value(store.fields[record.size()]));
                }
                endTag("record");
            }
            if (record.size() != store.fields.size())
                invalid("a record holds fewer values than there are fields");
            store.records.push_back(std::move(record));
        }
        endTag("records");
    }

    StoredValue value(const FieldDef& field)
    {
        skipSpace();
        if (atStartTag("null")) {
            const Tag tag = startTag("null");
            if (!tag.attributes.empty())
                invalid("<null> has an unknown attribute");
            if (!tag.selfClosing)
                endTag("null");
            return std::nullopt;
        }
        const Tag tag = startTag("value");
        if (!tag.attributes.empty())
            invalid("<value> has an unknown attribute");
        std::string text;
        if (!tag.selfClosing)
            text = valueText();
        if (field.kind == FieldKind::Text)
            return FieldValue(std::move(text));
        std::int32_t number = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size()
            || text[0] == '+')
            invalid("a bad integer value");
        return FieldValue(number);
    }

    // The content of a <value> element up to and including its end tag: characters,
    // references and <char code="HEX"/> elements. Line ends are normalised as XML
    // requires (CR LF and a lone CR read as LF); the writer never leaves one raw.
    std::string valueText()
    {
        std::string text;
        for (;;) {
            if (atEnd())
                invalid("an unterminated <value>");
            const char c = doc_[pos_];
            if (c == '&') {
                reference(text);
            } else if (c == '<') {
                if (lookingAt("</"))
                    break;
                if (!atStartTag("char"))
                    invalid("unexpected markup inside <value>");
                Tag tag = startTag("char");
                const std::string code = takeAttribute(tag, "code");
                noMoreAttributes(tag);
                if (!tag.selfClosing)
                    invalid("<char> must be empty");
                unsigned long cp = 0;
                const auto [end, ec] =
                    std::from_chars(code.data(), code.data() + code.size(), cp, 16);
                if (code.empty() || code.size() > 6 || ec != std::errc()
                    || end != code.data() + code.size() || cp > 0x10FFFF
                    || isXmlChar(static_cast<long>(cp)) || (cp >= 0xD800 && cp <= 0xDFFF))
                    invalid("a bad <char> code");
                appendUtf8(text, static_cast<long>(cp));
            } else if (c == '>' && doc_.substr(pos_ - 2, 2) == "]]") {
                invalid("']]>' inside a value");
            } else if (c == '\r') {
                text += '\n';
                pos_ += lookingAt("\r\n") ? 2 : 1;
            } else {
                text += c;
                ++pos_;
            }
        }
        endTag("value");
        return text;
    }

    std::string_view doc_;
    std::size_t pos_ = 0;
};

}  // namespace

DecodedStore decodeXml(std::string_view document)
{
    return XmlStoreReader(document).read();
}
