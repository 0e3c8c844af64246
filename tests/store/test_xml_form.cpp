// The XML form: refused when cut anywhere before its end, well formed as written,
// and read strictly: what any XML reader accepts, and nothing else.

#include "format_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace formattest;

TEST(StoreFormat, XmlCutAnywhereBeforeItsEndIsRefused)
{
    const std::vector<Record> records = awkwardRecords();
    const std::string whole = encodeStore(StoreForm::Xml, schema(), pointers(records));
    const std::size_t end = whole.rfind('>') + 1;  // only the final line end may go
    for (std::size_t n = 0; n < end; ++n)
        EXPECT_THROW(decodeStore(whole.substr(0, n)), RecordTableError) << "prefix " << n;
    EXPECT_EQ(decodeStore(whole.substr(0, end)).records, records);
}

TEST(StoreFormat, XmlIsWellFormedAndReadStrictly)
{
    const std::vector<Record> one{{text("a<b"), std::nullopt, text(""), text("x\x01y"), integer(-3)}};
    const std::string xml = encodeStore(StoreForm::Xml, schema(), pointers(one));
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<quorrel-store version=\"1\">\n", 0), 0u);
    EXPECT_NE(xml.find("  <field name=\"RECTYPE\" kind=\"integer\" size=\"0\" required=\"yes\"/>\n"),
              std::string::npos);
    EXPECT_NE(xml.find("\n  <record><value>a&lt;b</value><null/><value></value>"
                       "<value>x<char code=\"01\"/>y</value><value>-3</value></record>\n"),
              std::string::npos) << xml;

    // What any XML reader accepts: other line ends between elements, a byte order
    // mark, references the writer does not use, an empty value written either way.
    std::string crlf;
    for (char c : xml)
        crlf += c == '\n' ? "\r\n"s : std::string(1, c);
    EXPECT_EQ(decodeStore(crlf).records, one);
    EXPECT_EQ(decodeStore("\xEF\xBB\xBF" + xml).records, one);
    const auto edited = [&](const std::string& from, const std::string& to) -> std::string {
        std::string s = xml;
        const auto at = s.find(from);
        return at == std::string::npos ? "(not found)" : s.replace(at, from.size(), to);
    };
    EXPECT_EQ(decodeStore(edited("a&lt;b", "&#x61;&#60;&#98;")).records, one);
    EXPECT_EQ(decodeStore(edited("<value></value>", "<value/>")).records, one);

    // Anything else is refused.
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"<null/>", "<!-- c --><null/>"}, {"<null/>", "<nul/>"}, {"<null/>", ""},
             {"<null/>", "<null/><null/>"}, {"<null/>", "<null x=\"1\"/>"}, {"-3<", "-3x<"},
             {"-3<", "2147483648<"}, {"<value>-3", "<value>+3"}, {"a&lt;b", "a&nbsp;b"},
             {"a&lt;b", "a&#1;b"}, {"<char code=\"01\"/>", "<char code=\"41\"/>"},
             {"a&lt;b", "a\x02" "b"}, {"a&lt;b", "a\xC3(b"}, {"</quorrel-store>", "</quorrel-store><x/>"},
             {"kind=\"integer\"", "kind=\"real\""}, {"size=\"0\"", "size=\"-1\""},
             {"<?xml", "<!DOCTYPE x><?xml"}, {"a&lt;b", "<![CDATA[a<b]]>"}}) {
        const std::string bad = edited(from, to);
        EXPECT_NE(bad, "(not found)") << from;
        EXPECT_THROW(decodeStore(bad), RecordTableError) << from << " -> " << to;
    }
}
