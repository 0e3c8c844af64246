// Times the record grid over lists of 10 to 1,000,000 records: showing the window
// (which opens the list), the grid's own share of an opening, paging through the list
// and jumping between its ends, each with the grid repainted, and inserting a record.
// Prints each time and the ratio of the largest list's time to the smallest one's.
//
// Then the window as the program runs it: a copy of this program is placed in a
// temporary folder beside a "kestrin.db" of 1,000,000 realistic records (written in
// the ordering an Add leaves in force) and a small "inactive.db", and run with --window, so that the window finds its lists beside its
// executable. That run times the first showing, End, Page Down, title clicks and a
// switch of lists, and compares the resident memory the shown window added with what
// the table alone takes for the same file.

#include "benchMeasure.h"
#include "benchRecords.h"
#include "store/RecordStore.h"
#include "ui/main/mainUnit.h"
#include "ui/main/recordGrid.h"
#include "ui/main/recordGridModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>


#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

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

// ---------------------------------------------------------------- the window at 1M

constexpr int windowRecords = 1'000'000;
constexpr int archivedRecords = 50;

double residentMb()
{
    return benchMeasure::residentBytes() / (1024.0 * 1024.0);
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "bench_grid: %s\n", what);
    std::exit(2);
}

// Waits, within a bound, until the grid has been painted more times than before.
bool waitForPaint(const PaintCounter& counter, int before)
{
    QElapsedTimer bound;
    bound.start();
    while (counter.paints <= before && bound.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    return counter.paints > before;
}

// One user step, timed until the grid has repainted what it changed.
template <class Step>
double timedStep(RecordGrid* grid, PaintCounter& counter, Step step)
{
    QElapsedTimer timer;
    timer.start();
    const int before = counter.paints;
    step();
    grid->viewport()->update();
    if (!waitForPaint(counter, before))
        fail("the grid did not repaint after a step");
    return msSince(timer);
}

double medianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs inside the copy of the program: the window finds its lists beside it.
int runWindow()
{
    const double before = residentMb();
    PaintCounter counter;
    QElapsedTimer timer;
    timer.start();
    auto form = std::make_unique<tMainForm>();
    form->disclaimerGate = [](QWidget*) { return true; };  // time the window, not the user
    RecordGrid* grid = form->dbView;
    grid->viewport()->installEventFilter(&counter);
    form->show();
    if (!waitForPaint(counter, 0))
        fail("the grid was never painted");
    const double showMs = msSince(timer);
    const double shown = residentMb();

    const QString besideProgram = QCoreApplication::applicationDirPath() + u'/';
    if (form->dataFolder != besideProgram || form->viewDB.recordCount() != windowRecords)
        fail("the window did not open the 1,000,000-record list beside the program");

    // End and Page Down, five times each: Home in between is not timed.
    std::vector<double> ends, pages;
    for (int i = 0; i < 5; ++i) {
        ends.push_back(timedStep(grid, counter, [&] { QTest::keyClick(grid, Qt::Key_End); }));
        if (form->viewDB.currentRow() != windowRecords - 1)
            fail("End did not reach the last record");
        QTest::keyClick(grid, Qt::Key_Home);
        pages.push_back(timedStep(grid, counter, [&] { QTest::keyClick(grid, Qt::Key_PageDown); }));
        if (form->viewDB.currentRow() <= 0)
            fail("Page Down did not move");
    }

    // A click on each column title re-orders the list by that column.
    QWidget* titles = grid->horizontalHeader()->viewport();
    const char* orderings[] = {"LOGIN", "PASSWORD", "NAME;LOGIN"};
    const int columns[] = {1, 2, 0};
    double titleMs[3] = {};
    for (int i = 0; i < 3; ++i) {
        const QHeaderView* header = grid->horizontalHeader();
        const QPoint point(header->sectionViewportPosition(columns[i]) + 20, header->height() / 2);
        titleMs[i] = timedStep(grid, counter, [&] { QTest::mouseClick(titles, Qt::LeftButton, {}, point); });
        if (form->viewDB.ordering() != orderings[i])
            fail("a title click did not re-order the list");
    }

    const double toArchived = timedStep(grid, counter, [&] { QTest::mouseClick(form->viewSwapButton, Qt::LeftButton); });
    if (form->showingActive || form->viewDB.recordCount() != archivedRecords)
        fail("the switch did not show the archived list");
    const double toActive = timedStep(grid, counter, [&] { QTest::mouseClick(form->viewSwapButton, Qt::LeftButton); });
    if (!form->showingActive || form->viewDB.recordCount() != windowRecords)
        fail("the switch back did not show the active list");
    const double after = residentMb();

    std::printf("The window over %d records (\"kestrin.db\" beside the program), milliseconds\n", windowRecords);
    std::printf("| %-44s | %10s |\n", "step", "ms");
    std::printf("|----------------------------------------------|------------|\n");
    std::printf("| %-44s | %10.1f |\n", "first showing (construct to painted grid)", showMs);
    std::printf("| %-44s | %10.2f |\n", "End + repaint (median of 5)", medianOf(ends));
    std::printf("| %-44s | %10.2f |\n", "Page Down + repaint (median of 5)", medianOf(pages));
    std::printf("| %-44s | %10.1f |\n", "title click: Login column (re-order)", titleMs[0]);
    std::printf("| %-44s | %10.1f |\n", "title click: Password column (re-order)", titleMs[1]);
    std::printf("| %-44s | %10.1f |\n", "title click: Site Name column (re-order)", titleMs[2]);
    std::printf("| %-44s | %10.1f |\n", "switch to the archived list (50 records)", toArchived);
    std::printf("| %-44s | %10.1f |\n", "switch back to the active list", toActive);
    std::printf("resident memory: %.1f MB before the window, %.1f MB once shown (+%.1f MB), "
                "%.1f MB after the steps\n",
                before, shown, shown - before, after);
    form.reset();
    return 0;
}

// Writes a list file of the given number of benchmark records, with the given
// ordering in force as the records go in and when the file is written.
void writeListOf(const std::string& path, int count, const std::string& ordering)
{
    const benchRecords::Records records = benchRecords::makeRecords(count);
    RecordTable table;
    table.setFileName(path);
    openStore(table);
    table.setOrdering(ordering);
    for (const auto& row : records.rows)
        table.insertValues(row);
    table.close();
}

// Writes the lists beside a copy of this program and runs the copy with --window.
// The active list is written as the program writes it once the user has added an
// entry: the Add command leaves the ordering "NAME;LOGIN" in force. The archive is
// written as the Archive command writes it, by a table of its own with no ordering.
void windowAtOneMillion()
{
    QTemporaryDir dir;
    if (!dir.isValid())
        fail("no temporary folder");
    const std::string active = QFile::encodeName(dir.filePath("kestrin.db")).toStdString();
    const std::string archived = QFile::encodeName(dir.filePath("inactive.db")).toStdString();
    writeListOf(active, windowRecords, "NAME;LOGIN");
    writeListOf(archived, archivedRecords, "");

    // What the table alone takes for the list, to compare with what the window adds.
    const double before = residentMb();
    double tableMb = 0;
    {
        RecordTable table;
        table.setFileName(active);
        table.open();
        tableMb = residentMb() - before;
        table.setFileName({});
    }
    std::printf("\nresident memory of the table alone with the same list open: +%.1f MB\n", tableMb);
    std::fflush(stdout);

    const QString program = dir.filePath("quorrel");
    if (!QFile::copy(QCoreApplication::applicationFilePath(), program))
        fail("cannot copy the program beside the lists");
    QProcess run;
    run.setProcessChannelMode(QProcess::ForwardedChannels);
    run.start(program, {"--window"});
    if (!run.waitForFinished(10 * 60 * 1000) || run.exitStatus() != QProcess::NormalExit || run.exitCode() != 0)
        fail("the window run failed");
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "--window")
        return runWindow();

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
    windowAtOneMillion();
    return 0;
}
