#pragma once
// Helpers shared by the window tests: answering modal windows with real keys and
// clicks, always within a bound so no test hangs; running a dialog's modal loop;
// store files written and read back through a RecordTable; and a main window shown
// over a temporary folder of its own with its disclaimer answered.

#include "store/RecordStore.h"
#include "ui/main/mainUnit.h"
#include "ui/main/recordGrid.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFile>
#include <QHeaderView>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <ranges>
#include <string>
#include <vector>

namespace uiTest {

// --- Answering modal windows.

// What a test does to a modal window it met: a real key press or click.
using Answer = std::function<void(QWidget* window)>;

namespace answer {

// Presses the key in the focused control of the window (or the window itself).
inline Answer press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    return [key, modifiers](QWidget* window) {
        // Never a control of another window: on a loaded machine the focus may not
        // have reached a box yet, and Return would press a button under it.
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus && focus->window() == window ? focus : window, key, modifiers);
    };
}

// Presses the key through the window system, as the platform delivers it.
inline Answer pressOnWindow(Qt::Key key)
{
    return [key](QWidget* window) { QTest::keyClick(window->windowHandle(), key); };
}

// Clicks the visible button with this caption; a window without one is closed.
inline Answer click(const QString& caption)
{
    return [caption](QWidget* window) {
        for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
            if (button->text() == caption && button->isVisible()) {
                QTest::mouseClick(button, Qt::LeftButton);
                return;
            }
        }
        qWarning("no button %s", qPrintable(caption));
        window->close();
    };
}

}  // namespace answer

// Caption and text of a message box a test answered.
struct SeenBox {
    bool shown = false;
    QString caption, text;
};

// Watches for the next message box and answers it. Watching ends when the watcher is
// destroyed, once a box is answered, or after five seconds; a box still open two
// seconds after its answer is closed.
class BoxAnswerer : public SeenBox {
public:
    explicit BoxAnswerer(Answer answer) : answer_(std::move(answer))
    {
        QObject::connect(&poll_, &QTimer::timeout, [this] { tick(); });
        poll_.start(10);
    }
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

private:
    void tick()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) {
            if (deadline_.hasExpired())
                poll_.stop();
            return;
        }
        if (QApplication::activeWindow() != box && !deadline_.hasExpired()) {
            // Not active yet (the offscreen platform activates a box late on a
            // loaded machine): a key now would reach the window under it.
            box->activateWindow();
            return;
        }
        poll_.stop();
        shown = true;
        caption = box->windowTitle();
        text = box->text();
        answer_(box);
        QTimer::singleShot(2000, box, [box] {
            if (box->isVisible())
                box->done(0);
        });
    }

    Answer answer_;
    QTimer poll_;
    QDeadlineTimer deadline_{5000};
};

// Answers the next message box (by default with Return) while the caller goes on.
inline std::unique_ptr<BoxAnswerer> answerNextBox(Answer answer = answer::press(Qt::Key_Return))
{
    return std::make_unique<BoxAnswerer>(std::move(answer));
}

// Runs action, answering the message box it may show; returns what was seen of it.
inline SeenBox answeringBox(const std::function<void()>& action,
                            Answer answer = answer::press(Qt::Key_Return))
{
    const BoxAnswerer watcher(std::move(answer));
    action();
    return watcher;
}

// Answers the modal windows that a command opens, one step per window, in order, while
// run() carries out a user action. A step runs once its window is the active window. A
// window that no step is left for is noted and closed, and after ten seconds whatever
// is still open is closed, so no test can hang.
class ModalScript : public QObject {
public:
    explicit ModalScript(std::vector<Answer> steps) : steps_(steps.begin(), steps.end())
    {
        connect(&timer_, &QTimer::timeout, this, &ModalScript::tick);
    }

    void run(const std::function<void()>& action)
    {
        deadline_ = QDeadlineTimer(10000);
        acted_ = nullptr;
        timer_.start(10);
        action();
        timer_.stop();
    }

    bool finished() const { return steps_.empty() && unexpected.isEmpty(); }

    QStringList boxCaptions;  // of each message box met, in order
    QStringList boxTexts;
    QStringList unexpected;   // windows met with no step left, or after the deadline

private:
    void tick()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) {
            acted_ = nullptr;
            return;
        }
        if (deadline_.hasExpired()) {
            unexpected << "still open at the deadline: " + modal->windowTitle();
            modal->close();
            return;
        }
        if (modal == acted_)
            return;
        if (steps_.empty()) {
            unexpected << modal->windowTitle();
            acted_ = modal;
            modal->close();
            return;
        }
        if (QApplication::activeWindow() != modal) {
            // A window that comes back from under a closed box is not always made
            // active again by the offscreen platform.
            modal->activateWindow();
            return;
        }
        acted_ = modal;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxCaptions << box->windowTitle();
            boxTexts << box->text();
        }
        // The step runs from an event of its own: a window that it opens in turn (a box
        // over the dialog) is then answered by this timer, which does not fire again
        // while its own handler runs.
        QTimer::singleShot(0, modal, [modal, step = std::move(steps_.front())] { step(modal); });
        steps_.pop_front();
    }

    std::deque<Answer> steps_;
    QPointer<QWidget> acted_;
    QTimer timer_;
    QDeadlineTimer deadline_;
};

// --- Dialogs run modally.

// True once the window itself is the active window (a dialog over an owner counts as
// active for the window system as soon as its owner is).
inline bool waitUntilActive(QWidget& window)
{
    return QTest::qWaitFor([&window] { return QApplication::activeWindow() == &window; }, 5000);
}

// Shows a plain owner window at this place; false if it never appears.
inline bool showOwner(QWidget& owner, const QRect& geometry)
{
    owner.setGeometry(geometry);
    owner.show();
    return QTest::qWaitForWindowExposed(&owner);
}

// Where a window of this outer size goes when centred over owner's outer frame: the
// halving truncates toward zero, and the place is never left of or above 0.
inline QPoint centredOver(const QWidget& owner, const QSize& outer)
{
    const QRect frame = owner.frameGeometry();
    return {std::max(0, frame.left() + (frame.width() - outer.width()) / 2),
            std::max(0, frame.top() + (frame.height() - outer.height()) / 2)};
}

// exec()'s result for a dialog that no answer ended in time.
constexpr int timedOut = 99;

// Shows the dialog modally, runs action inside its event loop once it is active and
// returns exec()'s result; a dialog still open five seconds later ends with timedOut.
// A dialog that never becomes active fails the test.
inline int execWith(QDialog& dialog, const std::function<void()>& action)
{
    bool acted = false;
    QTimer::singleShot(0, &dialog, [&dialog, &action, &acted] {
        if (waitUntilActive(dialog)) {
            acted = true;
            action();
        }
    });
    QTimer safety;
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, &dialog, [&dialog] { dialog.done(timedOut); });
    safety.start(5000);
    const int result = dialog.exec();
    if (!acted)
        QTest::qFail("the dialog never became the active window", __FILE__, __LINE__);
    return result;
}

// --- Store files.

// One record as the window tests write and read it.
struct StoredRecord {
    QString name, login, password, notes;
    int type = 0;
    friend bool operator==(const StoredRecord&, const StoredRecord&) = default;
};

// Records are printed whole when a comparison fails.
inline char* toString(const StoredRecord& record)
{
    return QTest::toString(QStringLiteral("{%1|%2|%3|%4|%5}")
                               .arg(record.name, record.login, record.password, record.notes)
                               .arg(record.type));
}

// A path as the record table takes it.
inline std::string tablePath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// A file's bytes, or "<missing>" when it cannot be read.
inline QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Writes these bytes as the whole file; false if it cannot be written.
inline bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Inserts the record into an open table, before its current record.
inline void insertRecord(RecordTable& table, const StoredRecord& r)
{
    table.insertValues({r.name.toStdString(), r.login.toStdString(), r.password.toStdString(),
                        r.notes.toStdString(), std::int32_t{r.type}});
}

// Writes a store file holding the records in this storage order. (An insert goes
// before the current record, which is the one inserted last, so they go in back to
// front.)
inline void writeStore(const QString& path, const std::vector<StoredRecord>& records)
{
    RecordTable table;
    table.setFileName(tablePath(path));
    openStore(table);
    for (const StoredRecord& r : std::views::reverse(records))
        insertRecord(table, r);
    table.close();
}

// Every record of an open table in the order it shows them.
inline std::vector<StoredRecord> recordsOf(const RecordTable& table)
{
    std::vector<StoredRecord> records;
    const auto text = [&table](int row, const char* field) {
        return QString::fromStdString(table.rowText(row, table.fieldIndex(field)));
    };
    for (int row = 0; row < table.recordCount(); ++row)
        records.push_back({text(row, "NAME"), text(row, "LOGIN"), text(row, "PASSWORD"),
                           text(row, "NOTES"), text(row, "RECTYPE").toInt()});
    return records;
}

// The records of a store file in the order the file holds them.
inline std::vector<StoredRecord> recordsOnDisk(const QString& path)
{
    RecordTable table;
    table.setFileName(tablePath(path));
    table.open();
    return recordsOf(table);
}

// The NAME field of each record of a store file, in the order the file holds them.
inline QStringList namesOnDisk(const QString& path)
{
    QStringList names;
    for (const StoredRecord& record : recordsOnDisk(path))
        names << record.name;
    return names;
}

// --- The main window.

// Where a click on the title of this grid column lands.
inline QPoint titlePoint(const tMainForm& form, int column)
{
    const QHeaderView* titles = form.dbView->horizontalHeader();
    return {titles->sectionViewportPosition(column) + 20, titles->height() / 2};
}

// Where a click on this grid row lands, in the grid's viewport.
inline QPoint rowPoint(const tMainForm& form, int row)
{
    return {50, form.dbView->rowViewportPosition(row) + form.dbView->rowHeight() / 2};
}

// A main window over a temporary folder of its own; disclaimerGate answers its
// disclaimer (agreeing unless a test says otherwise).
class MainWindowFixture {
protected:
    std::optional<QTemporaryDir> folder_;
    std::unique_ptr<tMainForm> form_;
    std::function<bool(QWidget*)> disclaimerGate_ = [](QWidget*) { return true; };

    const QTemporaryDir& dir() const { return *folder_; }
    QString active() const { return folder_->filePath("kestrin.db"); }
    QString archive() const { return folder_->filePath("inactive.db"); }

    // A fresh folder for the next test; false if none could be made.
    bool newFolder()
    {
        folder_.emplace();
        return folder_->isValid();
    }

    tMainForm& showForm()
    {
        form_ = std::make_unique<tMainForm>(folder_->path());
        form_->disclaimerGate = disclaimerGate_;
        form_->show();
        // A declined disclaimer closes the window during its showing: nothing to wait for.
        if (form_->isVisible() && !QTest::qWaitForWindowActive(form_.get()))
            qWarning("main window did not become active");
        return *form_;
    }
};

}  // namespace uiTest
