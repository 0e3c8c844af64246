#include "recordGridModel.h"

#include <algorithm>

namespace {

struct ColumnSpec {
    const char* field;
    const char* title;
};

constexpr std::array<ColumnSpec, RecordGridModel::columns> columnSpecs{{
    {"NAME", "Site Name/Entry Type"},
    {"LOGIN", "Login/Site/Program"},
    {"PASSWORD", "Password/Memorable Info/Serial"},
}};

}  // namespace

RecordGridModel::RecordGridModel(RecordTable& table, QObject* parent)
    : QAbstractTableModel(parent), table_(&table)
{
    table_->attach(this);
    if (tableOpen())
        tableOpened();
}

RecordGridModel::~RecordGridModel()
{
    release();
}

void RecordGridModel::release()
{
    if (!table_)
        return;
    table_->detach(this);
    table_ = nullptr;
    resetAll();
}

QString RecordGridModel::columnTitle(int column)
{
    return QString::fromLatin1(columnSpecs.at(static_cast<std::size_t>(column)).title);
}

const char* RecordGridModel::columnField(int column)
{
    return columnSpecs.at(static_cast<std::size_t>(column)).field;
}

bool RecordGridModel::tableOpen() const
{
    return table_ && table_->isOpen();
}

int RecordGridModel::recordCount() const
{
    return tableOpen() ? table_->recordCount() : 0;
}

int RecordGridModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : shownRows_;
}

int RecordGridModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : columns;
}

QVariant RecordGridModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    const int row = index.row();
    const int field = fieldColumns_.at(static_cast<std::size_t>(index.column()));
    // The blank row of an empty or closed table, and a column whose field the open
    // table lacks, read as empty.
    if (field < 0 || row >= recordCount())
        return QString();
    return QString::fromStdString(table_->rowText(row, field));
}

QVariant RecordGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0
        && section < columns)
        return columnTitle(section);
    return {};
}

Qt::ItemFlags RecordGridModel::flags(const QModelIndex& index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

int RecordGridModel::highlightRow() const
{
    if (!tableOpen())
        return -1;
    return std::max(0, table_->currentRow());
}

RecordGridModel::Mark RecordGridModel::markFor(int row) const
{
    if (row < 0 || row != highlightRow())
        return Mark::None;
    switch (table_->state()) {
    case TableState::Editing:
        return Mark::Editing;
    case TableState::Inserting:
        return Mark::Inserting;
    default:
        return Mark::Current;
    }
}

void RecordGridModel::resetAll()
{
    beginResetModel();
    shownRows_ = std::max(1, recordCount());
    endResetModel();
    emit highlightMoved(highlightRow());
}

void RecordGridModel::tableOpened()
{
    // The columns find their fields by name each time a file is opened.
    for (int column = 0; column < columns; ++column)
        fieldColumns_.at(static_cast<std::size_t>(column)) = table_->fieldIndex(columnField(column));
    resetAll();
}

void RecordGridModel::tableClosed()
{
    fieldColumns_.fill(-1);
    resetAll();
}

void RecordGridModel::orderChanged()
{
    resetAll();
}

void RecordGridModel::rowInserted(int row)
{
    if (recordCount() == 1) {
        // The blank row of the empty table now holds the record.
        emit dataChanged(index(0, 0), index(0, columns - 1));
    } else {
        beginInsertRows({}, row, row);
        ++shownRows_;
        endInsertRows();
    }
    emit highlightMoved(highlightRow());
}

void RecordGridModel::rowRemoved(int row)
{
    if (recordCount() == 0) {
        // The last record went: its row stays as the empty table's blank row.
        emit dataChanged(index(0, 0), index(0, columns - 1));
    } else {
        beginRemoveRows({}, row, row);
        --shownRows_;
        endRemoveRows();
    }
    emit highlightMoved(highlightRow());
}

void RecordGridModel::rowChanged(int fromRow, int toRow)
{
    // Every row between the old and the new place moved by one.
    emit dataChanged(index(std::min(fromRow, toRow), 0),
                     index(std::max(fromRow, toRow), columns - 1));
    emit highlightMoved(highlightRow());
}

void RecordGridModel::currentMoved(int row)
{
    (void)row;
    emit highlightMoved(highlightRow());
}

void RecordGridModel::stateChanged(TableState state)
{
    (void)state;
    emit markChanged();
}
