// The record table with its store file: reading at open, writing at close only when
// something changed, a failed write that loses nothing, and openStore.

#include "table_test_support.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace tabletest;
namespace fs = std::filesystem;

namespace {

// Sets the file's modification time well into the past, so any rewrite shows.
fs::file_time_type ageFile(const std::string& path)
{
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24);
    fs::last_write_time(path, old);
    return fs::last_write_time(path);
}

}  // namespace

TEST(TableFiles, BothFormsGiveBackTheSameFieldsAndRecordsInStorageOrder)
{
    TempFolder folder;
    for (const std::string name : {"list.db", "list.XmL"}) {
        SCOPED_TRACE(name);
        const std::string path = folder.file(name);
        std::vector<std::string> written;
        std::vector<FieldDef> fields;
        {
            RecordTable table("viewDB");
            table.setFileName(path);
            createWithSchema(table);
            insert(table, "z<&>\"'", "l\r\n\tx", "\xE2\x82\xAC pw", "", -1);
            insert(table, "a", "b", "c", "notes\nmore", 2);
            table.insertValues({std::string("only a name")});  // nulls are kept
            table.setOrdering("NAME");
            insert(table, "m", "m");  // last in storage order
            written = storageRows(table);
            fields = table.fields();
            table.close();
            EXPECT_FALSE(table.isOpen());
            EXPECT_TRUE(table.fields().empty());
        }
        EXPECT_EQ(readWhole(path).rfind("<", 0) == 0, name.ends_with("XmL")) << "form follows the file name";

        RecordTable again;
        again.setOrdering("LOGIN");  // set while closed: in force at the next open
        again.setFileName(path);
        again.open();
        EXPECT_EQ(again.fields(), fields);
        EXPECT_EQ(storageRows(again), written);
        EXPECT_EQ(again.rowText(0, 0), "only a name");  // null LOGIN sorts first
        EXPECT_EQ(again.currentRow(), 0);
        EXPECT_EQ(again.fieldText("NAME"), "only a name");
        EXPECT_TRUE(again.lookupKey({std::string("m")}));
    }
}

TEST(TableFiles, AnInsertRightAfterOpeningGoesFirstInStorageOrder)
{
    TempFolder folder;
    const std::string path = folder.file("kestrin.db");
    {
        RecordTable writer;
        writer.setFileName(path);
        createWithSchema(writer);
        insert(writer, "b", "x", "p", "second");
        insert(writer, "a", "x", "p", "first");
    }
    RecordTable table;
    table.setFileName(path);
    table.open();
    EXPECT_EQ(table.fieldText("notes"), "first");  // the first record is current
    insert(table, "z", "x");
    EXPECT_EQ(rows(table), (std::vector<std::string>{"z/x", "a/x", "b/x"}));
    EXPECT_EQ(table.currentRow(), 0);
}

TEST(TableFiles, ATableClosedWithoutAChangeLeavesItsFileUntouched)
{
    TempFolder folder;
    const std::string path = folder.file("kestrin.db");
    {
        RecordTable table;
        table.setFileName(path);
        createWithSchema(table);
        table.close();  // created but never changed: nothing is written
        EXPECT_FALSE(fs::exists(path));
        createWithSchema(table);
        insert(table, "a", "b");
        insert(table, "c", "d");
    }  // destroying the changed table writes it
    ASSERT_TRUE(fs::exists(path));
    const std::string content = readWhole(path);
    const auto stamp = ageFile(path);

    RecordTable table("viewDB");
    table.setFileName(path);
    table.open();
    table.setOrdering("LOGIN");
    EXPECT_TRUE(table.lookupKey({std::string("d")}));
    table.moveBy(-1);
    table.beginEdit();  // an edit with nothing set is dropped
    table.moveLast();
    table.beginEdit();
    table.setFieldText("NOTES", "never posted");
    table.close();
    EXPECT_EQ(fs::last_write_time(path), stamp);
    EXPECT_EQ(readWhole(path), content);
    {
        RecordTable destroyedOpen;
        destroyedOpen.setFileName(path);
        destroyedOpen.open();
    }
    EXPECT_EQ(fs::last_write_time(path), stamp);
}

TEST(TableFiles, AFailedPostLeavesEditingAndCloseWritesNothingOfIt)
{
    TempFolder folder;
    const std::string path = folder.file("kestrin.db");
    RecordTable table("viewDB");
    table.setFileName(path);
    createWithSchema(table);
    table.insertValues({std::string("no login")});
    table.beginEdit();
    table.setFieldText("NOTES", "edited");
    EXPECT_EQ(errorText([&] { table.postEdit(); }), "Field 'LOGIN' must have a value");
    EXPECT_EQ(table.state(), TableState::Editing);
    table.close();
    table.open();
    EXPECT_EQ(storageRows(table), (std::vector<std::string>{"no login||||"}));
}

TEST(TableFiles, AFailedWriteKeepsEverythingUntilALaterCloseWritesIt)
{
    TempFolder folder;
    const std::string badPath = (folder.path() / "missing" / "kestrin.db").string();
    const std::string goodPath = folder.file("kestrin.db");
    RecordTable table("viewDB");
    table.setFileName(badPath);
    createWithSchema(table);
    table.setOrdering("NAME");
    insert(table, "b", "x");
    insert(table, "a", "x");
    insert(table, "c", "x");
    table.lookupKey({std::string("b")});
    table.beginEdit();
    table.setFieldText("LOGIN", "dropped");

    const std::string error = errorText([&] { table.close(); });
    EXPECT_EQ(error.rfind("Cannot create file \"" + badPath + "\". ", 0), 0u) << error;
    EXPECT_GT(error.size(), ("Cannot create file \"" + badPath + "\". ").size()) << "the system's reason follows";
    EXPECT_TRUE(table.isOpen());
    EXPECT_EQ(table.state(), TableState::Browsing);
    EXPECT_EQ(rows(table), (std::vector<std::string>{"a/x", "b/x", "c/x"}));
    EXPECT_EQ(current(table), "b/x");
    EXPECT_FALSE(fs::exists(folder.file("missing")));

    // Still changed: the next close writes, here under another name.
    table.setFileName(goodPath);
    table.close();
    EXPECT_FALSE(table.isOpen());
    table.open();
    EXPECT_EQ(rows(table), (std::vector<std::string>{"a/x", "b/x", "c/x"}));

    // A destroyed table whose write fails throws nothing out of its destructor.
    EXPECT_NO_THROW({
        RecordTable doomed;
        doomed.setFileName(badPath);
        createWithSchema(doomed);
        insert(doomed, "a", "b");
    });
}

TEST(TableFiles, OpenRefusesUnreadableOrDamagedContentAndStaysClosed)
{
    TempFolder folder;
    RecordTable table("viewDB");

    // A folder where the file should be cannot be read as one.
    table.setFileName(folder.path().string());
    const std::string notReadable = errorText([&] { table.open(); });
    EXPECT_EQ(notReadable.rfind("Cannot open file \"" + folder.path().string() + "\". ", 0), 0u) << notReadable;
    EXPECT_FALSE(table.isOpen());

    // Damaged content: the engine's own text, without the table name.
    const std::string path = folder.file("damaged.db");
    writeWhole(path, "this is no store at all");
    table.setFileName(path);
    const std::string damaged = errorText([&] { table.open(); });
    EXPECT_NE(damaged, "<no error>");
    EXPECT_NE(damaged.rfind("viewDB: ", 0), 0u) << damaged;
    EXPECT_FALSE(table.isOpen());
}

// An ordering in force that names a field the file lacks fails the open: the table
// stays closed with no records read, and the ordering stays, so that the next file
// with that field opens in it. createEmpty fails the same way.
TEST(TableFiles, AnOrderingTheFileCannotServeFailsTheOpenAndTheTableStaysClosed)
{
    TempFolder folder;
    const std::string path = folder.file("other.db");
    {
        RecordTable writer;
        writer.setFileName(path);
        writer.addFieldDef("CODE", FieldKind::Text, 5, false);
        writer.createEmpty();
        writer.insertValues({std::string("b")});
        writer.insertValues({std::string("a")});
        writer.close();
    }
    RecordTable table("viewDB");
    table.setOrdering("NAME;LOGIN");
    table.setFileName(path);
    EXPECT_EQ(errorText([&] { table.open(); }), "viewDB: Field 'NAME' not found");
    EXPECT_FALSE(table.isOpen());
    EXPECT_TRUE(table.fields().empty());
    EXPECT_EQ(table.ordering(), "NAME;LOGIN");
    EXPECT_EQ(errorText([&] { table.recordCount(); }), "viewDB: Cannot perform this operation on a closed dataset");

    table.addFieldDef("CODE", FieldKind::Text, 5, false);
    EXPECT_EQ(errorText([&] { table.createEmpty(); }), "viewDB: Field 'NAME' not found");
    EXPECT_FALSE(table.isOpen());

    table.setFileName(folder.file("kestrin.db"));
    openStore(table);
    insert(table, "b", "x");
    insert(table, "a", "x");
    EXPECT_EQ(rows(table), (std::vector<std::string>{"a/x", "b/x"}));
}

TEST(OpenStore, CreatesTheSchemaOnlyWhenNoFileExists)
{
    TempFolder folder;
    const std::string path = folder.file("kestrin.db");
    RecordTable table("viewDB");
    table.setFileName(path);
    openStore(table);
    ASSERT_TRUE(table.isOpen());
    EXPECT_EQ(table.recordCount(), 0);
    ASSERT_EQ(table.fields().size(), 5u);
    EXPECT_EQ(table.fields()[0], (FieldDef{"NAME", FieldKind::Text, 100, true}));
    EXPECT_EQ(table.fields()[3], (FieldDef{"NOTES", FieldKind::Text, 256, false}));
    EXPECT_EQ(table.fields()[4], (FieldDef{"RECTYPE", FieldKind::Integer, 0, true}));
    table.close();
    EXPECT_FALSE(fs::exists(path)) << "an empty new store is not written";

    // Loaded files bring their own fields, whatever the schema says.
    {
        RecordTable writer;
        writer.setFileName(path);
        writer.addFieldDef("OTHER", FieldKind::Integer, 0, false);
        writer.createEmpty();
        writer.insertValues({std::int32_t{5}});
    }
    openStore(table);
    EXPECT_EQ(table.fieldInteger("other"), 5);
    EXPECT_EQ(errorText([&] { table.fieldText("NOTES"); }), "viewDB: Field 'NOTES' not found");
    table.close();

    // A file of length zero is not missing: it is refused, not replaced.
    writeWhole(path, "");
    EXPECT_EQ(errorText([&] { openStore(table); }), "viewDB: Missing data provider or data packet");
    EXPECT_FALSE(table.isOpen());
    EXPECT_EQ(fs::file_size(path), 0u);
}
