// Opening a store whose text is longer than its field: the table never writes such a
// file, so it was damaged or edited by hand; it is refused, in both forms, with the
// field named, the table stays closed and the file is left as it was. Text of exactly
// the field's size, counted in characters, still opens.

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
