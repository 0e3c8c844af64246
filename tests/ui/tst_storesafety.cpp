// The main window never writes over a store it could not read, whatever the user
// does before leaving; a store it cannot write keeps the program open with every
// record until a later Exit, once the cause is gone, writes them; and a store another
// copy changed meanwhile keeps both copies' records.

#include "app/QuorrelApplication.h"
#include "store/RecordStore.h"
#include "ui/dialogs/addUnit.h"
#include "ui/main/mainUnit.h"
#include "uiTestSupport.h"
#include "../fileSizeLimit.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <functional>

#include <sys/stat.h>

using namespace uiTest;
using answer::press;

namespace {

// Fills the entry dialog with a new login and presses OK.
Answer addLogin(const QString& name, const QString& login)
{
    return [=](QWidget* window) {
        auto* dialog = qobject_cast<tAddForm*>(window);
        if (!dialog) {
            qWarning("expected the entry dialog, met %s", qPrintable(window->windowTitle()));
            window->close();
            return;
        }
        for (auto [field, text] : {std::pair{dialog->nameEdit, name}, std::pair{dialog->loginEdit, login},
                                   std::pair{dialog->passwordEdit, QString("pw")}}) {
            QTest::mouseClick(field, Qt::LeftButton);
            QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClicks(field, text);
        }
        QTest::mouseClick(dialog->Button1, Qt::LeftButton);
    };
}

// What identifies one writing of a file: a rewrite, even with the same bytes, changes
// the inode (the store is replaced, not rewritten in place) or the time.
struct Written {
    QByteArray bytes;
    ino_t inode = 0;
    qint64 modifiedNs = 0;
    bool operator==(const Written&) const = default;
};

Written writtenOf(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return {bytesOf(path), info.st_ino, qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

}  // namespace

class StoreSafetyTest : public QObject, private MainWindowFixture {
    Q_OBJECT

private slots:
    void init() { QVERIFY(newFolder()); }
    void cleanup() { form_.reset(); }

    // A real store with one damaged byte: the user adds, reorders, switches to the
    // archive and back, then tries Edit and Archive, which the archive's record left
    // enabled, and leaves. Every command that needs the list reports its error; the
    // damaged file is never replaced and no temporary file is left.
    void aStoreThatFailsToOpenIsNeverWritten()
    {
        writeStore(active(), {{"Bank", "jo", "secret", "notes", 0}, {"Memorable", "mum", "maiden", "", 1}});
        writeStore(archive(), {{"Old", "x", "y", "", 0}});
        QByteArray damaged = bytesOf(active());
        damaged[damaged.size() / 2] = char(damaged[damaged.size() / 2] ^ 0x10);
        QVERIFY(writeBytes(active(), damaged));
        const Written before = writtenOf(active());

        auto opening = answerNextBox();
        tMainForm& form = showForm();
        QTRY_VERIFY(opening->shown);
        QVERIFY(!form.viewDB.isOpen());

        // Add: the dialog is filled and accepted; the closed list refuses the record.
        QVERIFY(form.addButton->isEnabled());
        ModalScript add({addLogin("new", "me"), press(Qt::Key_Return)});
        add.run([&] { QTest::mouseClick(form.addButton, Qt::LeftButton); });
        QVERIFY2(add.finished(), qPrintable(add.unexpected.join(", ")));
        QCOMPARE(add.boxCaptions, QStringList{applicationTitle()});
        // A title click orders nothing yet.
        QTest::mouseClick(form.dbView->horizontalHeader()->viewport(), Qt::LeftButton, {},
                          titlePoint(form, 1));

        // To the archive and back: the active list fails to open again.
        QTest::mouseClick(form.viewSwapButton, Qt::LeftButton);
        QVERIFY(form.viewDB.isOpen());
        QCOMPARE(form.viewDB.recordCount(), 1);
        ModalScript back({press(Qt::Key_Return)});
        back.run([&] { QTest::mouseClick(form.viewSwapButton, Qt::LeftButton); });
        QVERIFY2(back.finished(), qPrintable(back.unexpected.join(", ")));
        QVERIFY(form.showingActive);
        QVERIFY(!form.viewDB.isOpen());

        // Edit and Archive, still enabled from the archive's record, read the closed list.
        QVERIFY(form.editButton->isEnabled());
        QVERIFY(form.archiveButton->isEnabled());
        for (QPushButton* button : {form.editButton, form.archiveButton}) {
            ModalScript command({press(Qt::Key_Return)});
            command.run([&] { QTest::mouseClick(button, Qt::LeftButton); });
            QVERIFY2(command.finished(), qPrintable(button->text() + ": " + command.unexpected.join(", ")));
            QCOMPARE(command.boxCaptions, QStringList{applicationTitle()});
        }
        QVERIFY(!form.viewDB.isOpen());
        QCOMPARE(writtenOf(active()), before);
        QCOMPARE(namesOnDisk(archive()), QStringList{"Old"});

        QTest::mouseClick(form.exitButton, Qt::LeftButton);
        QVERIFY(!form.isVisible());
        form_.reset();
        QCOMPARE(writtenOf(active()), before);
        const QStringList left = QDir(dir().path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QVERIFY2(left.filter(".tmp").isEmpty(), qPrintable(left.join(", ")));
    }

    // The disk refuses the store's new size at Exit: the error is shown, the window
    // stays with every record, the old file is whole. Once the limit is gone, the next
    // Exit writes what the user added.
    void aWriteThatFailsAtExitKeepsEverythingUntilALaterExit()
    {
        writeStore(active(), {{"Bank", "jo", "secret", "notes", 0}});
        const Written before = writtenOf(active());
        tMainForm& form = showForm();
        QCOMPARE(form.viewDB.recordCount(), 1);

        ModalScript add({addLogin("Shop", "me")});
        add.run([&] { QTest::mouseClick(form.addButton, Qt::LeftButton); });
        QVERIFY2(add.finished(), qPrintable(add.unexpected.join(", ")));
        for (int i = 0; i < 40; ++i)
            insertRecord(form.viewDB, {QString("site%1").arg(i), QString(40, 'l'), QString(50, 'p'), "", 0});
        QCOMPARE(form.viewDB.recordCount(), 42);

        FileSizeLimit limit(2048);
        QVERIFY(limit.active());
        ModalScript exit({press(Qt::Key_Return)});
        exit.run([&] { QTest::mouseClick(form.exitButton, Qt::LeftButton); });
        QVERIFY2(exit.finished(), qPrintable(exit.unexpected.join(", ")));
        QCOMPARE(exit.boxCaptions, QStringList{applicationTitle()});
        QCOMPARE(exit.boxTexts,
                 QStringList{"Cannot create file \"" + QFileInfo(active()).absoluteFilePath() + "\". File too large."});
        QVERIFY(form.isVisible());
        QVERIFY(form.viewDB.isOpen());
        QCOMPARE(form.viewDB.recordCount(), 42);
        QCOMPARE(writtenOf(active()), before);
        QCOMPARE(QDir(dir().path()).entryList(QDir::Files | QDir::Hidden), QStringList{"kestrin.db"});

        limit.lift();
        QTest::mouseClick(form.exitButton, Qt::LeftButton);
        QVERIFY(!form.isVisible());
        const QStringList names = namesOnDisk(active());
        QCOMPARE(names.size(), 42);
        QVERIFY(names.contains("Shop"));
        QVERIFY(names.contains("Bank"));
        QCOMPARE(QDir(dir().path()).entryList(QDir::Files | QDir::Hidden), QStringList{"kestrin.db"});
    }

    // Another copy of the program adds to the list and exits while this window shows
    // it; this one adds too and exits. The file keeps both, and the user is told once.
    void anotherCopysChangesAreKeptAndTheUserIsTold()
    {
        writeStore(active(), {{"Bank", "jo", "secret", "", 0}});
        tMainForm& form = showForm();
        {
            RecordTable otherCopy;
            otherCopy.setFileName(tablePath(active()));
            otherCopy.open();
            insertRecord(otherCopy, {"Other", "al", "pw", "", 0});
            otherCopy.close();
        }
        ModalScript add({addLogin("Shop", "me")});
        add.run([&] { QTest::mouseClick(form.addButton, Qt::LeftButton); });
        QVERIFY2(add.finished(), qPrintable(add.unexpected.join(", ")));

        ModalScript exit({press(Qt::Key_Return)});
        exit.run([&] { QTest::mouseClick(form.exitButton, Qt::LeftButton); });
        QVERIFY2(exit.finished(), qPrintable(exit.unexpected.join(", ")));
        QCOMPARE(exit.boxCaptions, QStringList{"Information"});
        QCOMPARE(exit.boxTexts, QStringList{"\"kestrin.db\" was changed by another copy of the program while it "
                                            "was open here; the changes of both were kept."});
        QVERIFY(!form.isVisible());
        QCOMPARE(namesOnDisk(active()), (QStringList{"Other", "Bank", "Shop"}));
    }
};

int main(int argc, char** argv)
{
    QuorrelApplication application(argc, argv);
    StoreSafetyTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_storesafety.moc"
