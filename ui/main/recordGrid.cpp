#include "recordGrid.h"

#include "recordGridModel.h"
#include "ui/shared/windowLook.h"

#include <QAbstractButton>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <algorithm>

namespace {

const QColor skyBlue(166, 202, 240);
const QColor moneyGreen(192, 220, 192);

QFont titleFont()
{
    return classicFont(QStringLiteral("Microsoft Sans Serif"));
}

QColor lineColour(const QPalette& palette)
{
    return palette.color(QPalette::Active, QPalette::Mid);
}

// The 1-pixel column line at the right edge of a cell.
void drawColumnLine(QPainter* painter, const QRect& rect, const QPalette& palette)
{
    painter->setPen(lineColour(palette));
    painter->drawLine(rect.topRight(), rect.bottomRight());
}

// Data cells: the column's background (or the highlight on the current record's row),
// the display text 2 pixels in from the left and top edges, clipped at the cell.
class CellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override
    {
        const auto* model = static_cast<const RecordGridModel*>(index.model());
        const QPalette& palette = option.palette;
        const bool highlighted = index.row() == model->highlightRow();
        const QRect cell = option.rect;

        QColor background;
        if (highlighted)
            background = palette.color(QPalette::Active, QPalette::Highlight);
        else if (index.column() == 0)
            background = skyBlue;
        else if (index.column() == 1)
            background = moneyGreen;
        else
            background = palette.color(QPalette::Active, QPalette::Base);

        painter->save();
        painter->fillRect(cell, background);
        const QRect textArea(cell.left() + 2, cell.top() + 2, cell.width() - 3, cell.height() - 2);
        painter->setClipRect(cell.adjusted(0, 0, -1, 0));
        painter->setFont(option.font);
        painter->setPen(palette.color(QPalette::Active, highlighted ? QPalette::HighlightedText
                                                                    : QPalette::Text));
        painter->drawText(textArea, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                          index.data().toString());
        painter->setClipping(false);
        drawColumnLine(painter, cell, palette);
        painter->restore();
    }
};

// The title row (flat titles on the button face, no ordering mark) and the indicator
// column (the current record's mark on the button face).
class GridHeader : public QHeaderView {
public:
    GridHeader(Qt::Orientation orientation, QWidget* parent) : QHeaderView(orientation, parent)
    {
        setSectionsMovable(false);
        setSectionsClickable(false);
        setHighlightSections(false);
        setSortIndicatorShown(false);
        setStretchLastSection(false);
        setMinimumSectionSize(1);
        setSectionResizeMode(QHeaderView::Fixed);
        setContextMenuPolicy(Qt::NoContextMenu);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QHeaderView::paintEvent(event);
        // Past the last title and below the last row the grid's own colour shows, not
        // the style's empty header area.
        const int end = length() - offset();
        QRect rest = viewport()->rect();
        if (orientation() == Qt::Horizontal)
            rest.setLeft(end);
        else
            rest.setTop(end);
        if (rest.isValid()) {
            QPainter painter(viewport());
            painter.fillRect(rest, palette().color(QPalette::Active, QPalette::Base));
        }
    }


    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override
    {
        const QPalette& pal = palette();
        painter->save();
        painter->fillRect(rect, pal.color(QPalette::Active, QPalette::Button));
        if (orientation() == Qt::Horizontal) {
            painter->setFont(font());
            painter->setPen(pal.color(QPalette::Active, QPalette::WindowText));
            painter->setClipRect(rect.adjusted(0, 0, -1, 0));
            painter->drawText(rect.adjusted(2, 2, -1, 0),
                              Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                              model()->headerData(logicalIndex, Qt::Horizontal).toString());
            painter->setClipping(false);
        } else {
            const auto* grid = static_cast<const RecordGridModel*>(model());
            drawMark(painter, rect, grid->markFor(logicalIndex));
        }
        drawColumnLine(painter, rect, pal);
        painter->restore();
    }

private:
    // A black mark 6 pixels wide and 11 high, 2 pixels in from the column's right edge
    // (its column line excluded), centred vertically.
    static void drawMark(QPainter* painter, const QRect& rect, RecordGridModel::Mark mark)
    {
        if (mark == RecordGridModel::Mark::None)
            return;
        const int left = rect.right() - 1 - 2 - 5;
        const int top = rect.top() + (rect.height() - 11) / 2;
        painter->setPen(Qt::black);
        painter->setRenderHint(QPainter::Antialiasing, false);
        switch (mark) {
        case RecordGridModel::Mark::Current:
            // A triangle pointing right: each column two pixels shorter than the last.
            for (int i = 0; i < 6; ++i)
                painter->drawLine(left + i, top + i, left + i, top + 10 - i);
            break;
        case RecordGridModel::Mark::Editing:
            painter->drawLine(left, top, left + 5, top);
            painter->drawLine(left, top + 10, left + 5, top + 10);
            painter->drawLine(left + 2, top, left + 2, top + 10);
            painter->drawLine(left + 3, top, left + 3, top + 10);
            break;
        case RecordGridModel::Mark::Inserting:
            painter->drawLine(left + 2, top + 3, left + 2, top + 7);
            painter->drawLine(left, top + 5, left + 4, top + 5);
            painter->drawLine(left, top + 3, left + 4, top + 7);
            painter->drawLine(left + 4, top + 3, left, top + 7);
            break;
        case RecordGridModel::Mark::None:
            break;
        }
    }
};

}  // namespace

RecordGrid::RecordGrid(QWidget* parent) : QTableView(parent)
{
    setHorizontalHeader(new GridHeader(Qt::Horizontal, this));
    setVerticalHeader(new GridHeader(Qt::Vertical, this));
    setItemDelegate(new CellDelegate(this));

    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setTabKeyNavigation(false);
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setAutoScroll(false);
    setDragEnabled(false);
    setContextMenuPolicy(Qt::NoContextMenu);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setFrameStyle(QFrame::WinPanel | QFrame::Sunken);

    // The selection stays shown without the focus: the inactive colours are the active ones.
    QPalette pal = palette();
    for (const QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
        pal.setColor(QPalette::Inactive, role, pal.color(QPalette::Active, role));
    setPalette(pal);

    horizontalHeader()->setFont(titleFont());
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignTop);
    rowHeight_ = std::max(17, fontMetrics().height() + 4);
    horizontalHeader()->setFixedHeight(rowHeight_);
    // Uniform rows: the view never measures a row, whatever the number of records.
    verticalHeader()->setDefaultSectionSize(rowHeight_);
    verticalHeader()->setFixedWidth(11);

    // Presses, releases and double-clicks on the title row, the indicator column and
    // the corner are handled here like those on the data rows.
    horizontalHeader()->viewport()->installEventFilter(this);
    verticalHeader()->viewport()->installEventFilter(this);
    // The corner over the indicator column is drawn like a title; the view's own corner
    // button would be a raised button with a line along its bottom.
    corner_ = findChild<QAbstractButton*>();
    if (corner_)
        corner_->installEventFilter(this);
}

void RecordGrid::setGridModel(RecordGridModel* model)
{
    model_ = model;
    setModel(model);
    const int widths[RecordGridModel::columns] = {200, 198, 198};
    for (int column = 0; column < RecordGridModel::columns; ++column)
        horizontalHeader()->resizeSection(column, widths[column]);
    connect(model, &RecordGridModel::highlightMoved, this, &RecordGrid::followHighlight);
    connect(model, &RecordGridModel::markChanged, verticalHeader()->viewport(),
            qOverload<>(&QWidget::update));
    followHighlight(model->highlightRow());
}

// The rows run down from the title row whole: the top row in view is always whole, and
// the view scrolls by whole rows. At the end of a long list the last row stands whole
// above a blank strip, rather than the view's way of aligning the last row to the
// bottom edge, which hides part of the top row under the titles.
void RecordGrid::alignTopRow()
{
    QHeaderView* rows = verticalHeader();
    const int before = rows->offset();
    rows->setOffsetToSectionPosition(verticalScrollBar()->value());
    if (rows->offset() != before)
        viewport()->update();
}

void RecordGrid::scrollContentsBy(int dx, int dy)
{
    QTableView::scrollContentsBy(dx, dy);
    alignTopRow();
}

void RecordGrid::updateGeometries()
{
    QTableView::updateGeometries();
    alignTopRow();
}

void RecordGrid::paintCorner(QWidget* corner) const
{
    QPainter painter(corner);
    painter.fillRect(corner->rect(), palette().color(QPalette::Active, QPalette::Button));
    drawColumnLine(&painter, corner->rect(), palette());
}

int RecordGrid::fullRowsShown() const
{
    return std::max(1, viewport()->height() / rowHeight_);
}

RecordTable* RecordGrid::openTable() const
{
    RecordTable* table = model_ ? model_->table() : nullptr;
    return table && table->isOpen() ? table : nullptr;
}

// Makes the record at row current; rows beyond the records are ignored.
void RecordGrid::moveTo(int row)
{
    RecordTable* table = openTable();
    if (!table || row < 0 || row >= table->recordCount())
        return;
    const int current = table->currentRow();
    if (current < 0) {
        table->moveFirst();
        table->moveBy(row);
    } else if (row != current) {
        table->moveBy(row - current);
    }
}

void RecordGrid::followHighlight(int row)
{
    if (!selectionModel())
        return;
    if (row < 0) {
        selectionModel()->clear();
    } else {
        const QModelIndex index = model_->index(row, 0);
        selectionModel()->setCurrentIndex(
            index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        scrollTo(index, QAbstractItemView::EnsureVisible);
    }
    viewport()->update();
    verticalHeader()->viewport()->update();
}

void RecordGrid::showCurrentInMiddle()
{
    if (model_ && model_->highlightRow() >= 0)
        scrollTo(model_->index(model_->highlightRow(), 0), QAbstractItemView::PositionAtCenter);
}

void RecordGrid::keyPressEvent(QKeyEvent* event)
{
    // The grid claims the navigation keys and swallows everything else: it has no
    // editing, no type-ahead search and no delete key. Letters that are accelerators
    // never reach this point.
    event->accept();
    RecordTable* table = openTable();
    if (!table)
        return;
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const int top = std::max(0, rowAt(0));
    const int bottom = std::min(top + fullRowsShown(), table->recordCount()) - 1;
    switch (event->key()) {
    case Qt::Key_Up:
        ctrl ? moveTo(top) : void(table->moveBy(-1));
        break;
    case Qt::Key_Left:
        table->moveBy(-1);
        break;
    case Qt::Key_Down:
        ctrl ? moveTo(bottom) : void(table->moveBy(1));
        break;
    case Qt::Key_Right:
        table->moveBy(1);
        break;
    case Qt::Key_PageUp:
        ctrl ? moveTo(top) : void(table->moveBy(-fullRowsShown()));
        break;
    case Qt::Key_PageDown:
        ctrl ? moveTo(bottom) : void(table->moveBy(fullRowsShown()));
        break;
    case Qt::Key_Home:
        table->moveFirst();
        break;
    case Qt::Key_End:
        table->moveLast();
        break;
    default:
        break;
    }
}

void RecordGrid::paintEvent(QPaintEvent* event)
{
    QTableView::paintEvent(event);
    // While the grid has the focus a dotted rectangle surrounds the whole current row.
    const int row = model_ ? model_->highlightRow() : -1;
    if (!hasFocus() || row < 0)
        return;
    const QRect rowRect = visualRect(model_->index(row, 0))
                              .united(visualRect(model_->index(row, RecordGridModel::columns - 1)))
                              .adjusted(0, 0, -1, -1);
    QPainter painter(viewport());
    QPen pen(palette().color(QPalette::Active, QPalette::HighlightedText));
    pen.setStyle(Qt::DotLine);
    painter.setPen(pen);
    painter.drawRect(rowRect);
}

bool RecordGrid::viewportEvent(QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
        return handleMouse(viewport(), static_cast<QMouseEvent*>(event));
    case QEvent::ToolTip:
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), toolTip(), viewport());
        return true;
    case QEvent::ContextMenu:
        return true;
    default:
        return QTableView::viewportEvent(event);
    }
}

bool RecordGrid::eventFilter(QObject* watched, QEvent* event)
{
    auto* widget = qobject_cast<QWidget*>(watched);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
        if (widget)
            return handleMouse(widget, static_cast<QMouseEvent*>(event));
        break;
    case QEvent::ToolTip:
        if (widget) {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), toolTip(), widget);
            return true;
        }
        break;
    case QEvent::Paint:
        if (widget && widget == corner_) {
            paintCorner(widget);
            return true;
        }
        break;
    default:
        break;
    }
    return QTableView::eventFilter(watched, event);
}

// Every mouse event over the grid's parts comes here; the view's own selection
// handling never runs, so the highlight only ever follows the table.
bool RecordGrid::handleMouse(QWidget* source, QMouseEvent* event)
{
    const QPoint global = event->globalPosition().toPoint();
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        setFocus(Qt::MouseFocusReason);
        int row = -1;
        if (source == viewport())
            row = rowAt(event->position().toPoint().y());
        else if (source == verticalHeader()->viewport())
            row = verticalHeader()->logicalIndexAt(event->position().toPoint());
        moveTo(row);
        break;
    }
    case QEvent::MouseButtonRelease: {
        if (event->button() != Qt::LeftButton)
            break;
        QWidget* titles = horizontalHeader()->viewport();
        const QPoint over = titles->mapFromGlobal(global);
        if (!titles->rect().contains(over))
            break;
        const int column = horizontalHeader()->logicalIndexAt(over);
        if (column >= 0)
            emit titleClicked(column);
        break;
    }
    case QEvent::MouseButtonDblClick:
        setFocus(Qt::MouseFocusReason);
        if (event->button() == Qt::LeftButton)
            emit gridDoubleClicked();
        break;
    default:
        break;
    }
    event->accept();
    return true;
}
