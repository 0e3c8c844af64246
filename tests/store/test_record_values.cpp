// Values as the table keeps them: text cut to its field's size in characters, never
// splitting one (the text rules), conversion between the kinds, text that could not
// be written refused when entered, and packed records
// that give back texts of every length exactly.

#include "table_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tabletest;

TEST(TableValues, TextIsCutToTheFieldSizeInCharactersNeverSplittingOne)
{
    RecordTable table;
    createWithSchema(table);
    const std::string e = "\xC3\xA9";            // two bytes
    const std::string euro = "\xE2\x82\xAC";     // three bytes
    const std::string clef = "\xF0\x9D\x84\x9E"; // four bytes
    std::string name;
    for (int i = 0; i < 99; ++i)
        name += e;
    insert(table, name + clef + euro + "tail", std::string(39, 'l') + euro + euro, "p", "n");
    EXPECT_EQ(table.fieldText("NAME"), name + clef);
    EXPECT_EQ(table.fieldText("LOGIN"), std::string(39, 'l') + euro);

    table.beginEdit();
    table.setFieldText("PASSWORD", std::string(49, 'p') + clef + "x");
    table.postEdit();
    EXPECT_EQ(table.fieldText("PASSWORD"), std::string(49, 'p') + clef);

    // An integer put into a text field becomes its decimal text, cut like any text.
    table.insertValues({std::int32_t{-12345}, std::int32_t{7}});
    EXPECT_EQ(table.fieldText("NAME"), "-12345");
    EXPECT_EQ(table.fieldText("LOGIN"), "7");
    EXPECT_EQ(table.fieldText("NOTES"), "");  // fields past the last value stay null
    EXPECT_EQ(table.fieldInteger("RECTYPE"), 0);
}

TEST(TableValues, AValueThatCannotBeConvertedOrWrittenIsRefused)
{
    RecordTable table;
    createWithSchema(table);
    insert(table, "b", "x");
    insert(table, "a", "x");
    table.moveLast();
    EXPECT_EQ(errorText([&] { table.insertValues({std::string("n"), std::string("l"), std::string("p"),
                                                  std::string(), std::string("one")}); }),
              "'one' is not a valid integer value");
    EXPECT_EQ(errorText([&] { table.insertValues({std::string("1"), std::string("2"), std::string("3"),
                                                  std::string("4"), std::string("5"), std::string("6")}); }),
              "Too many values: the table has 5 fields");
    EXPECT_EQ(table.recordCount(), 2);
    EXPECT_EQ(current(table), "b/x");
    EXPECT_EQ(table.state(), TableState::Browsing);
    // Text that is not valid UTF-8 (a lone byte 0x80 to 0xFF, as another code page
    // writes é) could never be written at close: refused when entered, by an insert
    // and by an edit, and the table stays as it was, so the list can still be saved.
    EXPECT_EQ(errorText([&] { insert(table, "caf\xE9", "x"); }), "Field 'NAME' cannot hold text that is not valid UTF-8");
    table.beginEdit();
    table.setFieldText("NOTES", "kept");
    EXPECT_EQ(errorText([&] { table.setFieldText("LOGIN", "\x80"); }),
              "Field 'LOGIN' cannot hold text that is not valid UTF-8");
    EXPECT_EQ(table.fieldText("LOGIN"), "x");
    table.postEdit();
    EXPECT_EQ(table.recordCount(), 2);
    EXPECT_EQ(table.fieldText("NOTES"), "kept");
    TempFolder folder;
    table.setFileName(folder.file("kestrin.db"));
    table.close();
    table.open();
    EXPECT_EQ(table.recordCount(), 2);
    RecordTable badNames;
    badNames.addFieldDef("N\xFF", FieldKind::Text, 5, false);
    EXPECT_EQ(errorText([&] { badNames.createEmpty(); }), "Field 1 has a name that is not valid text");
    EXPECT_FALSE(badNames.isOpen());

    // Text holding a decimal integer is converted.
    table.insertValues({std::string("n"), std::string("l"), std::string("p"), std::string(), std::string("-7")});
    EXPECT_EQ(table.fieldInteger("RECTYPE"), -7);
}

// Texts are copied into the packed records by words for the usual lengths and by a
// plain copy for the rest: every length, each byte different from its neighbours,
// must come back exactly, added and after a write and a fresh read.
TEST(TableValues, TextsOfEveryLengthComeBackExactly)
{
    TempFolder folder;
    RecordTable table;
    createWithSchema(table);
    table.setFileName(folder.file("lengths.db"));
    std::vector<std::string> texts;
    for (std::size_t length = 0; length <= 48; ++length) {
        std::string text;
        for (std::size_t i = 0; i < length; ++i)
            text += static_cast<char>('!' + (i * 7 + length) % 90);
        texts.push_back(text);
        table.insertValues({std::string("n"), text, text, text, static_cast<std::int32_t>(length)});
    }
    table.setOrdering("RECTYPE");  // rows by length, here and after the reopening
    const auto check = [&] {
        for (std::size_t row = 0; row < texts.size(); ++row) {
            SCOPED_TRACE("length " + std::to_string(row));
            EXPECT_EQ(table.rowText(static_cast<int>(row), 1), texts[row].substr(0, 40));  // cut to its field
            EXPECT_EQ(table.rowText(static_cast<int>(row), 3), texts[row]);
        }
    };
    check();
    table.close();
    table.open();
    check();
}
