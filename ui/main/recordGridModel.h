#pragma once
// The record grid's model: it shows a RecordTable's records without copying them.
// Every cell is read from the table when the view paints it, and the table's change
// notifications are turned into the model's signals, so opening or scrolling a list
// of a million records costs what a list of ten does.

#include "store/RecordTable.h"

#include <QAbstractTableModel>

#include <array>

class RecordGridModel : public QAbstractTableModel, public TableObserver {
    Q_OBJECT

public:
    // What the indicator column shows in a row.
    enum class Mark { None, Current, Editing, Inserting };

    static constexpr int columns = 3;

    explicit RecordGridModel(RecordTable& table, QObject* parent = nullptr);
    ~RecordGridModel() override;

    // Stops following the table; the model then shows one blank row. Called before the
    // table is destroyed when the table does not outlive the model.
    void release();
    RecordTable* table() const { return table_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The row drawn highlighted: the current record's row, row 0 (the blank row) for an
    // open table without records, -1 for a closed table.
    int highlightRow() const;
    Mark markFor(int row) const;

    // The title and the field of each grid column.
    static QString columnTitle(int column);
    static const char* columnField(int column);

    // TableObserver
    void tableOpened() override;
    void tableClosed() override;
    void orderChanged() override;
    void rowInserted(int row) override;
    void rowRemoved(int row) override;
    void rowChanged(int fromRow, int toRow) override;
    void currentMoved(int row) override;
    void stateChanged(TableState state) override;

signals:
    // The highlight may stand on another row now; the view follows it.
    void highlightMoved(int row);
    // The indicator mark changed its shape (edit or insert state).
    void markChanged();

private:
    bool tableOpen() const;
    int recordCount() const;
    void resetAll();

    RecordTable* table_;
    std::array<int, columns> fieldColumns_{-1, -1, -1};
    int shownRows_ = 1;
};
