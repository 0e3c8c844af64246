// The application object and the program's life cycle: the title and error-text
// rules, errors escaping real event handlers, and whole runs of the life cycle in a
// child process (closing the window, a failing teardown write, termination signals).

#include "app/QuorrelApplication.h"
#include "app/lifeCycle.h"
#include "app/platform.h"
#include "store/FieldTypes.h"
#include "uiTestSupport.h"

#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QDialog>
#include <QKeyEvent>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>

using namespace uiTest;

namespace {

class ThrowingKeys : public QWidget {
public:
    QString typed;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->key() == Qt::Key_F5)
            throw RecordTableError("kestrin: Key not found");
        typed += event->text();
    }
};

class ThrowingClose : public QWidget {
public:
    bool failNextClose = true;

protected:
    void closeEvent(QCloseEvent* event) override
    {
        if (failNextClose) {
            failNextClose = false;
            throw RecordTableError("kestrin: Cannot create file");
        }
        event->accept();
    }
};

void clickCentre(QWidget* widget)
{
    const QPoint centre = widget->mapTo(widget->window(), widget->rect().center());
    QTest::mouseClick(widget->window()->windowHandle(), Qt::LeftButton, {}, centre);
}

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Asks, at its first showing, a modal question that is declined, and closes itself.
class ClosedWhileShown : public QWidget {
protected:
    void showEvent(QShowEvent* event) override
    {
        QWidget::showEvent(event);
        if (asked_)
            return;
        asked_ = true;
        QDialog question(this);
        QTimer::singleShot(0, &question, [&question] { question.done(2); });
        question.exec();
        close();
    }

private:
    bool asked_ = false;
};

// Tells when its first showing runs: the main window's opens the store and asks the
// disclaimer.
class TellsFirstShowing : public QWidget {
protected:
    void showEvent(QShowEvent* event) override
    {
        QWidget::showEvent(event);
        if (!shown_)
            say(QStringLiteral("first showing"));
        shown_ = true;
    }

private:
    bool shown_ = false;
};

// A minimised start: the task-bar entry waits with the main window hidden; the user
// restores the program from it, or closes it from the task bar.
int minimisedStart(const QString& mode)
{
    TellsFirstShowing window;
    window.resize(200, 100);
    QTimer::singleShot(0, &window, [&] {
        QWidget* entry = nullptr;
        for (QWidget* shown : QApplication::topLevelWidgets()) {
            if (shown != &window && shown->isVisible())
                entry = shown;
        }
        if (!entry) {
            say(QStringLiteral("no task-bar entry"));
            QCoreApplication::quit();
            return;
        }
        say(QStringLiteral("waiting|%1|minimised %2|main shown %3")
                .arg(entry->windowTitle())
                .arg(bool(entry->windowState() & Qt::WindowMinimized))
                .arg(window.isVisible()));
        if (mode == u"minimised-close") {
            entry->windowHandle()->close();
            return;
        }
        entry->showNormal();
        QTimer::singleShot(0, &window, [&window, entry] {
            say(QStringLiteral("restored|entry shown %1|main normal %2")
                    .arg(entry->isVisible())
                    .arg(window.isVisible() && window.windowState() == Qt::WindowNoState));
            window.close();
        });
    });
    return runProgram(*qApp, window, [] { say(QStringLiteral("teardown written")); },
                      ShowRequest::MinimizedNoActivate);
}

class RefusesToClose : public QWidget {
protected:
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

// Child processes run one whole life cycle and tell the parent on standard output.
int runChild(const QString& mode)
{
    if (mode == u"closed-while-shown") {
        ClosedWhileShown window;
        return runProgram(*qApp, window, [] { say(QStringLiteral("teardown written")); });
    }

    if (mode.startsWith(u"minimised-"))
        return minimisedStart(mode);

    if (mode == u"quit-with-refusing-window") {
        // The session's end arrives as a quit request; a window that refuses to close
        // cannot hold the program.
        RefusesToClose window;
        QTimer::singleShot(0, &window, [&window] {
            if (QTest::qWaitForWindowExposed(&window))
                QCoreApplication::quit();
        });
        return runProgram(*qApp, window, [] { say(QStringLiteral("teardown written")); });
    }

    QWidget window;
    window.resize(200, 100);

    if (mode == u"close-failing-write") {
        QTimer::singleShot(0, &window, [&] {
            if (QTest::qWaitForWindowExposed(&window))
                window.windowHandle()->close();
        });
        std::unique_ptr<BoxAnswerer> box;
        const int code = runProgram(*qApp, window, [&] {
            box = answerNextBox(answer::pressOnWindow(Qt::Key_Return));
            throw RecordTableError("kestrin: Cannot create \"/x/kestrin.db\": Permission denied");
        });
        if (box)
            say(QStringLiteral("box %1|%2|%3").arg(box->shown).arg(box->caption, box->text));
        return code;
    }

    // Termination signals, with or without a modal dialog open.
    endEventLoopOnTerminationSignals(qApp);
    QDialog dialog(&window);
    QTimer::singleShot(0, &window, [&] {
        if (!QTest::qWaitForWindowExposed(&window))
            return;
        if (mode == u"signal") {
            say(QStringLiteral("ready"));
            return;
        }
        QTimer::singleShot(0, &dialog, [] { say(QStringLiteral("ready")); });
        say(QStringLiteral("dialog %1").arg(dialog.exec()));
    });
    const int code = runProgram(*qApp, window, [] { say(QStringLiteral("teardown written")); });
    return code;
}

// Starts this test program again as a child that runs one life cycle in this mode.
void startChild(QProcess& child, const QString& mode)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUORREL_TEST_CHILD"), mode);
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {});
}

// Runs a child in this mode to its end; false when it had to be killed.
bool runChildToEnd(QProcess& child, const QString& mode)
{
    startChild(child, mode);
    const bool finished = child.waitForFinished(10000);
    if (!finished)
        child.kill();
    return finished;
}

QString readUntil(QProcess& process, const QString& wanted)
{
    QString output;
    const QDeadlineTimer deadline(10000);
    while (!output.contains(wanted) && !deadline.hasExpired() && process.state() == QProcess::Running) {
        process.waitForReadyRead(100);
        output += QString::fromLocal8Bit(process.readAllStandardOutput());
    }
    return output;
}

}  // namespace

class TestApplication : public QObject {
    Q_OBJECT

private slots:
    void titleRule_data();
    void titleRule();
    void errorTextRule_data();
    void errorTextRule();

    void errorFromClickedSlotIsReported();
    void errorFromKeyHandlerIsReported();
    void errorFromCloseHandlerKeepsTheWindowOpen();

    void closingTheWindowEndsWithZeroAndFailedWriteIsShown();
    void quitRequestEndsTheProgram_data();
    void quitRequestEndsTheProgram();
    void terminationSignalEndsInOrder_data();
    void terminationSignalEndsInOrder();
    void minimisedStartWaitsForRestore_data();
    void minimisedStartWaitsForRestore();
};

void TestApplication::titleRule_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("title");
    QTest::newRow("upper case with extension") << "C:\\Tools\\PASSWORDS.EXE" << "Passwords";
    QTest::newRow("cut at the first dot") << "C:\\Tools\\my.keeper.exe" << "my";
    QTest::newRow("posix path") << "/opt/quorrel/bin/QUORREL" << "Quorrel";
    QTest::newRow("dot in a folder only") << "/home/a.b/Keeper" << "Keeper";
    QTest::newRow("mixed separators") << "D:/apps\\sub/MyKeeper.Tool.exe" << "Mykeeper";
    QTest::newRow("bare name") << "passwords.exe" << "passwords";
    QTest::newRow("no dot") << "x\\LIST" << "List";
    QTest::newRow("single character") << "/q.exe" << "q";
    QTest::newRow("name starting with a dot") << "/usr/bin/.hidden" << "";
    QTest::newRow("empty") << "" << "";
}

void TestApplication::titleRule()
{
    QFETCH(QString, path);
    QFETCH(QString, title);
    QCOMPARE(applicationTitleFromPath(path), title);
}

void TestApplication::errorTextRule_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("empty") << "" << "";
    QTest::newRow("letter") << "Error loading the dataset engine" << "Error loading the dataset engine.";
    QTest::newRow("full stop") << "Disk full." << "Disk full.";
    QTest::newRow("closing parenthesis") << "Cannot open (locked)" << "Cannot open (locked)";
    QTest::newRow("hyphen, below the full stop") << "a-" << "a-";
    QTest::newRow("slash, above the full stop") << "C:/" << "C:/.";
    QTest::newRow("digit") << "code 5" << "code 5.";
    QTest::newRow("space") << "trailing " << "trailing ";
    QTest::newRow("quote") << "kestrin: \"x\"" << "kestrin: \"x\"";
}

void TestApplication::errorTextRule()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(unexpectedErrorText(text), shown);
}

void TestApplication::errorFromClickedSlotIsReported()
{
    auto* application = dynamic_cast<QuorrelApplication*>(qApp);
    QVERIFY(application);
    QCOMPARE(application->title(), QStringLiteral("tst_application"));  // first character kept as is

    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* button = new QPushButton(QStringLiteral("Go"), &window);
    layout->addWidget(button);
    int clicks = 0;
    QObject::connect(button, &QPushButton::clicked, &window, [&clicks] {
        ++clicks;
        if (clicks == 1)
            throw RecordTableError("viewDB: Cannot create file");
        if (clicks == 2)
            throw 42;
    });
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    const SeenBox first = answeringBox([&] { clickCentre(button); }, answer::pressOnWindow(Qt::Key_Return));
    QVERIFY(first.shown);
    QCOMPARE(first.caption, application->title());
    QCOMPARE(first.text, QStringLiteral("viewDB: Cannot create file."));
    QVERIFY(!button->isDown());

    // An exception of no known kind is reported too.
    const SeenBox second = answeringBox([&] { clickCentre(button); }, answer::pressOnWindow(Qt::Key_Escape));
    QVERIFY(second.shown);
    QCOMPARE(second.caption, application->title());
    QCOMPARE(second.text, QStringLiteral("Unknown error."));

    // The program carries on: the next click is delivered as usual, without a box.
    clickCentre(button);
    QCOMPARE(clicks, 3);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    QVERIFY(window.isVisible());
}

void TestApplication::errorFromKeyHandlerIsReported()
{
    ThrowingKeys window;
    window.setFocusPolicy(Qt::StrongFocus);
    window.resize(120, 60);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.setFocus();

    QTest::keyClick(window.windowHandle(), Qt::Key_A);
    const SeenBox seen = answeringBox([&] { QTest::keyClick(window.windowHandle(), Qt::Key_F5); },
                                      answer::pressOnWindow(Qt::Key_Return));
    QVERIFY(seen.shown);
    QCOMPARE(seen.caption, applicationTitle());
    QCOMPARE(seen.text, QStringLiteral("kestrin: Key not found."));

    // Keys typed afterwards reach the handler again; the failed key left nothing behind.
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(window.windowHandle(), Qt::Key_B);
    QCOMPARE(window.typed, QStringLiteral("ab"));
}

void TestApplication::errorFromCloseHandlerKeepsTheWindowOpen()
{
    ThrowingClose window;
    window.resize(120, 60);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Closed the way the window's close box closes it.
    const SeenBox seen = answeringBox([&] { window.windowHandle()->close(); },
                                      answer::pressOnWindow(Qt::Key_Return));
    QVERIFY(seen.shown);
    QCOMPARE(seen.caption, applicationTitle());
    QCOMPARE(seen.text, QStringLiteral("kestrin: Cannot create file."));
    QVERIFY(window.isVisible());

    window.windowHandle()->close();
    QVERIFY(!window.isVisible());
}

void TestApplication::closingTheWindowEndsWithZeroAndFailedWriteIsShown()
{
    QProcess child;
    startChild(child, QStringLiteral("close-failing-write"));
    QVERIFY(child.waitForFinished(20000));
    const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QVERIFY2(output.contains(QStringLiteral(
                 "box 1|tst_application|kestrin: Cannot create \"/x/kestrin.db\": Permission denied.")),
             qPrintable(output));
}

void TestApplication::quitRequestEndsTheProgram_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("main window closed during its first showing") << "closed-while-shown";
    QTest::newRow("quit while a window refuses to close") << "quit-with-refusing-window";
}

void TestApplication::quitRequestEndsTheProgram()
{
    QFETCH(QString, mode);
    QProcess child;
    QVERIFY2(runChildToEnd(child, mode), "the program kept running after it was asked to end");
    QCOMPARE(child.exitCode(), 0);
    QVERIFY(QString::fromLocal8Bit(child.readAllStandardOutput()).contains(QStringLiteral("teardown written")));
}

void TestApplication::terminationSignalEndsInOrder_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << "signal" << SIGTERM;
    QTest::newRow("SIGHUP") << "signal" << SIGHUP;
    QTest::newRow("SIGINT") << "signal" << SIGINT;
    QTest::newRow("SIGTERM with a modal dialog open") << "signal-modal" << SIGTERM;
}

void TestApplication::terminationSignalEndsInOrder()
{
    QFETCH(QString, mode);
    QFETCH(int, signalNumber);
    QProcess child;
    startChild(child, mode);
    QVERIFY(child.waitForStarted(10000));
    QString output = readUntil(child, QStringLiteral("ready"));
    QVERIFY2(output.contains(QStringLiteral("ready")), qPrintable(output));

    QCOMPARE(::kill(static_cast<pid_t>(child.processId()), signalNumber), 0);
    QVERIFY(child.waitForFinished(10000));
    output += QString::fromLocal8Bit(child.readAllStandardOutput());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QVERIFY2(output.contains(QStringLiteral("teardown written")), qPrintable(output));
    if (mode == u"signal-modal")
        QVERIFY2(output.contains(QStringLiteral("dialog 0")), qPrintable(output));
}

void TestApplication::minimisedStartWaitsForRestore_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("lines");
    const QString waiting = QStringLiteral("waiting|tst_application|minimised 1|main shown 0");
    QTest::newRow("restored") << "minimised-restore"
                              << QStringList{waiting, "first showing",
                                             "restored|entry shown 0|main normal 1",
                                             "teardown written"};
    // Closed from the task bar: the first showing, which opens the store, never runs.
    QTest::newRow("closed from the task bar") << "minimised-close"
                                              << QStringList{waiting, "teardown written"};
}

void TestApplication::minimisedStartWaitsForRestore()
{
    QFETCH(QString, mode);
    QFETCH(QStringList, lines);
    QProcess child;
    QVERIFY2(runChildToEnd(child, mode), "the program kept running");
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(QString::fromLocal8Bit(child.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts),
             lines);
}

int main(int argc, char* argv[])
{
    QuorrelApplication application(argc, argv);
    const QString childMode = qEnvironmentVariable("QUORREL_TEST_CHILD");
    if (!childMode.isEmpty())
        return runChild(childMode);
    TestApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_application.moc"
