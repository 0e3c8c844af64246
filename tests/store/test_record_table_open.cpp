// Opening a store whose text is longer than its field: the table never writes such a
// file, so it was damaged or edited by hand; it is refused, in both forms, with the
// field named, the table stays closed and the file is left as it was. Text of exactly
// the field's size, counted in characters, still opens. And a large store, read with
// a second thread at work, opens whole or not at all.

#include "StoreFormat.h"
#include "table_test_support.h"

#include <gtest/gtest.h>

using namespace tabletest;

TEST(TableOpen, TextLongerThanItsFieldIsRefusedAndTheFileLeftAlone)
{
    TempFolder folder;
    const std::vector<FieldDef> fields{{"NAME", FieldKind::Text, 4, true}, {"RECTYPE", FieldKind::Integer, 0, true}};
    // Four characters in eight bytes fit; five characters do not.
    const Record fits{FieldValue(std::string("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9")), FieldValue(std::int32_t{1})};
    const Record tooLong{FieldValue(std::string("abcde")), FieldValue(std::int32_t{2})};
    for (const char* name : {"long.db", "long.xml"}) {
        SCOPED_TRACE(name);
        const std::string path = folder.file(name);
        const std::string content = encodeStore(storeFormForFileName(path), fields, {&fits, &tooLong});
        writeWhole(path, content);
        RecordTable table("viewDB");
        table.setFileName(path);
        EXPECT_EQ(errorText([&] { table.open(); }), "The store file is damaged: text longer than its field NAME");
        EXPECT_FALSE(table.isOpen());
        table.close();
        EXPECT_EQ(readWhole(path), content);

        writeWhole(path, encodeStore(storeFormForFileName(path), fields, {&fits}));
        table.open();
        EXPECT_EQ(table.recordCount(), 1);
        EXPECT_EQ(table.fieldText("NAME"), "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");
    }
}

// A large store is read with a second thread at work (its checksum, its memory) and
// its records go straight into the table's storage order. Every record comes back
// in its place; a store damaged in its last record, or holding a text too long for
// its field there, is refused with the right text and leaves the table closed.
TEST(TableOpen, ALargeStoreOpensWholeOrNotAtAll)
{
    TempFolder folder;
    const std::string path = folder.file("large.db");
    const std::vector<FieldDef> fields{{"NAME", FieldKind::Text, 100, true},    {"LOGIN", FieldKind::Text, 40, true},
                                       {"PASSWORD", FieldKind::Text, 50, true}, {"NOTES", FieldKind::Text, 256, false},
                                       {"RECTYPE", FieldKind::Integer, 0, true}};
    std::vector<Record> records;
    std::vector<std::string> expected;
    for (int i = 0; i < 30000; ++i) {
        const std::string name = "site" + std::to_string((i * 7919) % 30000);
        const std::string login = "user" + std::to_string(i);
        records.push_back({FieldValue(name), FieldValue(login), FieldValue(std::string(i % 40 + 1, 'p')),
                           i % 5 ? StoredValue{} : StoredValue(FieldValue(std::string(i % 200, 'n'))),
                           FieldValue(std::int32_t{i % 3})});
        expected.push_back(name + "/" + login);
    }
    std::vector<const Record*> pointers;
    for (const Record& r : records)
        pointers.push_back(&r);
    const std::string content = encodeStore(StoreForm::Binary, fields, pointers);
    ASSERT_GT(content.size(), std::size_t{1} << 20);

    writeWhole(path, content);
    RecordTable table("viewDB");
    table.setFileName(path);
    table.open();
    EXPECT_EQ(rows(table), expected);
    EXPECT_EQ(table.rowText(29995, 3), std::string(195, 'n'));
    table.close();

    // The last record's login, changed: only the checksum can tell.
    std::string damaged = content;
    damaged[damaged.rfind("user29999") + 4] = 'X';
    writeWhole(path, damaged);
    EXPECT_EQ(errorText([&] { table.open(); }), "The store file is damaged: checksum mismatch");
    EXPECT_FALSE(table.isOpen());

    // A last record with a text over its field's size, under a valid checksum.
    records.back()[1] = FieldValue(std::string(41, 'L'));
    writeWhole(path, encodeStore(StoreForm::Binary, fields, pointers));
    EXPECT_EQ(errorText([&] { table.open(); }), "The store file is damaged: text longer than its field LOGIN");
    EXPECT_FALSE(table.isOpen());
}
