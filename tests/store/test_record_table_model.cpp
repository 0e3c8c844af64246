// Randomised differential tests: the record table against a simple model of its
// rules (storage order, stable field orderings, placement of the current record,
// prefix lookups).

#include "table_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

using namespace tabletest;

namespace {

struct ModelRecord {
    std::string name, login, password;
    int id = 0;

    const std::string& field(int column) const
    {
        return column == 0 ? name : (column == 1 ? login : password);
    }
};

class TableModel {
public:
    std::vector<ModelRecord> storage;
    std::vector<int> keys;  // columns of the field ordering; empty for storage order
    int currentId = -1;

    std::vector<const ModelRecord*> view() const
    {
        std::vector<const ModelRecord*> rows;
        for (const ModelRecord& r : storage)
            rows.push_back(&r);
        std::stable_sort(rows.begin(), rows.end(), [this](const ModelRecord* a, const ModelRecord* b) {
            for (const int k : keys) {
                if (a->field(k) != b->field(k))
                    return a->field(k) < b->field(k);
            }
            return false;
        });
        return rows;
    }
    int rowOf(int id) const
    {
        const auto rows = view();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i]->id == id)
                return static_cast<int>(i);
        }
        return -1;
    }
    std::size_t storageIndex(int id) const
    {
        for (std::size_t i = 0; i < storage.size(); ++i) {
            if (storage[i].id == id)
                return i;
        }
        return storage.size();
    }
};

// Names sharing long beginnings make the comparisons look past the first bytes (the
// ordering keeps 24 of them beside each record); zero bytes and the empty text sit
// where a key's bytes and its separators could be confused.
const std::vector<std::string> names{"a", "A", "b", "B", "c", "\xC3\xA9", "Memorable", "Memorable2",
                                     "Memorabl", "Memorable\xC3\xA9", "Memorab",
                                     "www.sixteen-chars", "www.sixteen-chars.com", "www.sixteen-chara",
                                     "www.twenty-four-letters.com", "www.twenty-four-letters.co",
                                     "www.twenty-four-letters.co.uk",
                                     std::string("a\0", 2), std::string("a\0\0", 3), std::string("a\0b", 3), ""};
const std::vector<std::string> logins{"x", "X", "y"};
const std::vector<std::string> passwords{"p", "P", "q", ""};
const std::vector<std::pair<std::string, std::vector<int>>> orderings{
    {"", {}}, {"NAME;LOGIN", {0, 1}}, {"LOGIN", {1}}, {"PASSWORD", {2}}, {"name ; password;login", {0, 2, 1}}};

void expectSameRows(const RecordTable& table, const TableModel& model)
{
    const auto rows = model.view();
    ASSERT_EQ(table.recordCount(), static_cast<int>(rows.size()));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const int row = static_cast<int>(i);
        ASSERT_EQ(table.rowText(row, 3), std::to_string(rows[i]->id)) << "row " << row;
        ASSERT_EQ(table.rowText(row, 0), rows[i]->name);
        ASSERT_EQ(table.rowText(row, 1), rows[i]->login);
        ASSERT_EQ(table.rowText(row, 2), rows[i]->password);
    }
}

// With a file, the table is now and then closed and opened again, so that records
// read from the file are edited and deleted too.
void runAgainstModel(unsigned seed, int steps, const std::string& file = {})
{
    std::mt19937 random(seed);
    const auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    RecordTable table("viewDB");
    createWithSchema(table);
    table.setFileName(file);
    TableModel model;
    int nextId = 0;

    for (int step = 0; step < steps; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const int choice = static_cast<int>(random() % 100);
        const bool empty = model.storage.empty();
        if (choice < 38) {
            ModelRecord r{pick(names), pick(logins), pick(passwords), nextId++};
            insert(table, r.name, r.login, r.password, std::to_string(r.id));
            if (model.keys.empty())
                model.storage.insert(model.storage.begin() + static_cast<std::ptrdiff_t>(model.storageIndex(model.currentId)), r);
            else
                model.storage.push_back(r);
            model.currentId = r.id;
        } else if (choice < 56 && !empty) {
            const auto rows = model.view();
            const auto at = static_cast<std::size_t>(model.rowOf(model.currentId));
            const ModelRecord* following = at + 1 < rows.size() ? rows[at + 1] : (at > 0 ? rows[at - 1] : nullptr);
            const int nextCurrent = following ? following->id : -1;
            table.deleteCurrent();
            model.storage.erase(model.storage.begin() + static_cast<std::ptrdiff_t>(model.storageIndex(model.currentId)));
            model.currentId = nextCurrent;
        } else if (choice < 70 && !empty) {
            // Edit a field; post it explicitly or let a move settle it.
            ModelRecord& r = model.storage[model.storageIndex(model.currentId)];
            const int column = static_cast<int>(random() % 3);
            const std::string value = column == 0 ? pick(names) : (column == 1 ? pick(logins) : pick(passwords));
            table.beginEdit();
            table.setFieldText(column == 0 ? "NAME" : (column == 1 ? "LOGIN" : "PASSWORD"), value);
            if (random() % 2)
                table.postEdit();
            else
                EXPECT_EQ(table.moveBy(0), 0);
            (column == 0 ? r.name : (column == 1 ? r.login : r.password)) = value;
        } else if (choice < 76) {
            const auto& [text, keys] = orderings[random() % orderings.size()];
            table.setOrdering(text);
            model.keys = keys;
        } else if (choice < 86) {
            const int n = static_cast<int>(random() % 11) - 5;
            const int from = model.rowOf(model.currentId);
            const int to = empty ? -1 : std::clamp(from + n, 0, static_cast<int>(model.storage.size()) - 1);
            EXPECT_EQ(table.moveBy(n), to - from);
            if (!empty)
                model.currentId = model.view()[static_cast<std::size_t>(to)]->id;
        } else if (choice < 96 && !model.keys.empty()) {
            std::vector<FieldValue> values;
            std::vector<std::string> texts;
            const std::size_t count = 1 + random() % model.keys.size();
            for (std::size_t i = 0; i < count; ++i) {
                const int k = model.keys[i];
                texts.push_back(k == 0 ? pick(names) : (k == 1 ? pick(logins) : pick(passwords)));
                values.emplace_back(texts.back());
            }
            const ModelRecord* match = nullptr;
            for (const ModelRecord* r : model.view()) {
                bool equal = true;
                for (std::size_t i = 0; i < count; ++i)
                    equal = equal && r->field(model.keys[i]) == texts[i];
                if (equal) {
                    match = r;
                    break;
                }
            }
            EXPECT_EQ(table.lookupKey(values), match != nullptr);
            if (match)
                model.currentId = match->id;
        } else if (!file.empty() && random() % 4 == 0) {
            // Reopened in the ordering last asked for, at its first record.
            table.close();
            table.open();
            const auto rows = model.view();
            model.currentId = rows.empty() ? -1 : rows.front()->id;
        } else if (!empty) {
            if (random() % 2) {
                table.moveFirst();
                model.currentId = model.view().front()->id;
            } else {
                table.moveLast();
                model.currentId = model.view().back()->id;
            }
        }

        ASSERT_EQ(table.recordCount(), static_cast<int>(model.storage.size()));
        ASSERT_EQ(table.currentRow(), model.rowOf(model.currentId));
        ASSERT_EQ(table.fieldText("NOTES"), model.currentId < 0 ? "" : std::to_string(model.currentId));
        if (step % 25 == 0)
            expectSameRows(table, model);
    }
    expectSameRows(table, model);

    // Storage order is what the table keeps among its records when no ordering is set.
    table.setOrdering("");
    model.keys.clear();
    expectSameRows(table, model);
}

}  // namespace

TEST(TableModel, RandomOperationsMatchTheModel)
{
    for (const unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        runAgainstModel(seed, 3000);
        if (::testing::Test::HasFatalFailure())
            return;
    }
}

TEST(TableModel, RandomOperationsOnRecordsReadBackFromAFileMatchTheModel)
{
    for (const unsigned seed : {11u, 12u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TempFolder folder;
        runAgainstModel(seed, 2000, folder.file(seed == 11u ? "model.db" : "model.xml"));
        if (::testing::Test::HasFatalFailure())
            return;
    }
}

TEST(TableModel, ManyFieldsAreAddedOrderedAndFoundLikeFew)
{
    // More fields than a key or a new record keeps without an allocation.
    RecordTable table;
    std::vector<std::string> names;
    std::string ordering;
    for (int i = 0; i < 12; ++i) {
        names.push_back(std::string(1, 'F').append(std::to_string(i)));
        table.addFieldDef(names.back(), i == 11 ? FieldKind::Integer : FieldKind::Text, 3, false);
        if (i < 11)
            ordering.append(i ? ";" : "").append(names.back());
    }
    table.createEmpty();
    for (int r = 0; r < 30; ++r) {
        std::vector<FieldValue> values;
        for (int i = 0; i < 11; ++i)
            values.emplace_back(std::string(1, static_cast<char>('a' + (r * (i + 1)) % 3)) + "long");
        values.emplace_back(std::int32_t{r});
        table.insertValues(values);
    }
    table.setOrdering(ordering);
    ASSERT_EQ(table.recordCount(), 30);
    for (int row = 1; row < 30; ++row) {
        std::string previous, here;
        for (int i = 0; i < 11; ++i) {
            previous += table.rowText(row - 1, i) + "|";
            here += table.rowText(row, i) + "|";
        }
        EXPECT_LE(previous, here) << row;
    }
    std::vector<FieldValue> key;
    for (int i = 0; i < 11; ++i)
        key.emplace_back(table.rowText(17, i) + "ignored");  // cut to the field's three characters
    EXPECT_TRUE(table.lookupKey(key));
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(table.fieldText(names[static_cast<std::size_t>(i)]), table.rowText(17, i));
    EXPECT_EQ(table.rowText(0, 11).empty(), false);
}
