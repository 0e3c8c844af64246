// Store content in both forms through the one entry point: exact round trips of
// awkward values, the form a file name asks for, refusal of anything that is not a
// whole, valid store (without crashing on any input).

#include "format_test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace formattest;

namespace {

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

// A store has at most 1,024 fields and an XML element at most 8 attributes, so that a
// small hostile file cannot make the checks that compare names take long: a store
// of 1,024 fields is written and read in either form, one more is neither written
// nor read (the binary form refuses it by its count, before reading any field), and
// an element with a 9th attribute is refused there.
TEST(StoreFormat, FieldsAndAttributesBeyondTheirLimitsAreRefused)
{
    std::vector<FieldDef> fields;
    // Appended rather than "F" + ...: GCC 12 warns falsely of that at -O3.
    for (int i = 0; i < 1025; ++i)
        fields.push_back({"F"s.append(std::to_string(i)), FieldKind::Integer, 0, false});
    const std::vector<FieldDef> most(fields.begin(), fields.end() - 1);
    for (const StoreForm form : {StoreForm::Binary, StoreForm::Xml}) {
        EXPECT_EQ(decodeStore(encodeStore(form, most, {})).fields, most);
        EXPECT_EQ(tabletest::errorText([&] { encodeStore(form, fields, {}); }),
                  "Cannot write the store: more than 1024 fields");
    }

    std::string body = le(100000, 4);
    for (const FieldDef& field : fields)
        body += le(field.name.size(), 4) + field.name + "\x02"s + le(0, 4) + "\x00"s;
    EXPECT_EQ(errorOf(handBuiltBinary(1, body + le(0, 4))), "The store file is damaged: more than 1024 fields");

    std::string xml = encodeStore(StoreForm::Xml, most, {});
    const std::size_t lastField = xml.find("</fields>");
    EXPECT_EQ(errorOf(xml.insert(lastField, "  <field name=\"G\" kind=\"text\" size=\"1\" required=\"no\"/>\n")),
              "The XML store file is not valid: line 1028: more than 1024 fields");

    std::string attributes;
    for (int i = 0; i < 100000; ++i)
        attributes += " a" + std::to_string(i) + "=\"1\"";
    std::string crowded = encodeStore(StoreForm::Xml, schema(), {});
    crowded.insert(crowded.find("<field ") + 6, attributes);
    EXPECT_EQ(errorOf(crowded), "The XML store file is not valid: line 4: <field> has more than 8 attributes");

    RecordTable table;
    for (const FieldDef& field : fields)
        table.addFieldDef(field.name, field.kind, field.size, field.required);
    EXPECT_EQ(tabletest::errorText([&] { table.createEmpty(); }), "More than 1024 fields.  Cannot create dataset");
    EXPECT_FALSE(table.isOpen());
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
