#pragma once
// The read-only record grid: a title row, an 11-pixel indicator column and three fixed
// columns over a RecordGridModel. The highlight always stands on the table's current
// record; mouse presses and navigation keys move that record through the table.

#include <QTableView>

class RecordGridModel;
class RecordTable;

class RecordGrid : public QTableView {
    Q_OBJECT

public:
    explicit RecordGrid(QWidget* parent = nullptr);

    void setGridModel(RecordGridModel* model);
    RecordGridModel* gridModel() const { return model_; }

    // Height of the title row and of every data row.
    int rowHeight() const { return rowHeight_; }
    // How many rows the grid shows in full.
    int fullRowsShown() const;
    // Scrolls so that the current record stands in the middle of the rows in view, as
    // after a successful key lookup.
    void showCurrentInMiddle();

signals:
    // The left button was released over a column's title; column is 0, 1 or 2.
    void titleClicked(int column);
    // A double-click of the left button anywhere in the grid.
    void gridDoubleClicked();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void updateGeometries() override;

private:
    void alignTopRow();
    void paintCorner(QWidget* corner) const;
    bool handleMouse(QWidget* source, QMouseEvent* event);
    void followHighlight(int row);
    RecordTable* openTable() const;
    void moveTo(int row);

    RecordGridModel* model_ = nullptr;
    QWidget* corner_ = nullptr;
    int rowHeight_ = 17;
};
