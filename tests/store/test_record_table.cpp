// Behaviour of the record table in memory: error texts, the current record, edits,
// lookups, unique indexes and the notifications a view receives.

#include "table_test_support.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>

using namespace tabletest;

// ---------------------------------------------------------------------------------
// Error texts, for a named and an unnamed table.

class TableErrors : public ::testing::TestWithParam<std::string> {
protected:
    // The text as the table must report it: behind its name when it has one.
    std::string named(const std::string& text) const
    {
        return GetParam().empty() ? text : GetParam() + ": " + text;
    }
};

TEST_P(TableErrors, ClosedTableRefusesEveryRecordOperation)
{
    RecordTable table(GetParam());
    const std::string closed = named("Cannot perform this operation on a closed dataset");
    EXPECT_EQ(errorText([&] { table.lookupKey({std::string("a")}); }), closed);
    EXPECT_EQ(errorText([&] { table.insertValues({std::string("a")}); }), closed);
    EXPECT_EQ(errorText([&] { table.beginEdit(); }), closed);
    EXPECT_EQ(errorText([&] { table.deleteCurrent(); }), closed);
    EXPECT_EQ(errorText([&] { table.recordCount(); }), closed);
    EXPECT_EQ(errorText([&] { table.moveFirst(); }), closed);
    EXPECT_EQ(errorText([&] { table.moveLast(); }), closed);
    EXPECT_EQ(errorText([&] { table.moveBy(1); }), closed);
    // A closed table has no fields at all.
    EXPECT_EQ(errorText([&] { table.fieldText("NAME"); }), named("Field 'NAME' not found"));
    EXPECT_EQ(errorText([&] { table.fieldInteger("RECTYPE"); }), named("Field 'RECTYPE' not found"));
    EXPECT_EQ(errorText([&] { table.postEdit(); }), named("Dataset not in edit or insert mode"));
    EXPECT_EQ(table.currentRow(), -1);
    EXPECT_TRUE(table.fields().empty());
    // Neither close nor setOrdering complain on a closed table.
    EXPECT_EQ(errorText([&] { table.close(); }), "<no error>");
    EXPECT_EQ(errorText([&] { table.setOrdering("NOSUCH"); }), "<no error>");
}

TEST_P(TableErrors, CreateEmptyRefusals)
{
    RecordTable table(GetParam());
    EXPECT_EQ(errorText([&] { table.createEmpty(); }), "No fields defined.  Cannot create dataset");
    EXPECT_FALSE(table.isOpen());

    const std::string longName(32, 'F');
    table.addFieldDef("NAME", FieldKind::Text, 10, true);
    table.addFieldDef(longName, FieldKind::Text, 10, false);
    EXPECT_EQ(errorText([&] { table.createEmpty(); }), "Fieldname " + longName + " exceeds 31 chars");
    EXPECT_FALSE(table.isOpen());

    // 31 characters are allowed, also when they take more than 31 bytes.
    table.clearFieldDefs();
    table.addFieldDef("NAME", FieldKind::Text, 10, true);
    table.addFieldDef(std::string(30, 'F') + "\xC3\xA9", FieldKind::Text, 10, false);
    table.addIndexDef("BAD", "NAME;NOSUCH", IndexOptions{});
    EXPECT_EQ(errorText([&] { table.createEmpty(); }), named("Field 'NOSUCH' not found"));
    EXPECT_FALSE(table.isOpen());
    EXPECT_TRUE(table.fields().empty());

    table.clearIndexDefs();
    table.createEmpty();
    EXPECT_TRUE(table.isOpen());
    EXPECT_EQ(errorText([&] { table.createEmpty(); }), named("Cannot perform this operation on an open dataset"));
    EXPECT_TRUE(table.isOpen());
}

TEST_P(TableErrors, OpenTableRefusals)
{
    RecordTable table(GetParam());
    createWithSchema(table);
    EXPECT_EQ(errorText([&] { table.deleteCurrent(); }), named("Cannot perform this operation on an empty dataset"));
    EXPECT_EQ(errorText([&] { table.fieldText("NOSUCH"); }), named("Field 'NOSUCH' not found"));
    EXPECT_EQ(errorText([&] { table.setFieldText("NAME", "x"); }), named("Dataset not in edit or insert mode"));
    EXPECT_EQ(errorText([&] { table.postEdit(); }), named("Dataset not in edit or insert mode"));
    EXPECT_EQ(errorText([&] { table.lookupKey({std::string("a")}); }), named("No index currently active"));

    insert(table, "a", "b");
    table.setOrdering("NAME;LOGIN");
    EXPECT_EQ(errorText([&] {
                  table.lookupKey({std::string("a"), std::string("b"), std::string("c")});
              }),
              named("Field index out of range"));

    // A refused ordering keeps the one in force.
    EXPECT_EQ(errorText([&] { table.setOrdering("LOGIN;NOSUCH"); }), named("Field 'NOSUCH' not found"));
    EXPECT_TRUE(table.lookupKey({std::string("a"), std::string("b")}));

    // The required-field message never carries the table name.
    table.deleteCurrent();
    table.beginEdit();  // empty table: a new record with every field null
    table.setFieldText("NAME", "n");
    EXPECT_EQ(errorText([&] { table.postEdit(); }), "Field 'LOGIN' must have a value");
    EXPECT_EQ(table.state(), TableState::Inserting);
}

TEST_P(TableErrors, MissingOrEmptyFileIsNoContent)
{
    TempFolder folder;
    RecordTable table(GetParam());
    const std::string missing = named("Missing data provider or data packet");
    EXPECT_EQ(errorText([&] { table.open(); }), missing);  // no file name at all
    table.setFileName(folder.file("none.db"));
    EXPECT_EQ(errorText([&] { table.open(); }), missing);
    writeWhole(folder.file("empty.db"), "");
    table.setFileName(folder.file("empty.db"));
    EXPECT_EQ(errorText([&] { table.open(); }), missing);
    EXPECT_FALSE(table.isOpen());
}

INSTANTIATE_TEST_SUITE_P(NamedAndUnnamed, TableErrors, ::testing::Values(std::string("viewDB"), std::string()),
                         [](const ::testing::TestParamInfo<std::string>& p) {
                             return p.param.empty() ? std::string("unnamed") : p.param;
                         });

// ---------------------------------------------------------------------------------
// Where the current record stands.

TEST(TablePlacement, InsertInStorageOrderGoesBeforeTheCurrentRecord)
{
    RecordTable table("viewDB");
    createWithSchema(table);
    EXPECT_EQ(table.currentRow(), -1);
    insert(table, "c", "1");
    insert(table, "b", "1");  // before c
    insert(table, "a", "1");  // before b
    EXPECT_EQ(rows(table), (std::vector<std::string>{"a/1", "b/1", "c/1"}));
    EXPECT_EQ(table.currentRow(), 0);
    table.moveLast();
    insert(table, "x", "1");
    EXPECT_EQ(rows(table), (std::vector<std::string>{"a/1", "b/1", "x/1", "c/1"}));
    EXPECT_EQ(current(table), "x/1");
    EXPECT_EQ(table.currentRow(), 2);
}

TEST(TablePlacement, InsertUnderAnOrderingGoesToItsSortedPlaceAfterEqualKeys)
{
    RecordTable table;
    createWithSchema(table);
    table.setOrdering("NAME;LOGIN");
    insert(table, "b", "1", "first");
    insert(table, "a", "1");
    insert(table, "c", "1");
    insert(table, "b", "1", "second");  // a duplicate key is accepted
    EXPECT_EQ(rows(table), (std::vector<std::string>{"a/1", "b/1", "b/1", "c/1"}));
    EXPECT_EQ(table.currentRow(), 2);
    EXPECT_EQ(table.fieldText("PASSWORD"), "second");
    // Storage order has the records in the order they came.
    table.setOrdering("");
    EXPECT_EQ(rows(table), (std::vector<std::string>{"b/1", "a/1", "c/1", "b/1"}));
    EXPECT_EQ(table.currentRow(), 3);
}

TEST(TablePlacement, DeleteMakesTheFollowingRecordCurrentElseThePrevious)
{
    RecordTable table("viewDB");
    createWithSchema(table);
    table.setOrdering("LOGIN");
    for (const char* login : {"d", "b", "a", "c"})
        insert(table, "n", login);
    table.lookupKey({std::string("b")});
    table.deleteCurrent();
    EXPECT_EQ(current(table), "n/c");
    table.moveLast();
    table.deleteCurrent();
    EXPECT_EQ(current(table), "n/c");
    EXPECT_EQ(table.currentRow(), 1);
    table.deleteCurrent();
    table.deleteCurrent();
    EXPECT_EQ(table.recordCount(), 0);
    EXPECT_EQ(table.currentRow(), -1);
    EXPECT_EQ(table.fieldText("NAME"), "");
    EXPECT_EQ(table.fieldInteger("RECTYPE"), 0);
    EXPECT_EQ(table.moveBy(3), 0);
}

TEST(TablePlacement, EditOfAKeyFieldMovesTheRecordAndKeepsItCurrent)
{
    RecordTable table;
    createWithSchema(table);
    table.setOrdering("NAME;LOGIN");
    for (const char* name : {"a", "b", "c", "d"})
        insert(table, name, "x");
    table.moveFirst();
    table.beginEdit();
    table.setFieldText("name", "cc");  // field names match in any letter case
    EXPECT_EQ(table.rowText(0, 0), "cc");  // a view reads the values being edited
    table.postEdit();
    EXPECT_EQ(rows(table), (std::vector<std::string>{"b/x", "c/x", "cc/x", "d/x"}));
    EXPECT_EQ(table.currentRow(), 2);
    EXPECT_EQ(current(table), "cc/x");
    EXPECT_EQ(table.state(), TableState::Browsing);
}

TEST(TablePlacement, ReorderingKeepsTheCurrentRecordAndEqualKeysStayInStorageOrder)
{
    RecordTable table;
    createWithSchema(table);
    insert(table, "b", "2", "p1");
    insert(table, "a", "2", "p2");
    insert(table, "b", "1", "p3");
    // storage order now: b/1 a/2 b/2
    table.moveLast();
    EXPECT_EQ(current(table), "b/2");
    table.setOrdering("NAME");
    EXPECT_EQ(rows(table), (std::vector<std::string>{"a/2", "b/1", "b/2"}));
    EXPECT_EQ(current(table), "b/2");
    EXPECT_EQ(table.currentRow(), 2);
    table.setOrdering(" LOGIN ; name ");
    EXPECT_EQ(rows(table), (std::vector<std::string>{"b/1", "a/2", "b/2"}));
    EXPECT_EQ(table.currentRow(), 2);
    table.setOrdering("PASSWORD");
    EXPECT_EQ(table.currentRow(), 0);
    EXPECT_EQ(current(table), "b/2");
}

TEST(TablePlacement, IntegerOrderingIsNumericWithNullFirst)
{
    RecordTable table;
    createWithSchema(table);
    const std::int32_t values[] = {3, -1, std::numeric_limits<std::int32_t>::max(), 0,
                                   std::numeric_limits<std::int32_t>::min(), -300, 256};
    for (const std::int32_t value : values)
        insert(table, "n", "l", "p", "", value);
    table.insertValues({std::string("null type")});
    table.setOrdering("RECTYPE");
    std::vector<std::string> types;
    for (int row = 0; row < table.recordCount(); ++row)
        types.push_back(table.rowText(row, 4));
    EXPECT_EQ(types, (std::vector<std::string>{"", "-2147483648", "-300", "-1", "0", "3", "256", "2147483647"}));
    EXPECT_TRUE(table.lookupKey({std::int32_t{256}}));
    EXPECT_EQ(table.currentRow(), 6);
}

TEST(TablePlacement, MoveByStopsAtEitherEndAndReportsTheDistance)
{
    RecordTable table;
    createWithSchema(table);
    for (const char* name : {"e", "d", "c", "b", "a"})
        insert(table, name, "x");
    table.moveFirst();
    EXPECT_EQ(table.moveBy(2), 2);
    EXPECT_EQ(current(table), "c/x");
    EXPECT_EQ(table.moveBy(10), 2);
    EXPECT_EQ(table.moveBy(-100), -4);
    EXPECT_EQ(table.moveBy(-1), 0);
    EXPECT_EQ(table.moveBy(std::numeric_limits<int>::max()), 4);
    EXPECT_EQ(table.moveBy(std::numeric_limits<int>::min()), -4);
}

// ---------------------------------------------------------------------------------
// Edits and how they are settled.

TEST(TableEdits, AMoveOrSearchPostsATouchedEditAndDropsAnUntouchedOne)
{
    RecordTable table;
    createWithSchema(table);
    insert(table, "b", "x");
    insert(table, "a", "x");

    table.beginEdit();
    table.setFieldText("NOTES", "posted by the move");
    table.moveBy(1);
    EXPECT_EQ(table.state(), TableState::Browsing);
    table.moveFirst();
    EXPECT_EQ(table.fieldText("NOTES"), "posted by the move");

    table.beginEdit();
    EXPECT_EQ(table.state(), TableState::Editing);
    table.moveLast();
    EXPECT_EQ(table.state(), TableState::Browsing);

    // Settled by setOrdering, lookupKey and insertValues too.
    table.beginEdit();
    table.setFieldText("NAME", "z");
    table.setOrdering("NAME");
    EXPECT_EQ(rows(table), (std::vector<std::string>{"a/x", "z/x"}));
    table.beginEdit();
    table.setFieldText("LOGIN", "y");
    EXPECT_TRUE(table.lookupKey({std::string("z")}));
    table.moveFirst();
    table.beginEdit();
    table.setFieldText("LOGIN", "w");
    insert(table, "m", "x");
    EXPECT_EQ(rows(table), (std::vector<std::string>{"a/w", "m/x", "z/y"}));
}

TEST(TableEdits, ASettledPostThatFailsStopsTheOperationAndKeepsEditing)
{
    RecordTable table;
    createWithSchema(table);
    table.beginEdit();
    table.setFieldText("NAME", "only a name");
    EXPECT_EQ(errorText([&] { table.moveFirst(); }), "Field 'LOGIN' must have a value");
    EXPECT_EQ(errorText([&] { insert(table, "a", "b"); }), "Field 'LOGIN' must have a value");
    EXPECT_EQ(table.state(), TableState::Inserting);
    EXPECT_EQ(table.recordCount(), 0);
    EXPECT_EQ(table.fieldText("NAME"), "only a name");
    table.setFieldText("LOGIN", "l");
    table.setFieldText("PASSWORD", "p");
    table.setFieldText("RECTYPE", "2");
    table.postEdit();
    EXPECT_EQ(table.recordCount(), 1);
    EXPECT_EQ(table.fieldInteger("RECTYPE"), 2);
    EXPECT_EQ(table.currentRow(), 0);
}

TEST(TableEdits, DeleteDropsAnEditAndBeginEditTwiceKeepsTheFirst)
{
    RecordTable table;
    createWithSchema(table);
    insert(table, "b", "x");
    insert(table, "a", "x");
    table.beginEdit();
    table.setFieldText("NAME", "changed");
    table.beginEdit();  // nothing happens: the value set stays
    EXPECT_EQ(table.fieldText("NAME"), "changed");
    table.deleteCurrent();
    EXPECT_EQ(table.state(), TableState::Browsing);
    EXPECT_EQ(rows(table), (std::vector<std::string>{"b/x"}));
}

TEST(TableEdits, IntegerFieldsTakeDecimalTextOnly)
{
    RecordTable table;
    createWithSchema(table);
    insert(table, "a", "x", "p", "", -1);
    EXPECT_EQ(table.fieldInteger("RECTYPE"), -1);
    EXPECT_EQ(table.fieldText("RECTYPE"), "-1");
    table.beginEdit();
    EXPECT_EQ(errorText([&] { table.setFieldText("RECTYPE", "1x"); }), "'1x' is not a valid integer value");
    EXPECT_EQ(errorText([&] { table.setFieldText("RECTYPE", "2147483648"); }),
              "'2147483648' is not a valid integer value");
    table.setFieldText("RECTYPE", "+2147483647");
    table.postEdit();
    EXPECT_EQ(table.fieldInteger("RECTYPE"), 2147483647);
}

// ---------------------------------------------------------------------------------
// Lookups.

TEST(TableLookup, LetterCaseCountsAndAMissLeavesTheCurrentRecord)
{
    RecordTable table("viewDB");
    createWithSchema(table);
    table.setOrdering("NAME;LOGIN");
    insert(table, "bank", "jo");
    insert(table, "Bank", "Jo");
    insert(table, "other", "x");
    EXPECT_FALSE(table.lookupKey({std::string("Bank"), std::string("jo")}));
    EXPECT_EQ(current(table), "other/x");
    EXPECT_FALSE(table.lookupKey({std::string("ban")}));  // whole values only
    EXPECT_TRUE(table.lookupKey({std::string("bank"), std::string("jo")}));
    EXPECT_EQ(current(table), "bank/jo");
    EXPECT_TRUE(table.lookupKey({std::string("Bank"), std::string("Jo")}));
    EXPECT_EQ(current(table), "Bank/Jo");
}

TEST(TableLookup, APrefixOfTheKeyFindsTheFirstMatchInTheOrdering)
{
    RecordTable table;
    createWithSchema(table);
    table.setOrdering("NAME;LOGIN");
    for (const char* login : {"c", "a", "b"})
        insert(table, "Serial", login, "p", "", 2);
    insert(table, "Memorable", "a", "p", "", 1);
    insert(table, "Serial", "a", "again", "", 2);
    EXPECT_TRUE(table.lookupKey({std::string("Serial")}));
    EXPECT_EQ(current(table), "Serial/a");
    EXPECT_EQ(table.fieldText("PASSWORD"), "p");  // the first of the equal records
    EXPECT_TRUE(table.lookupKey({}));             // no values: the first record
    EXPECT_EQ(current(table), "Memorable/a");
    // Key values are converted to the key field's kind.
    table.setOrdering("RECTYPE;LOGIN");
    EXPECT_TRUE(table.lookupKey({std::string("2"), std::string("b")}));
    EXPECT_EQ(current(table), "Serial/b");
    EXPECT_EQ(errorText([&] { table.lookupKey({std::string("two")}); }), "'two' is not a valid integer value");
}

TEST(TableLookup, ALongKeyIsCutLikeTheStoredValue)
{
    RecordTable table;
    createWithSchema(table);
    table.setOrdering("NAME;LOGIN");
    const std::string name120(120, 'n');
    insert(table, name120, "l");
    insert(table, "a", "l");
    EXPECT_EQ(table.fieldText("NAME"), "a");
    EXPECT_TRUE(table.lookupKey({name120, std::string("l")}));
    EXPECT_EQ(table.fieldText("NAME"), std::string(100, 'n'));
}

// ---------------------------------------------------------------------------------
// Notifications to views.

namespace {

class Recorder : public TableObserver {
public:
    explicit Recorder(RecordTable& table) : table_(table) {}
    std::vector<std::string> events;

    void tableOpened() override { events.push_back("opened"); }
    void tableClosed() override { events.push_back("closed"); }
    void orderChanged() override { events.push_back("order"); }
    void rowInserted(int row) override { events.push_back("inserted " + std::to_string(row)); }
    void rowRemoved(int row) override { events.push_back("removed " + std::to_string(row)); }
    void rowChanged(int from, int to) override
    {
        events.push_back("changed " + std::to_string(from) + ">" + std::to_string(to));
    }
    void currentMoved(int row) override
    {
        // The table has finished the change: what it reports matches what it reads.
        EXPECT_EQ(row, table_.currentRow());
        events.push_back("current " + std::to_string(row));
    }
    void stateChanged(TableState state) override
    {
        EXPECT_EQ(state, table_.state());
        events.push_back("state " + std::to_string(static_cast<int>(state)));
    }
    std::vector<std::string> take() { return std::exchange(events, {}); }

private:
    RecordTable& table_;
};

using Events = std::vector<std::string>;

}  // namespace

TEST(TableViews, EachChangeIsReportedAfterItIsComplete)
{
    RecordTable table;
    Recorder view(table);
    table.attach(&view);
    createWithSchema(table);
    EXPECT_EQ(view.take(), (Events{"opened", "state 1"}));
    insert(table, "b", "x");
    insert(table, "a", "x");
    EXPECT_EQ(view.take(), (Events{"inserted 0", "current 0", "inserted 0", "current 0"}));
    table.setOrdering("LOGIN;NAME");
    EXPECT_EQ(view.take(), (Events{"order", "current 0"}));
    table.setOrdering("LOGIN;NAME");  // the same ordering again: nothing
    table.moveFirst();                // already there: nothing
    EXPECT_EQ(view.take(), Events{});
    table.beginEdit();
    table.setFieldText("NAME", "c");
    table.postEdit();
    EXPECT_EQ(view.take(), (Events{"state 2", "changed 0>1", "current 1", "state 1"}));
    table.moveBy(-1);
    table.deleteCurrent();
    EXPECT_EQ(view.take(), (Events{"current 0", "removed 0", "current 0"}));
    table.lookupKey({std::string("x"), std::string("c")});
    table.lookupKey({std::string("no")});
    EXPECT_EQ(view.take(), (Events{"current 0"}));
    table.beginEdit();
    table.moveFirst();  // an untouched edit is dropped
    EXPECT_EQ(view.take(), (Events{"state 2", "state 1"}));
    table.deleteCurrent();
    EXPECT_EQ(view.take(), (Events{"removed 0", "current -1"}));
    table.close();
    EXPECT_EQ(view.take(), (Events{"closed", "state 0"}));

    table.detach(&view);
    createWithSchema(table);
    EXPECT_EQ(view.take(), Events{});
}

TEST(TableViews, AViewMayDetachItselfWhileBeingTold)
{
    RecordTable table;
    struct SelfDetaching : TableObserver {
        RecordTable* table = nullptr;
        int calls = 0;
        void tableOpened() override
        {
            ++calls;
            table->detach(this);
        }
    } first, second;
    first.table = &table;
    second.table = &table;
    table.attach(&first);
    table.attach(&second);
    table.attach(&second);  // attaching twice tells it once
    createWithSchema(table);
    table.close();
    createWithSchema(table);
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 1);
}

// ---------------------------------------------------------------------------------
// A unique index refuses duplicates; the program's own indexes never do.

TEST(TableIndexes, OnlyAUniqueIndexRefusesARepeatedKey)
{
    RecordTable table;
    table.addFieldDef("CODE", FieldKind::Text, 10, true);
    table.addFieldDef("N", FieldKind::Integer, 0, false);
    table.addIndexDef("CODEIDX", "CODE", IndexOptions{.unique = true, .caseInsensitive = true});
    table.createEmpty();
    table.insertValues({std::string("abc"), std::int32_t{1}});
    table.insertValues({std::string("xyz"), std::int32_t{2}});
    EXPECT_EQ(errorText([&] { table.insertValues({std::string("ABC")}); }), "Key violation in index 'CODEIDX'");
    EXPECT_EQ(table.recordCount(), 2);
    EXPECT_EQ(table.fieldText("CODE"), "xyz");
    table.beginEdit();
    table.setFieldText("CODE", "Abc");
    EXPECT_EQ(errorText([&] { table.postEdit(); }), "Key violation in index 'CODEIDX'");
    EXPECT_EQ(table.state(), TableState::Editing);
    table.setFieldText("CODE", "XYZ");  // its own key, in other letters
    table.postEdit();
    table.deleteCurrent();
    table.insertValues({std::string("xyz")});  // free again after the delete
    EXPECT_EQ(table.recordCount(), 2);
}
