// The main window driven as a user would: its first showing over a folder of its own,
// the grid over real store files, title clicks, the list switch, keys, accelerators,
// leaving by Exit or the close box, and errors reported by the application object.

#include "app/QuorrelApplication.h"
#include "store/RecordStore.h"
#include "ui/dialogs/notesUnit.h"
#include "ui/main/mainUnit.h"
#include "ui/main/recordGrid.h"
#include "ui/main/recordGridModel.h"
#include "ui/main/statusPanels.h"
#include "uiTestSupport.h"

#include <QAbstractButton>
#include <QDateTime>
#include <QFileInfo>
#include <QFontInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <array>
#include <string>
#include <vector>

using namespace uiTest;

namespace {

QStringList shownColumn(const tMainForm& form, int column)
{
    QStringList texts;
    const QAbstractItemModel* model = form.dbView->model();
    for (int row = 0; row < model->rowCount(); ++row)
        texts << model->index(row, column).data().toString();
    return texts;
}

QString currentName(const tMainForm& form)
{
    return QString::fromStdString(form.viewDB.fieldText("NAME"));
}

// Ten entries whose storage order, NAME order, LOGIN order and PASSWORD order all differ.
std::vector<StoredRecord> tenEntries()
{
    const std::vector<std::array<const char*, 3>> texts{
        {"kiwi", "u5", "p3"}, {"apple", "u9", "p7"}, {"mango", "u1", "p9"}, {"banana", "u7", "p1"},
        {"fig", "u3", "p5"},  {"cherry", "u8", "p2"}, {"date", "u2", "p8"},  {"lime", "u6", "p4"},
        {"grape", "u4", "p6"}, {"Zucchini", "u0", "p0"}};
    std::vector<StoredRecord> entries;
    for (const auto& [name, login, password] : texts)
        entries.push_back({name, login, password, "notes", 0});
    return entries;
}

}  // namespace

class MainWindowTest : public QObject, private MainWindowFixture {
    Q_OBJECT

private:
    // How the disclaimer is answered, how often it was asked, and the status panel
    // it saw when it was asked.
    bool agree_ = true;
    int disclaimerAsked_ = 0;
    QString statusWhenAsked_;

private slots:
    void init()
    {
        agree_ = true;
        disclaimerAsked_ = 0;
        statusWhenAsked_.clear();
        disclaimerGate_ = [this](QWidget* owner) {
            ++disclaimerAsked_;
            statusWhenAsked_ = form_->statusBar->panelText(0);
            return owner == form_.get() && agree_;
        };
        QVERIFY(newFolder());
    }
    void cleanup() { form_.reset(); }

    void firstStartInEmptyFolder()
    {
        tMainForm& form = showForm();
        QCOMPARE(form.dataFolder, dir().path() + "/");
        QVERIFY(form.showingActive);
        QVERIFY(form.viewDB.isOpen());
        QCOMPARE(form.viewDB.recordCount(), 0);
        QCOMPARE(form.statusBar->panelText(0), QString("Active Passwords/Serials: 0"));
        QCOMPARE(form.statusBar->panelText(1), active());
        QVERIFY(form.addButton->isEnabled());
        QVERIFY(!form.editButton->isEnabled());
        QVERIFY(!form.archiveButton->isEnabled());
        QVERIFY(!form.searchButton->isEnabled());
        QVERIFY(form.viewSwapButton->isEnabled());
        QCOMPARE(form.viewSwapButton->text(), QString("&View Archived"));
        QCOMPARE(form.windowTitle(), QString("Quorrel"));
        // One blank row, highlighted and marked with the triangle.
        QCOMPARE(form.dbView->model()->rowCount(), 1);
        QCOMPARE(shownColumn(form, 0), QStringList{QString()});
        QCOMPARE(form.viewDBSource->highlightRow(), 0);
        QCOMPARE(form.viewDBSource->markFor(0), RecordGridModel::Mark::Current);

        // A title click and navigation keys on the empty list change nothing.
        QTest::mouseClick(form.dbView->horizontalHeader()->viewport(), Qt::LeftButton, {},
                          titlePoint(form, 1));
        QCOMPARE(form.viewDB.ordering(), std::string("LOGIN"));
        for (Qt::Key key : {Qt::Key_Down, Qt::Key_End, Qt::Key_PageDown, Qt::Key_Up})
            QTest::keyClick(form.dbView, key);
        QCOMPARE(form.viewDBSource->highlightRow(), 0);
    }

    void disclaimerEndsTheFirstShowing()
    {
        writeStore(active(), {{"a", "b", "c", "", 0}});
        tMainForm& form = showForm();
        QCOMPARE(disclaimerAsked_, 1);
        QCOMPARE(statusWhenAsked_, QString("Active Passwords/Serials: 1"));
        QVERIFY(form.isVisible());
        // Later showings ask nothing.
        form.hide();
        form.show();
        QCOMPARE(disclaimerAsked_, 1);
    }

    void decliningClosesTheWindowBeforeItIsShown()
    {
        writeStore(active(), {{"a", "b", "c", "", 0}});
        const QDateTime written = QFileInfo(active()).lastModified();
        agree_ = false;
        tMainForm& form = showForm();
        QCOMPARE(disclaimerAsked_, 1);
        QVERIFY(!form.isVisible());
        QVERIFY(!form.viewDB.isOpen());
        QCOMPARE(QFileInfo(active()).lastModified(), written);
    }

    void layoutAndTabOrder()
    {
        writeStore(active(), {{"a", "b", "c", "", 0}});
        tMainForm& form = showForm();
        QCOMPARE(form.size(), QSize(632, 440));
        // The banner comes from the program's resources, unscaled and cut at the window.
        QCOMPARE(form.headerImage->pixmap().size(), QSize(640, 60));
        QCOMPARE(form.headerImage->width(), 632);
        // The grid fills the space between the button strip and the status bar.
        QCOMPARE(form.dbView->geometry(), QRect(0, 101, 632, 320));
        QCOMPARE(form.statusBar->geometry(), QRect(0, 421, 632, 19));

        // The texts fall back on a face as wide as the layout's, and every caption fits.
        const QStringList similarFaces{"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans",
                                       "Arimo", "Arial"};
        QVERIFY2(similarFaces.contains(QFontInfo(form.font()).family()),
                 qPrintable(QFontInfo(form.font()).family()));
        const QHeaderView* titles = form.dbView->horizontalHeader();
        QVERIFY(similarFaces.contains(QFontInfo(titles->font()).family()));
        for (const QPushButton* button : form.findChildren<QPushButton*>()) {
            const QString caption = QString(button->text()).remove(u'&');
            QVERIFY2(button->fontMetrics().horizontalAdvance(caption) <= button->width() - 8,
                     qPrintable(caption));
        }
        for (int column = 0; column < 3; ++column) {
            const QString title = form.dbView->model()->headerData(column, Qt::Horizontal).toString();
            QVERIFY2(titles->fontMetrics().horizontalAdvance(title) <= titles->sectionSize(column) - 3,
                     qPrintable(title));
        }

        // Maximised, the aligned parts follow the client size; restored, the design
        // size comes back, and a size set any other way is undone.
        form.showMaximized();
        QTRY_VERIFY(form.width() > 632 && form.height() > 440);
        QTRY_COMPARE(form.dbView->geometry(),
                     QRect(0, 101, form.width(), form.height() - 101 - 19));
        QCOMPARE(form.statusBar->geometry(), QRect(0, form.height() - 19, form.width(), 19));
        form.showNormal();
        QTRY_COMPARE(form.size(), QSize(632, 440));
        form.resize(700, 500);
        QTRY_COMPARE(form.size(), QSize(632, 440));
        QCOMPARE(form.dbView->geometry(), QRect(0, 101, 632, 320));

        // Tab visits the enabled buttons of the strip, the grid, Help! and Exit.
        form.addButton->setFocus();
        const std::vector<QWidget*> expected{form.editButton, form.archiveButton,
                                             form.viewSwapButton, form.dbView,
                                             form.helpButton, form.exitButton, form.addButton};
        for (QWidget* next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
        // Enter and Escape on the grid press nothing; Enter on a focused button presses it.
        form.dbView->setFocus();
        QTest::keyClick(form.dbView, Qt::Key_Return);
        QTest::keyClick(form.dbView, Qt::Key_Escape);
        QVERIFY(form.showingActive);
        form.viewSwapButton->setFocus();
        QTest::keyClick(form.viewSwapButton, Qt::Key_Return);
        QVERIFY(!form.showingActive);
    }

    void storeShownInStorageOrderAndReorderedByTitles()
    {
        writeStore(active(), tenEntries());
        const QStringList storage = namesOnDisk(active());
        tMainForm& form = showForm();
        QCOMPARE(form.statusBar->panelText(0), QString("Active Passwords/Serials: 10"));
        QVERIFY(form.editButton->isEnabled());
        QVERIFY(form.archiveButton->isEnabled());
        QCOMPARE(shownColumn(form, 0), storage);
        QCOMPARE(form.viewDBSource->highlightRow(), 0);

        // Make the fourth record current, then reorder: the highlight stays on it.
        QTest::mouseClick(form.dbView->viewport(), Qt::LeftButton, {}, rowPoint(form, 3));
        QCOMPARE(form.viewDB.currentRow(), 3);
        const QString picked = currentName(form);
        QVERIFY(form.dbView->hasFocus());

        QWidget* titles = form.dbView->horizontalHeader()->viewport();
        QTest::mouseClick(titles, Qt::LeftButton, {}, titlePoint(form, 0));
        QCOMPARE(form.viewDB.ordering(), std::string("NAME;LOGIN"));
        QCOMPARE(shownColumn(form, 0), (QStringList{"Zucchini", "apple", "banana", "cherry",
                                                    "date", "fig", "grape", "kiwi", "lime",
                                                    "mango"}));
        QCOMPARE(currentName(form), picked);
        QCOMPARE(form.viewDBSource->highlightRow(), shownColumn(form, 0).indexOf(picked));

        QTest::mouseClick(titles, Qt::LeftButton, {}, titlePoint(form, 1));
        QCOMPARE(shownColumn(form, 1),
                 (QStringList{"u0", "u1", "u2", "u3", "u4", "u5", "u6", "u7", "u8", "u9"}));
        QTest::mouseClick(titles, Qt::LeftButton, {}, titlePoint(form, 2));
        QCOMPARE(shownColumn(form, 2),
                 (QStringList{"p0", "p1", "p2", "p3", "p4", "p5", "p6", "p7", "p8", "p9"}));

        // Neither the right button, nor the corner, nor a press on a title moving off it
        // to a data row makes a title click.
        QTest::mouseClick(titles, Qt::RightButton, {}, titlePoint(form, 0));
        QTest::mouseClick(form.dbView->findChild<QAbstractButton*>(), Qt::LeftButton);
        QTest::mousePress(form.dbView->viewport(), Qt::LeftButton, {}, rowPoint(form, 1));
        QTest::mouseRelease(titles, Qt::LeftButton, {}, titlePoint(form, 0) + QPoint(0, 40));
        QCOMPARE(form.viewDB.ordering(), std::string("PASSWORD"));
        // ...but a press on a row released over a title is one.
        QTest::mousePress(form.dbView->viewport(), Qt::LeftButton, {}, rowPoint(form, 1));
        QTest::mouseRelease(form.dbView->viewport(), Qt::LeftButton, {},
                            titlePoint(form, 1) - QPoint(0, form.dbView->rowHeight()));
        QCOMPARE(form.viewDB.ordering(), std::string("LOGIN"));
    }

    void mouseInTheGrid()
    {
        writeStore(active(), tenEntries());
        tMainForm& form = showForm();
        QSignalSpy doubleClicks(form.dbView, &RecordGrid::gridDoubleClicked);

        // A press on the indicator cell of a row makes it current, like one on its cells.
        QTest::mouseClick(form.dbView->verticalHeader()->viewport(), Qt::LeftButton, {},
                          QPoint(5, rowPoint(form, 6).y()));
        QCOMPARE(form.viewDB.currentRow(), 6);
        QCOMPARE(form.viewDBSource->markFor(6), RecordGridModel::Mark::Current);
        QCOMPARE(form.viewDBSource->markFor(0), RecordGridModel::Mark::None);
        // The right button makes a row current too; the blank area below the rows does not.
        QTest::mouseClick(form.dbView->viewport(), Qt::RightButton, {}, rowPoint(form, 2));
        QCOMPARE(form.viewDB.currentRow(), 2);
        QTest::mouseClick(form.dbView->viewport(), Qt::LeftButton, {},
                          QPoint(50, form.dbView->viewport()->height() - 3));
        QCOMPARE(form.viewDB.currentRow(), 2);
        QCOMPARE(doubleClicks.count(), 0);

        // Double-clicks anywhere: on a row (after its first click made it current), on
        // the blank area and on a title (whose first click reordered the list).
        // They go through the window, as the platform's press-release pairs do. Each
        // opens the notes viewer, closed here with its Close button.
        QTimer closeViewer;
        QObject::connect(&closeViewer, &QTimer::timeout, [] {
            if (auto* viewer = qobject_cast<tNotesForm*>(QApplication::activeModalWidget()))
                QTest::mouseClick(viewer->closeButton, Qt::LeftButton);
        });
        closeViewer.start(10);
        auto doubleClick = [&form](QWidget* part, QPoint at) {
            QTest::mouseDClick(form.windowHandle(), Qt::LeftButton, {}, part->mapTo(&form, at));
        };
        doubleClick(form.dbView->viewport(), rowPoint(form, 4));
        QCOMPARE(form.viewDB.currentRow(), 4);
        QCOMPARE(doubleClicks.count(), 1);
        doubleClick(form.dbView->viewport(), QPoint(50, form.dbView->viewport()->height() - 3));
        QCOMPARE(form.viewDB.currentRow(), 4);
        doubleClick(form.dbView->horizontalHeader()->viewport(), titlePoint(form, 0));
        QCOMPARE(form.viewDB.ordering(), std::string("NAME;LOGIN"));
        QCOMPARE(doubleClicks.count(), 3);
    }

    void listSwitchThereAndBack()
    {
        writeStore(active(), tenEntries());
        tMainForm& form = showForm();
        QTest::mouseClick(form.viewSwapButton, Qt::LeftButton);
        QVERIFY(!form.showingActive);
        QCOMPARE(form.viewSwapButton->text(), QString("&View Active"));
        QCOMPARE(form.editButton->text(), QString("&Delete"));
        QCOMPARE(form.archiveButton->text(), QString("A&rchive It"));
        QVERIFY(!form.addButton->isEnabled());
        QVERIFY(!form.editButton->isEnabled());
        QVERIFY(!form.archiveButton->isEnabled());
        QCOMPARE(form.statusBar->panelText(0), QString("Inactive Passwords/Serials: 0"));
        QCOMPARE(form.statusBar->panelText(1), archive());
        QCOMPARE(form.viewDBSource->markFor(0), RecordGridModel::Mark::Current);

        // An ordering chosen in the archive is in force when the active list comes back.
        QTest::mouseClick(form.dbView->horizontalHeader()->viewport(), Qt::LeftButton, {},
                          titlePoint(form, 2));
        QTest::keyClick(form.dbView, Qt::Key_V, Qt::AltModifier);
        QTRY_VERIFY(form.showingActive);
        QCOMPARE(form.viewSwapButton->text(), QString("&View Archived"));
        QCOMPARE(form.editButton->text(), QString("&Edit"));
        QVERIFY(form.addButton->isEnabled());
        QVERIFY(form.editButton->isEnabled());
        QCOMPARE(form.statusBar->panelText(0), QString("Active Passwords/Serials: 10"));
        QCOMPARE(form.statusBar->panelText(1), active());
        QCOMPARE(shownColumn(form, 2),
                 (QStringList{"p0", "p1", "p2", "p3", "p4", "p5", "p6", "p7", "p8", "p9"}));

        // A change made before a switch is on disk when the list is shown again.
        insertRecord(form.viewDB, {"new", "n", "pw", "", 0});
        form.viewSwapButton->click();
        QVERIFY(namesOnDisk(active()).contains("new"));
        form.viewSwapButton->click();
        QCOMPARE(form.statusBar->panelText(0), QString("Active Passwords/Serials: 11"));
    }

    void keyNavigation()
    {
        std::vector<StoredRecord> entries;
        for (int i = 0; i < 40; ++i)
            entries.push_back({QString("site%1").arg(100 + i), "u", "p", "", 0});
        writeStore(active(), entries);
        tMainForm& form = showForm();
        RecordGrid* grid = form.dbView;
        grid->setFocus();
        const int page = grid->fullRowsShown();
        QVERIFY(page > 5 && page < 40);
        auto press = [grid](Qt::Key key, Qt::KeyboardModifiers mods = {}) {
            QTest::keyClick(grid, key, mods);
        };
        auto row = [&form] { return form.viewDB.currentRow(); };
        auto inView = [grid](int r) {
            return grid->viewport()->rect().contains(grid->visualRect(grid->model()->index(r, 0)));
        };

        press(Qt::Key_Up);
        QCOMPARE(row(), 0);
        press(Qt::Key_Down);
        press(Qt::Key_Right);
        QCOMPARE(row(), 2);
        press(Qt::Key_Left);
        QCOMPARE(row(), 1);
        press(Qt::Key_PageDown);
        QCOMPARE(row(), 1 + page);
        QVERIFY(inView(row()));
        press(Qt::Key_PageUp);
        QCOMPARE(row(), 1);
        press(Qt::Key_End);
        QCOMPARE(row(), 39);
        QVERIFY(inView(39));
        press(Qt::Key_Down);
        QCOMPARE(row(), 39);
        QCOMPARE(form.viewDB.recordCount(), 40);
        press(Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(row(), 0);
        QVERIFY(inView(0));
        press(Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(row(), 39);
        press(Qt::Key_Home);
        QCOMPARE(row(), 0);

        // Ctrl+Down / Ctrl+PgDn: the bottom row in view; Ctrl+Up / Ctrl+PgUp: the top one.
        press(Qt::Key_Down, Qt::ControlModifier);
        QCOMPARE(row(), page - 1);
        press(Qt::Key_Home);
        press(Qt::Key_PageDown, Qt::ControlModifier);
        QCOMPARE(row(), page - 1);
        press(Qt::Key_End);
        const int top = grid->rowAt(0);
        QVERIFY(top > 0);
        // Rows run down whole from the title row, also at the end of the list: the top
        // row in view is whole and the last one stands whole at the bottom.
        QCOMPARE(grid->visualRect(grid->model()->index(top, 0)).top(), 0);
        QCOMPARE(top, 40 - page);
        QVERIFY(inView(39));
        press(Qt::Key_Up);
        press(Qt::Key_Up);
        press(Qt::Key_Down, Qt::ControlModifier);
        QCOMPARE(row(), 39);
        press(Qt::Key_Up);
        press(Qt::Key_PageDown, Qt::ControlModifier);
        QCOMPARE(row(), 39);
        press(Qt::Key_Up, Qt::ControlModifier);
        QCOMPARE(row(), top);
        press(Qt::Key_End);
        press(Qt::Key_PageUp, Qt::ControlModifier);
        QCOMPARE(row(), top);
        QCOMPARE(form.viewDBSource->highlightRow(), top);

        // Keys that do nothing: no edit, no insert, no delete, no type-ahead (typed with
        // letters that are no button's accelerator: E would open Edit).
        const QString before = currentName(form);
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape, Qt::Key_F2, Qt::Key_Insert})
            press(key);
        press(Qt::Key_Delete, Qt::ControlModifier);
        QTest::keyClicks(grid, "sit1");
        QCOMPARE(form.viewDB.recordCount(), 40);
        QCOMPARE(currentName(form), before);
        QCOMPARE(form.viewDB.state(), TableState::Browsing);
        QVERIFY(form.showingActive);
        QCOMPARE(QApplication::focusWidget(), grid);
        press(Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), form.helpButton);
    }

    void plainLetterAcceleratorsAndExit()
    {
        writeStore(active(), tenEntries());
        tMainForm& form = showForm();
        form.dbView->setFocus();
        QTest::keyClick(form.dbView, Qt::Key_V);
        QVERIFY(!form.showingActive);
        // Add is disabled in the archive: A presses nothing; Search never takes S.
        form.editButton->setFocus();
        QTest::keyClick(form.editButton, Qt::Key_A);
        QTest::keyClick(form.editButton, Qt::Key_S);
        QVERIFY(!form.showingActive);
        QTest::keyClick(form.editButton, Qt::Key_V);
        QVERIFY(form.showingActive);

        // X on the grid leaves exactly as Exit does: the change is written, the window closes.
        insertRecord(form.viewDB, {"added", "l", "p", "", 0});
        form.dbView->setFocus();
        QTest::keyClick(form.dbView, Qt::Key_X);
        QVERIFY(!form.isVisible());
        QVERIFY(!form.viewDB.isOpen());
        QCOMPARE(namesOnDisk(active()).size(), 11);
        QVERIFY(namesOnDisk(active()).contains("added"));
    }

    void closeBoxWritesChanges()
    {
        tMainForm& form = showForm();
        insertRecord(form.viewDB, {"one", "l", "p", "", 1});
        form.windowHandle()->close();
        QVERIFY(!form.isVisible());
        QVERIFY(!form.viewDB.isOpen());
        QCOMPARE(namesOnDisk(active()), QStringList{"one"});
    }

    void writeFailureKeepsWindowOpen()
    {
        tMainForm& form = showForm();
        insertRecord(form.viewDB, {"kept", "l", "p", "", 0});
        const QString unwritable = dir().filePath("missing/kestrin.db");
        form.viewDB.setFileName(tablePath(unwritable));

        // Exit: the error is shown under the application's title and the window stays.
        auto seen = answerNextBox();
        QTest::mouseClick(form.exitButton, Qt::LeftButton);
        QTRY_VERIFY(seen->shown);
        QCOMPARE(seen->caption, applicationTitle());
        QVERIFY(seen->text.contains("missing"));
        QVERIFY(seen->text.endsWith('.'));
        QVERIFY(form.isVisible());
        QVERIFY(form.viewDB.isOpen());
        QCOMPARE(form.viewDB.recordCount(), 1);

        // The close box: the same.
        seen = answerNextBox();
        form.windowHandle()->close();
        QTRY_VERIFY(seen->shown);
        QVERIFY(form.isVisible());
        QCOMPARE(form.viewDB.recordCount(), 1);

        // The teardown write throws for its caller to report.
        QVERIFY_THROWS_EXCEPTION(RecordTableError, form.writeStoreForTeardown());

        // Once the file can be written, Exit writes it and closes the window.
        form.viewDB.setFileName(tablePath(active()));
        QTest::mouseClick(form.exitButton, Qt::LeftButton);
        QVERIFY(!form.isVisible());
        QCOMPARE(namesOnDisk(active()), QStringList{"kept"});
    }

    void damagedStoreIsReportedAndLeftAlone()
    {
        const QByteArray damaged("this is no store of ours\n");
        QVERIFY(writeBytes(active(), damaged));
        QString expected;
        try {
            RecordTable probe("viewDB");
            probe.setFileName(tablePath(active()));
            openStore(probe);
        } catch (const RecordTableError& error) {
            expected = unexpectedErrorText(QString::fromStdString(error.what()));
        }
        QVERIFY(!expected.isEmpty());

        auto seen = answerNextBox();
        tMainForm& form = showForm();
        QTRY_VERIFY(seen->shown);
        QCOMPARE(seen->caption, applicationTitle());
        QCOMPARE(seen->text, expected);
        QVERIFY(form.isVisible());
        QCOMPARE(disclaimerAsked_, 0);
        QVERIFY(!form.viewDB.isOpen());
        QCOMPARE(form.statusBar->panelText(0), QString());
        QCOMPARE(form.statusBar->panelText(1), QString());
        QCOMPARE(form.dbView->model()->rowCount(), 1);
        QCOMPARE(form.viewDBSource->highlightRow(), -1);
        QCOMPARE(form.viewDBSource->markFor(0), RecordGridModel::Mark::None);
        // Keys on the closed grid raise nothing and do nothing.
        QTest::keyClick(form.dbView, Qt::Key_Down);

        // Leaving writes nothing over the damaged active().
        QTest::mouseClick(form.exitButton, Qt::LeftButton);
        QVERIFY(!form.isVisible());
        form_.reset();
        QCOMPARE(bytesOf(active()), damaged);
    }

    void switchToDamagedArchiveAndBack()
    {
        writeStore(active(), tenEntries());
        QVERIFY(writeBytes(archive(), "garbage"));
        tMainForm& form = showForm();
        auto seen = answerNextBox();
        QTest::mouseClick(form.viewSwapButton, Qt::LeftButton);
        QTRY_VERIFY(seen->shown);
        // The new view's captions are set, the list stays closed, the status bar keeps its text.
        QCOMPARE(form.viewSwapButton->text(), QString("&View Active"));
        QVERIFY(!form.addButton->isEnabled());
        QVERIFY(!form.viewDB.isOpen());
        QCOMPARE(form.statusBar->panelText(0), QString("Active Passwords/Serials: 10"));
        QCOMPARE(form.viewDBSource->highlightRow(), -1);
        QTest::mouseClick(form.viewSwapButton, Qt::LeftButton);
        QVERIFY(form.viewDB.isOpen());
        QCOMPARE(form.viewDB.recordCount(), 10);
        QCOMPARE(form.statusBar->panelText(0), QString("Active Passwords/Serials: 10"));
    }
};

int main(int argc, char** argv)
{
    QuorrelApplication application(argc, argv);
    MainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
