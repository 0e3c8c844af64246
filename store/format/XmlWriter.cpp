// The XML form's writer: the declaration, the field definitions as attributes and
// every record's values as elements, each character escaped where XML needs it.

#include "format/XmlForm.h"

#include "format/ValueRules.h"

namespace {

void appendHex(std::string& out, long cp)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string hex;
    do {
        hex.insert(hex.begin(), digits[cp & 0xF]);
        cp >>= 4;
    } while (cp != 0);
    if (hex.size() < 2)
        hex.insert(hex.begin(), '0');
    out += hex;
}

// Escapes text for element content or a double-quoted attribute value. Markup
// characters and quotes become entities; TAB, LF and CR become character
// references so that no reader's line-end or attribute normalisation can touch
// them. Characters XML cannot hold at all (the other control characters, U+FFFE,
// U+FFFF) become <char code="HEX"/> elements, which only element content allows;
// field names never contain them.
void appendEscaped(std::string& out, std::string_view text)
{
    for (std::size_t pos = 0; pos < text.size();) {
        const char ch = text[pos];
        switch (ch) {
        case '<': out += "&lt;"; ++pos; continue;
        case '>': out += "&gt;"; ++pos; continue;
        case '&': out += "&amp;"; ++pos; continue;
        case '"': out += "&quot;"; ++pos; continue;
        case '\'': out += "&apos;"; ++pos; continue;
        case '\t': out += "&#9;"; ++pos; continue;
        case '\n': out += "&#10;"; ++pos; continue;
        case '\r': out += "&#13;"; ++pos; continue;
        default: break;
        }
        const std::size_t start = pos;
        const long cp = nextCodePoint(text, pos);  // valid: checked before encoding
        if (isXmlChar(cp)) {
            out.append(text.substr(start, pos - start));
        } else {
            out += "<char code=\"";
            appendHex(out, cp);
            out += "\"/>";
        }
    }
}

}  // namespace

std::string encodeXml(const std::vector<FieldDef>& fields, std::size_t count,
                      const RecordSource& source, std::size_t sizeHint)
{
    std::string out;
    out.reserve(256 + fields.size() * 80 + sizeHint + count * (20 + fields.size() * 16));
    out += xmlDeclaration;
    out += "\n<";
    out += rootName;
    out += " version=\"" + std::to_string(xmlVersion) + "\">\n";
    out += " <fields>\n";
    for (const FieldDef& field : fields) {
        out += "  <field name=\"";
        appendEscaped(out, field.name);
        out += "\" kind=\"";
        out += field.kind == FieldKind::Text ? "text" : "integer";
        out += "\" size=\"" + std::to_string(field.size);
        out += "\" required=\"";
        out += field.required ? "yes" : "no";
        out += "\"/>\n";
    }
    out += " </fields>\n <records>\n";
    std::vector<ValueView> values(fields.size());
    for (std::size_t r = 0; r < count; ++r) {
        source(r, values.data());
        out += "  <record>";
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const ValueView& value = values[f];
            checkValueForWriting(value, fields[f], r);
            if (value.kind == ValueView::Kind::Null) {
                out += "<null/>";
            } else if (value.kind == ValueView::Kind::Text) {
                out += "<value>";
                appendEscaped(out, value.text);
                out += "</value>";
            } else {
                out += "<value>" + std::to_string(value.number) + "</value>";
            }
        }
        out += "</record>\n";
    }
    out += " </records>\n</";
    out += rootName;
    out += ">\n";
    return out;
}
