#pragma once
// What stands behind a RecordTable's calls: its definitions, its state (closed,
// browsing, editing, inserting), its records, the edit in progress and its views,
// with the steps the calls share: the refusals, the notices to the views, adding and
// replacing records, and settling an edit.

#include "FieldTypes.h"
#include "RecordMerge.h"
#include "RecordSet.h"
#include "RecordTable.h"
#include "TextRules.h"
#include "ValueView.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A refusal of the engine's own, which names no table.
[[noreturn]] inline void failPlain(const std::string& text)
{
    throw RecordTableError(text);
}

struct RecordTable::Impl {
    struct IndexDef {
        std::string name;
        std::string fields;
        IndexOptions options;
    };

    std::string tableName;
    std::string fileName;
    std::vector<FieldDef> fieldDefs;
    std::vector<IndexDef> indexDefs;
    std::string ordering;

    TableState state = TableState::Closed;
    std::vector<FieldDef> fields;
    RecordSet records{fields};     // the open table's records, read through fields
    PackedRecord* current = nullptr;
    bool changed = false;
    FileRead fileRead;             // where the records came from, for a merge at close
    bool closeMerged = false;      // see lastCloseMerged
    Record edit;                   // the values being edited (editing or inserting)
    bool editTouched = false;      // a field was set since beginEdit

    std::vector<TableObserver*> observers;

    // --- errors

    [[noreturn]] void fail(const std::string& text) const
    {
        if (tableName.empty())
            throw RecordTableError(text);
        throw RecordTableError(tableName + ": " + text);
    }
    void requireOpen() const
    {
        if (state == TableState::Closed)
            fail("Cannot perform this operation on a closed dataset");
    }
    int findField(std::string_view name) const { return fieldColumn(fields, name); }
    int requireField(std::string_view name) const
    {
        const int column = findField(name);
        if (column < 0)
            fail("Field '" + std::string(name) + "' not found");
        return column;
    }
    // Throws the engine's refusal when a record would repeat a key of a unique index
    // held by a record other than `self`.
    void checkUnique(const PackedRecord* r, const PackedRecord* self) const
    {
        if (const std::string* index = records.refusingIndex(r, self))
            failPlain("Key violation in index '" + *index + "'");
    }
    bool editing() const { return state == TableState::Editing || state == TableState::Inserting; }
    // The value of a field as read now: the one being edited, else the current
    // record's; null when there is no current record.
    ValueView readValue(std::size_t column) const
    {
        if (editing())
            return viewOf(edit[column]);
        return current ? records.reader().value(current, column) : ValueView{};
    }

    // --- notifications (sent after a change is complete)

    template <class Call>
    void notify(Call call)
    {
        const std::vector<TableObserver*> targets = observers;  // a view may detach itself
        for (TableObserver* observer : targets) {
            if (std::find(observers.begin(), observers.end(), observer) != observers.end())
                call(*observer);
        }
    }
    void notifyState()
    {
        notify([s = state](TableObserver& o) { o.stateChanged(s); });
    }
    void notifyCurrent()
    {
        if (!observers.empty())  // the row is worked out only for someone to tell
            notify([r = currentRow()](TableObserver& o) { o.currentMoved(r); });
    }

    int currentRow() const { return current ? records.rowOf(current) : -1; }

    // --- records

    // Adds a new record made of values, as an insert does, and makes it current. The
    // unique indexes are asked first, so a refused record leaves the table untouched.
    void addRecord(PackedRecord* r)
    {
        checkUnique(r, nullptr);
        const std::size_t row = records.place(r, current);
        current = r;
        records.remember(current, row);
        changed = true;
    }

    // Checks an ordering's field names and applies it; throws, keeping the ordering in
    // force, when one names no field.
    void applyOrdering(const std::string& text)
    {
        std::vector<int> columns;
        for (const std::string& name : splitFieldList(text))
            columns.push_back(requireField(name));
        records.applyOrder(std::move(columns), text);
    }

    // The last steps of createEmpty and open: browsing, unchanged, the ordering in
    // force and the first record current. An ordering naming a field the table lacks
    // fails the step: the fields and records are let go, the table stays closed and
    // the ordering stays as it was set, to serve the next file opened.
    void startBrowsing()
    {
        records.clearOrder();
        if (!ordering.empty()) {
            try {
                applyOrdering(ordering);
            } catch (...) {
                releaseRecords();
                fields.clear();
                throw;
            }
        }
        changed = false;
        state = TableState::Browsing;
        current = records.firstRow();
        notify([](TableObserver& o) { o.tableOpened(); });
        notifyState();
    }

    void releaseRecords()
    {
        records.release();
        current = nullptr;
    }

    // --- edits

    void dropEdit()
    {
        edit.clear();
        editTouched = false;
        state = TableState::Browsing;
    }

    // Puts the edited values in place of the current record's: a new record takes the
    // old one's place in storage order and its sorted place in the ordering.
    void replaceCurrent()
    {
        PackedRecord* r = records.pack(edit);
        checkUnique(r, current);
        records.replace(current, r);
        current = r;
    }

    void post()
    {
        if (!editing())
            fail("Dataset not in edit or insert mode");
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].required && !edit[i])
                failPlain("Field '" + fields[i].name + "' must have a value");
        }
        if (state == TableState::Inserting) {
            addRecord(records.pack(edit));
            dropEdit();
            if (!observers.empty()) {
                const int row = currentRow();
                notify([row](TableObserver& o) { o.rowInserted(row); });
            }
        } else {
            const int from = currentRow();
            replaceCurrent();
            changed = true;
            dropEdit();
            const int to = currentRow();
            notify([from, to](TableObserver& o) { o.rowChanged(from, to); });
        }
        notifyCurrent();
        notifyState();
    }

    // Posts an edit in progress when a field was set, else drops it.
    void settle()
    {
        if (!editing())
            return;
        if (editTouched) {
            post();
        } else {
            dropEdit();
            notifyState();
        }
    }

    void moveTo(PackedRecord* r)
    {
        if (r == current)
            return;
        current = r;
        notifyCurrent();
    }
};
