// Store content in both forms: exact round trips of awkward values, and refusal of
// anything that is not a whole, valid store (without crashing on any input).

#include "StoreFormat.h"
#include "table_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

FieldValue text(std::string s) { return FieldValue(std::move(s)); }
FieldValue integer(std::int32_t n) { return FieldValue(n); }

std::vector<FieldDef> schema()
{
    return {{"NAME", FieldKind::Text, 100, true},   {"LOGIN", FieldKind::Text, 40, true},
            {"PASSWORD", FieldKind::Text, 50, true}, {"NOTES", FieldKind::Text, 256, false},
            {"RECTYPE", FieldKind::Integer, 0, true}};
}

std::vector<const Record*> pointers(const std::vector<Record>& records)
{
    std::vector<const Record*> result;
    for (const Record& r : records)
        result.push_back(&r);
    return result;
}

std::string allControlCharacters()
{
    std::string s;
    for (int c = 0; c < 0x20; ++c)
        s += static_cast<char>(c);
    return s + "\x7F";
}

// Values that trip up careless writers: null against empty, markup, quotes, line
// ends of every kind, control characters, multi-byte and non-character code points.
std::vector<Record> awkwardRecords()
{
    return {
        {text("Bank"), text("jo"), text("p<a>&s\"s'w"), std::nullopt, integer(0)},
        {text(""), text(" lead and trail "), text("]]>"), text(""), std::nullopt},
        {text("a\r\nb\rc\nd"), text("\t\ttabs\t"), text(allControlCharacters()), text("\r\n"), integer(INT32_MIN)},
        {text("Grüße €"), text("日本語"), text("😀 \xEF\xBF\xBE\xEF\xBF\xBF"), text("&amp; &#10;"), integer(INT32_MAX)},
        {std::nullopt, std::nullopt, std::nullopt, std::nullopt, integer(-1)},
    };
}

class BothForms : public ::testing::TestWithParam<StoreForm> {};

INSTANTIATE_TEST_SUITE_P(Store, BothForms, ::testing::Values(StoreForm::Binary, StoreForm::Xml),
                         [](const auto& p) { return p.param == StoreForm::Xml ? "Xml" : "Binary"; });

TEST_P(BothForms, AwkwardValuesAndDefinitionsSurviveExactly)
{
    const std::vector<Record> records = awkwardRecords();
    const DecodedStore back = decodeStore(encodeStore(GetParam(), schema(), pointers(records)));
    EXPECT_EQ(back.fields, schema());
    EXPECT_EQ(back.records, records);

    // Unusual definitions: non-ASCII and markup in names, a name of 31 two-byte
    // characters, a text field of size 0, an optional integer with a size.
    std::string longName;
    for (int i = 0; i < 31; ++i)
        longName += "é";
    const std::vector<FieldDef> odd{{"Ä<&\"'>", FieldKind::Integer, 7, false},
                                    {longName, FieldKind::Text, 0, true}};
    const std::vector<Record> none;
    const DecodedStore empty = decodeStore(encodeStore(GetParam(), odd, pointers(none)));
    EXPECT_EQ(empty.fields, odd);
    EXPECT_TRUE(empty.records.empty());
}

TEST_P(BothForms, ManyRecordsKeepTheirStorageOrder)
{
    std::vector<Record> records;
    for (int i = 0; i < 20000; ++i) {
        std::string site = "site", user = "u";  // appended to: "x" + text trips a false warning
        site += std::to_string((i * 7919) % 20000);
        user += std::to_string(i);
        records.push_back({text(site), text(user), i % 3 ? text("pw") : StoredValue{}, text(""), integer(i - 10000)});
    }
    const DecodedStore back = decodeStore(encodeStore(GetParam(), schema(), pointers(records)));
    EXPECT_EQ(back.records, records);
}

TEST_P(BothForms, WritingRefusesWhatCouldNotBeReadBack)
{
    const auto refused = [this](const std::vector<FieldDef>& fields, const std::vector<Record>& records) {
        EXPECT_THROW(encodeStore(GetParam(), fields, pointers(records)), RecordTableError);
    };
    refused({{"", FieldKind::Text, 5, false}}, {});
    refused({{std::string(32, 'N'), FieldKind::Text, 5, false}}, {});
    refused({{"A\tB", FieldKind::Text, 5, false}}, {});
    refused({{"A", FieldKind::Text, -1, false}}, {});
    refused(schema(), {{text("only one value")}});
    refused(schema(), {{text("a"), text("b"), text("c"), text("d"), text("not an integer")}});
    refused(schema(), {{text("\xC3("), text("b"), text("c"), text("d"), integer(1)}});  // bad UTF-8
    refused({}, {{}});
}

TEST(StoreFormat, FormFollowsTheFileNameEnding)
{
    EXPECT_EQ(storeFormForFileName("/x/list.xml"), StoreForm::Xml);
    EXPECT_EQ(storeFormForFileName("LIST.XmL"), StoreForm::Xml);
    EXPECT_EQ(storeFormForFileName(".xml"), StoreForm::Xml);
    EXPECT_EQ(storeFormForFileName("kestrin.db"), StoreForm::Binary);
    EXPECT_EQ(storeFormForFileName("list.xml.db"), StoreForm::Binary);
    EXPECT_EQ(storeFormForFileName("listxml"), StoreForm::Binary);
    EXPECT_EQ(storeFormForFileName("a.xmlx"), StoreForm::Binary);
}

// --- Refusals with clear texts.

std::string errorOf(std::string_view content)
{
    return tabletest::errorText([content] { decodeStore(content); });
}

// Independent bitwise CRC-32, used to build binary stores by hand.
std::uint32_t referenceCrc(std::string_view data)
{
    std::uint32_t c = 0xFFFFFFFF;
    for (unsigned char b : data) {
        c ^= b;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

std::string le(std::uint64_t v, int bytes)
{
    std::string s;
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

// A binary store built from the documented layout, with a given version and body.
std::string handBuiltBinary(std::uint32_t version, const std::string& body)
{
    std::string s = "\x89QRL\r\n\x1A\n"s + le(version, 4) + le(20 + body.size() + 4, 8) + body;
    return s + le(referenceCrc(s), 4);
}

TEST(StoreFormat, BinaryLayoutIsTheDocumentedOne)
{
    ASSERT_EQ(referenceCrc("123456789"), 0xCBF43926u);
    // One text field "N" (size 9, required), one integer field "I"; two records.
    const std::string body = le(2, 4) + le(1, 4) + "N" + "\x01"s + le(9, 4) + "\x01"s
                           + le(1, 4) + "I" + "\x02"s + le(0, 4) + "\x00"s
                           + le(2, 4) + "\x01"s + le(2, 4) + "hi" + "\x01"s + le(0xFFFFFFFE, 4)
                           + "\x00\x00"s;
    const std::string built = handBuiltBinary(1, body);
    const DecodedStore store = decodeStore(built);
    const std::vector<FieldDef> fields{{"N", FieldKind::Text, 9, true}, {"I", FieldKind::Integer, 0, false}};
    EXPECT_EQ(store.fields, fields);
    EXPECT_EQ(store.records, (std::vector<Record>{{text("hi"), integer(-2)}, {std::nullopt, std::nullopt}}));
    const std::vector<Record> records = store.records;
    EXPECT_EQ(encodeStore(StoreForm::Binary, fields, pointers(records)), built);

    EXPECT_EQ(errorOf(handBuiltBinary(2, body)),
              "The store file was written by a newer version of this program: format 2");
    EXPECT_EQ(errorOf(handBuiltBinary(1, body + "\x00"s)), "The store file is damaged: data after the records");
}

TEST(StoreFormat, EmptyForeignAndFutureContentIsRefusedWithClearText)
{
    EXPECT_EQ(errorOf(""), "The store file is empty");
    EXPECT_EQ(errorOf("SQLite format 3"), "The content is not a store file of this program");
    EXPECT_EQ(errorOf("\x89QRL"), "The store file is truncated");
    std::string xml = encodeStore(StoreForm::Xml, schema(), {});
    xml.replace(xml.find("version=\"1\"", 10), 11, "version=\"7\"");
    EXPECT_EQ(errorOf(xml), "The store file was written by a newer version of this program: format 7");
}

// Fields are found by name whatever the letter case, so a second "name" beside "NAME"
// could never be reached: such a store is neither written nor read.
TEST(StoreFormat, FieldNamesThatDifferOnlyInLetterCaseAreRefused)
{
    const std::vector<FieldDef> twice{{"NAME", FieldKind::Text, 9, false}, {"name", FieldKind::Text, 9, true}};
    for (const StoreForm form : {StoreForm::Binary, StoreForm::Xml})
        EXPECT_EQ(tabletest::errorText([&] { encodeStore(form, twice, {}); }),
                  "Cannot write the store: a field name appears twice");

    const std::string body = le(2, 4) + le(4, 4) + "NAME" + "\x01"s + le(9, 4) + "\x00"s
                           + le(4, 4) + "name" + "\x01"s + le(9, 4) + "\x01"s + le(0, 4);
    EXPECT_EQ(errorOf(handBuiltBinary(1, body)), "The store file is damaged: a field name appears twice");

    const std::vector<FieldDef> distinct{{"NAME", FieldKind::Text, 9, false}, {"NAMF", FieldKind::Text, 9, true}};
    std::string xml = encodeStore(StoreForm::Xml, distinct, {});
    xml.replace(xml.find("\"NAMF\""), 6, "\"name\"");
    EXPECT_NE(errorOf(xml).find("a field name appears twice"), std::string::npos) << errorOf(xml);
}

TEST(StoreFormat, EveryTruncationAndEveryFlippedByteOfABinaryStoreIsRefused)
{
    const std::vector<Record> records = awkwardRecords();
    const std::string whole = encodeStore(StoreForm::Binary, schema(), pointers(records));
    for (std::size_t n = 0; n < whole.size(); ++n)
        EXPECT_THROW(decodeStore(whole.substr(0, n)), RecordTableError) << "prefix " << n;
    EXPECT_EQ(errorOf(whole.substr(0, whole.size() - 1)),
              "The store file is truncated: " + std::to_string(whole.size() - 1) + " of "
                  + std::to_string(whole.size()) + " bytes");
    for (std::size_t i = 0; i < whole.size(); ++i) {
        for (const int mask : {0x01, 0x80, 0xFF}) {
            std::string damaged = whole;
            damaged[i] = static_cast<char>(damaged[i] ^ mask);
            EXPECT_THROW(decodeStore(damaged), RecordTableError) << "byte " << i;
        }
    }
    std::string body = whole;
    body[100] = static_cast<char>(body[100] ^ 1);
    EXPECT_EQ(errorOf(body), "The store file is damaged: checksum mismatch");
}

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

// Random and mutated inputs must be refused or read, never crash or read out of
// bounds. Mutated binary stores get their length and checksum repaired so that the
// mutations reach the structure reader. Whatever is accepted must be consistent.
TEST(StoreFormat, GarbageNeverCrashesAndAcceptedContentIsConsistent)
{
    const std::vector<Record> records = awkwardRecords();
    const std::string binary = encodeStore(StoreForm::Binary, schema(), pointers(records));
    const std::string xml = encodeStore(StoreForm::Xml, schema(), pointers(records));
    std::mt19937 random(20240611);
    const auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    int accepted = 0;
    for (int round = 0; round < 6000; ++round) {
        std::string input;
        const int kind = round % 4;
        if (kind == 0) {
            input.resize(below(64));
            for (char& c : input)
                c = static_cast<char>(below(256));
            if (round % 8 == 0)
                input = binary.substr(0, 8) + input;
        } else {
            input = kind == 3 ? xml : binary;
            for (std::size_t edits = 1 + below(4); edits > 0; --edits) {
                const std::size_t at = below(input.size());
                switch (below(3)) {
                case 0: input[at] = static_cast<char>(below(256)); break;
                case 1: input.erase(at, 1 + below(8)); break;
                default: input.insert(at, input.substr(below(input.size()), below(12))); break;
                }
            }
            if (kind == 2 && input.size() > 24) {  // repair length and checksum
                input.resize(input.size() - 4);
                input.replace(12, 8, le(input.size() + 4, 8));
                input += le(referenceCrc(input), 4);
            }
        }
        try {
            const DecodedStore store = decodeStore(input);
            ++accepted;
            for (const Record& record : store.records) {
                ASSERT_EQ(record.size(), store.fields.size());
                for (std::size_t f = 0; f < record.size(); ++f) {
                    if (record[f]) {
                        EXPECT_EQ(std::holds_alternative<std::string>(*record[f]),
                                  store.fields[f].kind == FieldKind::Text);
                    }
                }
            }
        } catch (const RecordTableError& e) {
            EXPECT_STRNE(e.what(), "");
        }
    }
    EXPECT_LT(accepted, 6000);
}

}  // namespace

// The binary reader tells plain ASCII text from the rest a word at a time, a short
// text by a read that runs past its end. A byte with the top bit set must be seen
// at every place in texts of every length, in a record amid others and in the last
// one (whose text ends a few bytes before the buffer does), and a valid multi-byte
// character must be read back whole wherever it is.
TEST(StoreFormat, BinaryTextIsCheckedAtEveryLengthAndPlace)
{
    const std::vector<FieldDef> fields{{"A", FieldKind::Text, 100, false}, {"B", FieldKind::Text, 100, false}};
    // The test text is made of #s, found in the content and changed there; the
    // checksum at the end is made anew, so only the text's check can refuse it.
    const auto withText = [&](const std::string& probe, bool last, std::size_t at, const std::string& put) {
        std::vector<Record> records{{text("x"), text("yy")}, {text("zzz"), text("w")}};
        records.insert(last ? records.end() : records.begin() + 1, Record{text("k"), text(probe)});
        std::string content = encodeStore(StoreForm::Binary, fields, pointers(records));
        const std::size_t start = content.find(probe);
        std::copy(put.begin(), put.end(), content.begin() + static_cast<std::ptrdiff_t>(start + at));
        const std::uint32_t crc = storeChecksum(std::string_view(content).substr(0, content.size() - 4));
        for (std::size_t i = 0; i < 4; ++i)
            content[content.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
        return content;
    };
    for (std::size_t length = 1; length <= 40; ++length) {
        const std::string probe(length, '#');
        for (const bool last : {false, true}) {
            for (std::size_t at = 0; at < length; ++at) {
                SCOPED_TRACE("length " + std::to_string(length) + " at " + std::to_string(at) + (last ? " last" : ""));
                try {
                    decodeStore(withText(probe, last, at, "\xFF"));
                    ADD_FAILURE() << "a text holding byte FF was read";
                } catch (const RecordTableError& e) {
                    EXPECT_STREQ(e.what(), "The store file is damaged: text that is not valid UTF-8");
                }
                if (at + 1 < length) {
                    const DecodedStore store = decodeStore(withText(probe, last, at, "\xC3\xA9"));
                    std::string expected = probe;
                    expected[at] = '\xC3';
                    expected[at + 1] = '\xA9';
                    ASSERT_EQ(store.records.size(), 3u);
                    EXPECT_EQ(store.records[last ? 2 : 1][1], StoredValue(text(expected)));
                }
            }
        }
    }
}

// A large binary store has its checksum worked out while its records are read. The
// outcome must be that of checking first: a damaged store is refused as a checksum
// mismatch whatever else reading it met, and the reader never hears it is whole.
TEST(StoreFormat, ALargeBinaryStoreIsWholeOnlyWhenItsChecksumHolds)
{
    struct CountingSink : RecordSink {
        std::size_t records = 0, ends = 0;
        void begin(const std::vector<FieldDef>&, std::size_t) override {}
        void record(const ValueView*) override { ++records; }
        void end() override { ++ends; }
    };
    std::vector<Record> records;
    for (int i = 0; i < 40000; ++i)  // well over a megabyte
        records.push_back({text("site" + std::to_string(i)), text("login"), text(std::string(20, 'p')), std::nullopt,
                           integer(i % 3)});
    const std::string good = encodeStore(StoreForm::Binary, schema(), pointers(records));
    ASSERT_GT(good.size(), std::size_t{1} << 20);
    {
        CountingSink sink;
        decodeStoreInto(good, sink);
        EXPECT_EQ(sink.records, records.size());
        EXPECT_EQ(sink.ends, 1u);
    }
    const std::size_t lastText = good.rfind("site39999");
    const std::size_t firstMarker = good.find("site0") - 5;  // the marker before its length
    ASSERT_NE(lastText, std::string::npos);
    ASSERT_EQ(good[firstMarker], '\x01');
    const auto damaged = [&](std::size_t at, char value) {
        std::string copy = good;
        copy[at] = value;
        return copy;
    };
    const auto refusal = [](const std::string& content, CountingSink& sink) {
        try {
            decodeStoreInto(content, sink);
        } catch (const RecordTableError& e) {
            return std::string(e.what());
        }
        return std::string("read");
    };
    // A changed letter reads as a valid record; only the checksum tells.
    CountingSink letter;
    EXPECT_EQ(refusal(damaged(lastText, 'S'), letter), "The store file is damaged: checksum mismatch");
    EXPECT_EQ(letter.ends, 0u);
    // A bad value marker, a text that is not UTF-8, a format version of 0: each
    // would be refused on its own, but the mismatch is what is reported.
    CountingSink marker, utf8, version;
    EXPECT_EQ(refusal(damaged(firstMarker, '\x07'), marker), "The store file is damaged: checksum mismatch");
    EXPECT_EQ(refusal(damaged(lastText, '\xFF'), utf8), "The store file is damaged: checksum mismatch");
    EXPECT_EQ(refusal(damaged(8, '\0'), version), "The store file is damaged: checksum mismatch");
    EXPECT_EQ(marker.ends + utf8.ends + version.ends, 0u);
}
