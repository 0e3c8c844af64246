#pragma once
// RecordTable: a keyed in-memory table bound to one store file. Opening reads the
// whole file; closing writes it back whole when anything changed, merged with the
// changes someone else made to the file in between. In between every read,
// ordering, search and change happens in memory.

#include "FieldTypes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class TableState { Closed, Browsing, Editing, Inserting };

// A view attached to a table (the record grid) is told of every change that may
// alter what it shows. Rows are positions in the table's current ordering, 0-based.
// All calls arrive after the table has finished the change, so the view may read
// the table from inside them.
class TableObserver {
public:
    virtual ~TableObserver() = default;
    // The table opened or closed: everything shown must be read again.
    virtual void tableOpened() {}
    virtual void tableClosed() {}
    // The records were put in a new order (setOrdering): every row may differ.
    virtual void orderChanged() {}
    // A record was inserted at row, or the record at row was removed.
    virtual void rowInserted(int row) { (void)row; }
    virtual void rowRemoved(int row) { (void)row; }
    // A posted edit changed a record; it stood at fromRow and now stands at toRow
    // (different when a field of the ordering was edited).
    virtual void rowChanged(int fromRow, int toRow) { (void)fromRow; (void)toRow; }
    // The current record moved (or was re-placed by one of the changes above).
    virtual void currentMoved(int row) { (void)row; }
    // The state changed between browsing, editing and inserting.
    virtual void stateChanged(TableState state) { (void)state; }
};

class RecordTable {
public:
    explicit RecordTable(std::string tableName = {});
    ~RecordTable();  // closes an open table first, writing its file if it changed
    RecordTable(const RecordTable&) = delete;
    RecordTable& operator=(const RecordTable&) = delete;

    const std::string& tableName() const;
    void setFileName(std::string path);
    const std::string& fileName() const;

    void clearFieldDefs();
    void addFieldDef(std::string name, FieldKind kind, int size, bool required);
    void clearIndexDefs();
    void addIndexDef(std::string name, std::string fields, IndexOptions options);

    void createEmpty();
    void open();
    void close();
    // True when the last close() found that someone else had changed the file since
    // the table read it, and wrote the records now there with this table's changes
    // merged in (see RecordMerge.h): the next open shows more than the table did.
    bool lastCloseMerged() const;
    bool isOpen() const;
    TableState state() const;

    void setOrdering(std::string fields);
    const std::string& ordering() const;
    bool lookupKey(const std::vector<FieldValue>& values);
    void insertValues(const std::vector<FieldValue>& values);

    std::string fieldText(std::string_view name) const;
    std::int32_t fieldInteger(std::string_view name) const;
    void beginEdit();
    void setFieldText(std::string_view name, std::string text);
    void postEdit();
    void deleteCurrent();

    int recordCount() const;
    void moveFirst();
    void moveLast();
    int moveBy(int n);

    // --- View interface: reads that never move the current record or copy the table.

    // The open table's fields in column order; empty while closed.
    const std::vector<FieldDef>& fields() const;
    // Column of the named field (names match regardless of letter case), or -1.
    int fieldIndex(std::string_view name) const;
    // Row of the current record in the ordering, or -1 when there is none (closed or
    // no records).
    int currentRow() const;
    // Display text of a field of the record at row: text as stored, an integer in
    // decimal, null as the empty text. Precondition: 0 <= row < recordCount() and
    // 0 <= column < fields().size(). While editing, the current row reads the values
    // being edited.
    std::string rowText(int row, int column) const;

    void attach(TableObserver* observer);
    void detach(TableObserver* observer);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
