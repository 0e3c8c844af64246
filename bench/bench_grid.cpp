// Times the record grid over lists of 10 to 1,000,000 records: showing the window
// (which opens the list), the grid's own share of an opening, paging through the list
// and jumping between its ends, each with the grid repainted, and inserting a record.
// Prints each time and the ratio of the largest list's time to the smallest one's.

#include "store/RecordStore.h"
#include "ui/main/mainUnit.h"
#include "ui/main/recordGrid.h"
#include "ui/main/recordGridModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QWindow>

#include <cstdio>
#include <string>

namespace {

struct Timings {
    double showMs = 0;       // show(): open the store file and lay out the grid
    double gridOpenMs = 0;   // the grid's reaction to an opening, with one repaint
    double pageMs = 0;       // one Page Down and a repaint, averaged
    double endsMs = 0;       // one End or Home and a repaint, averaged
    double insertMs = 0;     // one insert at the current record and a repaint, averaged
    int paints = 0;          // grid repaints seen while measuring
};

// Counts the grid's paint events, to show that each step really repainted it.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

double msSince(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

void press(QWidget* widget, int key)
{
    QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &down);
    widget->repaint();
}

Timings measure(int records)
{
    QTemporaryDir dir;
    const std::string path = QFile::encodeName(dir.filePath("kestrin.db")).toStdString();
    {
        RecordTable table;
        table.setFileName(path);
        openStore(table);
        for (int i = 0; i < records; ++i) {
            const std::string n = std::to_string(i);
            table.insertValues({"site" + n, "login" + n, "pw" + n, std::string(), std::int32_t{0}});
        }
        table.close();
    }

    Timings t;
    tMainForm form(dir.path());
    form.disclaimerGate = [](QWidget*) { return true; };  // time the window, not the user
    QElapsedTimer timer;
    timer.start();
    form.show();
    form.dbView->viewport()->repaint();
    t.showMs = msSince(timer);
    for (int i = 0; i < 50 && !(form.windowHandle() && form.windowHandle()->isExposed()); ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    PaintCounter counter;
    form.dbView->viewport()->installEventFilter(&counter);

    constexpr int openings = 20;
    TableObserver* observer = form.viewDBSource;
    timer.restart();
    for (int i = 0; i < openings; ++i) {
        observer->tableOpened();
        form.dbView->viewport()->repaint();
    }
    t.gridOpenMs = msSince(timer) / openings;

    constexpr int steps = 200;
    RecordGrid* grid = form.dbView;
    timer.restart();
    for (int i = 0; i < steps; ++i)
        press(grid, Qt::Key_PageDown);
    t.pageMs = msSince(timer) / steps;

    timer.restart();
    for (int i = 0; i < steps; ++i)
        press(grid, i % 2 ? Qt::Key_Home : Qt::Key_End);
    t.endsMs = msSince(timer) / steps;

    constexpr int inserts = 50;
    timer.restart();
    for (int i = 0; i < inserts; ++i) {
        form.viewDB.insertValues({std::string("new"), std::string("l"), std::string("p"),
                                  std::string(), std::int32_t{0}});
        grid->viewport()->repaint();
    }
    t.insertMs = msSince(timer) / inserts;
    t.paints = counter.paints;
    return t;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    // 100 records already fill the grid's rows, so it separates the cost of painting a
    // full page from any cost that grows with the list.
    const int sizes[] = {10, 100, 10'000, 1'000'000};
    Timings timings[4];
    for (int i = 0; i < 4; ++i)
        timings[i] = measure(sizes[i]);
    std::printf("%-28s %12s %12s %12s %12s %8s\n", "milliseconds", "10", "100", "10,000",
                "1,000,000", "1M/10");
    auto row = [&timings](const char* what, double Timings::*field) {
        std::printf("%-28s", what);
        for (const Timings& t : timings)
            std::printf(" %12.3f", t.*field);
        std::printf(" %7.2fx\n", timings[3].*field / timings[0].*field);
    };
    row("show (file read + grid)", &Timings::showMs);
    row("grid share of an opening", &Timings::gridOpenMs);
    row("Page Down + repaint", &Timings::pageMs);
    row("End/Home + repaint", &Timings::endsMs);
    row("insert + repaint", &Timings::insertMs);
    std::printf("grid repaints while measuring:");
    for (const Timings& t : timings)
        std::printf(" %d", t.paints);
    std::printf("\n");
    return 0;
}
