// The record commands driven through the real main window over a folder of its own:
// Add with its duplicate check and repeated dialog, Edit, Delete in the archive,
// Archive (also when its table operations fail) and the notes viewer. Every dialog and
// message box is answered with real clicks and key presses.

#include "app/QuorrelApplication.h"
#include "store/RecordStore.h"
#include "ui/dialogs/addUnit.h"
#include "ui/dialogs/notesUnit.h"
#include "ui/main/mainUnit.h"
#include "ui/main/recordGrid.h"
#include "ui/main/statusPanels.h"
#include "uiTestSupport.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace uiTest;
using answer::click;
using answer::press;

namespace {

using Row = StoredRecord;

Row currentRow(const RecordTable& table)
{
    return {QString::fromStdString(table.fieldText("NAME")),
            QString::fromStdString(table.fieldText("LOGIN")),
            QString::fromStdString(table.fieldText("PASSWORD")),
            QString::fromStdString(table.fieldText("NOTES")), table.fieldInteger("RECTYPE")};
}

QStringList shownNames(const tMainForm& form)
{
    QStringList names;
    for (const Row& row : recordsOf(form.viewDB))
        names << row.name + '/' + row.login;
    return names;
}

// Runs action on the entry dialog.
Answer inDialog(std::function<void(tAddForm&)> action)
{
    return [action](QWidget* window) {
        auto* dialog = qobject_cast<tAddForm*>(window);
        if (!dialog) {
            qWarning("expected the entry dialog, met %s", qPrintable(window->windowTitle()));
            window->close();
            return;
        }
        action(*dialog);
    };
}

// Replaces a single-line field's text by typing.
void retype(QLineEdit* field, const QString& text)
{
    QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
}

// Types the notes, a Return between lines.
void typeNotes(QPlainTextEdit* memo, const QStringList& lines)
{
    QTest::mouseClick(memo->viewport(), Qt::LeftButton);
    QTest::keyClick(memo, Qt::Key_End, Qt::ControlModifier);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            QTest::keyClick(memo, Qt::Key_Return);
        QTest::keyClicks(memo, lines[i]);
    }
}

// Fills the entry dialog as a user adding a record would and presses OK. typeKey is
// typed into the type list first (at the first showing it holds the focus with its
// whole text selected); 0 leaves the first type.
Answer addRecord(char typeKey, const QString& name, const QString& login, const QString& password, const QStringList& notes = {})
{
    return inDialog([=](tAddForm& d) {
        if (typeKey)
            QTest::keyClick(QApplication::focusWidget(), typeKey);
        if (d.nameEdit->isEnabled())
            retype(d.nameEdit, name);
        retype(d.loginEdit, login);
        retype(d.passwordEdit, password);
        if (!notes.isEmpty())
            typeNotes(d.notesMemo, notes);
        QTest::mouseClick(d.Button1, Qt::LeftButton);
    });
}

}  // namespace

class RecordCommandsTest : public QObject, private MainWindowFixture {
    Q_OBJECT

private:
    // Makes the record at this row of the grid current with a click.
    void pickRow(int row)
    {
        QTest::mouseClick(form_->dbView->viewport(), Qt::LeftButton, {}, rowPoint(*form_, row));
        QCOMPARE(form_->viewDB.currentRow(), row);
    }

    void doubleClickRow(int row)
    {
        QTest::mouseDClick(form_->windowHandle(), Qt::LeftButton, {},
                           form_->dbView->viewport()->mapTo(form_.get(), rowPoint(*form_, row)));
    }

private slots:
    void init()
    {
        QVERIFY(newFolder());
    }
    void cleanup()
    {
        form_.reset();
        notesForm = nullptr;
    }

    void addEachTypeOfRecord()
    {
        tMainForm& form = showForm();
        QVERIFY(!form.editButton->isEnabled());

        ModalScript script({
            addRecord(0, "Bank", "jo", "secret", {"first line", "second line"}),
            addRecord('m', {}, "bank.example", "Smith"),
            addRecord('p', {}, "Editor", "SN-123"),
            // A letter that completes no type leaves no type selected (-1); the name
            // field, disabled, keeps whatever it held.
            addRecord('x', {}, "tool", "key"),
        });
        for (int i = 0; i < 4; ++i)
            script.run([&] { QTest::mouseClick(form.addButton, Qt::LeftButton); });
        QVERIFY2(script.finished(), qPrintable(script.unexpected.join(", ")));

        const std::vector<Row> expected{
            {"", "tool", "key", "", -1},
            {"Bank", "jo", "secret", "first line\r\nsecond line", 0},
            {"Memorable", "bank.example", "Smith", "", 1},
            {"Serial", "Editor", "SN-123", "", 2},
        };
        QCOMPARE(recordsOf(form.viewDB), expected);
        // The record added last is current; the status bar counts all four.
        QCOMPARE(currentRow(form.viewDB), expected[0]);
        QCOMPARE(form.statusBar->panelText(0), QString("Active Passwords/Serials: 4"));
        QVERIFY(form.editButton->isEnabled());
        QVERIFY(form.archiveButton->isEnabled());

        // Nothing reaches the file before the list is closed; then all of it does.
        QVERIFY(!QFile::exists(active()));
        QTest::mouseClick(form.exitButton, Qt::LeftButton);
        std::vector<Row> written = recordsOnDisk(active());
        std::ranges::sort(written, {}, [](const Row& r) { return std::pair(r.name, r.login); });
        QCOMPARE(written, expected);
    }

    void duplicatesAreRefusedAndTheDialogComesBack()
    {
        writeStore(active(), {{"Shop", "al", "p1", "", 0},
                              {"Bank", "jo", "p2", "", 0},
                              {"Memorable", "site", "p3", "", 1},
                              {"Zoo", "zz", "p4", "", 0}});
        tMainForm& form = showForm();
        pickRow(3);

        // Bank/jo again: refused, the existing record is made current while the box is
        // up, and the dialog comes back with what was typed. Changing the name to bank
        // makes a different key, which is added.
        Row currentWhileRefused;
        QString nameWhenBack, loginWhenBack;
        ModalScript script({
            addRecord(0, "Bank", "jo", "other"),
            [&](QWidget* box) {
                currentWhileRefused = currentRow(form.viewDB);
                click("OK")(box);
            },
            inDialog([&](tAddForm& d) {
                nameWhenBack = d.nameEdit->text();
                loginWhenBack = d.loginEdit->text();
                retype(d.nameEdit, "bank");
                QTest::mouseClick(d.Button1, Qt::LeftButton);
            }),
        });
        script.run([&] { QTest::mouseClick(form.addButton, Qt::LeftButton); });
        QVERIFY2(script.finished(), qPrintable(script.unexpected.join(", ")));
        QCOMPARE(script.boxCaptions, QStringList{"Error"});
        QCOMPARE(script.boxTexts, QStringList{"Entry already exists."});
        QCOMPARE(currentWhileRefused, (Row{"Bank", "jo", "p2", "", 0}));
        QCOMPARE(nameWhenBack, QString("Bank"));
        QCOMPARE(loginWhenBack, QString("jo"));
        QCOMPARE(shownNames(form),
                 (QStringList{"Bank/jo", "Memorable/site", "Shop/al", "Zoo/zz", "bank/jo"}));
        QCOMPARE(currentRow(form.viewDB).name, QString("bank"));
        QCOMPARE(form.statusBar->panelText(0), QString("Active Passwords/Serials: 5"));

        // A second memorable item for the same site: refused too, since both are filed
        // under "Memorable". The dialog comes back with the first type selected and the
        // name field still disabled and empty, so OK fails the mandatory check until
        // the user picks a type; here the user cancels instead. Nothing is added and the
        // status bar is brought up to date.
        int typeWhenBack = -2;
        bool nameEnabledWhenBack = true;
        ModalScript second({
            addRecord('m', {}, "site", "again"),
            press(Qt::Key_Return),
            inDialog([&](tAddForm& d) {
                typeWhenBack = d.recordTypeIndex();
                nameEnabledWhenBack = d.nameEdit->isEnabled();
                nameWhenBack = d.nameEdit->text();
                QTest::mouseClick(d.Button1, Qt::LeftButton);
            }),
            press(Qt::Key_Return),  // the mandatory-fields box
            click("&Cancel"),
        });
        form.statusBar->setPanelText(0, "stale");
        second.run([&] { QTest::mouseClick(form.addButton, Qt::LeftButton); });
        QVERIFY2(second.finished(), qPrintable(second.unexpected.join(", ")));
        QCOMPARE(second.boxTexts,
                 (QStringList{"Entry already exists.",
                              "Some mandatory fields are empty.  Only the notes are optional."}));
        QCOMPARE(typeWhenBack, 0);
        QVERIFY(!nameEnabledWhenBack);
        QCOMPARE(nameWhenBack, QString());
        QCOMPARE(form.viewDB.recordCount(), 5);
        QCOMPARE(currentRow(form.viewDB).login, QString("site"));
        QCOMPARE(form.statusBar->panelText(0), QString("Active Passwords/Serials: 5"));

        // Cancel at the first showing ends the command with nothing else done.
        ModalScript cancelled({press(Qt::Key_Escape)});
        form.statusBar->setPanelText(0, "stale");
        cancelled.run([&] { QTest::mouseClick(form.addButton, Qt::LeftButton); });
        QVERIFY2(cancelled.finished(), qPrintable(cancelled.unexpected.join(", ")));
        QCOMPARE(form.viewDB.recordCount(), 5);
        QCOMPARE(form.statusBar->panelText(0), QString("stale"));
    }

    void addOrdersTheListByNameAndLogin()
    {
        writeStore(active(), {{"b", "2", "p3", "", 0}, {"a", "9", "p1", "", 0},
                              {"b", "1", "p2", "", 0}});
        tMainForm& form = showForm();
        // The user orders the list by password with a title click; Add puts it back in
        // name and login order, with the new record at its place.
        QTest::mouseClick(form.dbView->horizontalHeader()->viewport(), Qt::LeftButton, {},
                          titlePoint(form, 2));
        QCOMPARE(form.viewDB.ordering(), std::string("PASSWORD"));
        QCOMPARE(shownNames(form), (QStringList{"a/9", "b/1", "b/2"}));

        ModalScript script({addRecord(0, "a", "5", "p0")});
        script.run([&] { QTest::mouseClick(form.addButton, Qt::LeftButton); });
        QVERIFY2(script.finished(), qPrintable(script.unexpected.join(", ")));
        QCOMPARE(form.viewDB.ordering(), std::string("NAME;LOGIN"));
        QCOMPARE(shownNames(form), (QStringList{"a/5", "a/9", "b/1", "b/2"}));
        QCOMPARE(form.viewDB.currentRow(), 0);
    }

    void editWritesTheFourTextsAndKeepsTheType()
    {
        writeStore(active(), {{"Bank", "jo", "p1", "", 0},
                              {"Memorable", "site", "maiden", "old\r\nnotes", 1}});
        tMainForm& form = showForm();
        pickRow(1);
        form.statusBar->setPanelText(0, "stale");

        // The dialog opens filled with the record, its type shown and fixed.
        int shownType = -2;
        bool typeEnabled = true, nameEnabled = true;
        QString shownName, shownNotes;
        ModalScript script({inDialog([&](tAddForm& d) {
            shownType = d.recordTypeIndex();
            typeEnabled = d.recordTypeCombo->isEnabled();
            nameEnabled = d.nameEdit->isEnabled();
            shownName = d.nameEdit->text();
            shownNotes = d.notesText();
            retype(d.loginEdit, "site2");
            retype(d.passwordEdit, "Jones");
            typeNotes(d.notesMemo, {"", "more"});
            QTest::mouseClick(d.Button1, Qt::LeftButton);
        })});
        script.run([&] { QTest::mouseClick(form.editButton, Qt::LeftButton); });
        QVERIFY2(script.finished(), qPrintable(script.unexpected.join(", ")));
        QCOMPARE(shownType, 1);
        QVERIFY(!typeEnabled);
        QVERIFY(!nameEnabled);
        QCOMPARE(shownName, QString("Memorable"));
        QCOMPARE(shownNotes, QString("old\r\nnotes"));

        QCOMPARE(form.viewDB.state(), TableState::Browsing);
        QCOMPARE(currentRow(form.viewDB),
                 (Row{"Memorable", "site2", "Jones", "old\r\nnotes\r\nmore", 1}));
        QCOMPARE(form.viewDB.recordCount(), 2);
        // Edit leaves the status bar alone.
        QCOMPARE(form.statusBar->panelText(0), QString("stale"));

        // Cancel changes nothing.
        ModalScript cancelled({inDialog([](tAddForm& d) {
            retype(d.loginEdit, "discarded");
            QTest::mouseClick(d.Button2, Qt::LeftButton);
        })});
        cancelled.run([&] { QTest::mouseClick(form.editButton, Qt::LeftButton); });
        QVERIFY2(cancelled.finished(), qPrintable(cancelled.unexpected.join(", ")));
        QCOMPARE(currentRow(form.viewDB).login, QString("site2"));

        QTest::mouseClick(form.exitButton, Qt::LeftButton);
        QCOMPARE(recordsOnDisk(active()),
                 (std::vector<Row>{{"Bank", "jo", "p1", "", 0},
                                   {"Memorable", "site2", "Jones", "old\r\nnotes\r\nmore", 1}}));
    }

    void editWritesUntouchedTextsBackByteForByte()
    {
        // Characters that a text's way through the fields could change: a leading
        // byte-order mark, control characters, no-break spaces, and in the notes
        // line breaks of every kind.
        const std::string bom = "\xEF\xBB\xBF";
        const std::string name = bom + "Odd\x01\xC2\xA0name";
        const std::string login = bom + "lo\tgin\x7F";
        const std::string password = bom + "p\xC2\x85w\xF0\x9F\x94\x91";
        const std::string notes = bom + "a\xC2\xA0" "b\nc\rd\xE2\x80\xA8" "e\r\nf";
        {
            RecordTable table;
            table.setFileName(tablePath(active()));
            openStore(table);
            table.insertValues({name, login, password, notes, std::int32_t{0}});
            table.close();
        }
        tMainForm& form = showForm();
        const auto stored = [&form] {
            const RecordTable& table = form.viewDB;
            return std::vector<std::string>{table.fieldText("NAME"), table.fieldText("LOGIN"),
                                            table.fieldText("PASSWORD"), table.fieldText("NOTES")};
        };
        const std::vector<std::string> asRead{name, login, password, notes};
        QVERIFY(stored() == asRead);

        ModalScript untouched({inDialog([](tAddForm& d) { QTest::mouseClick(d.Button1, Qt::LeftButton); })});
        untouched.run([&] { QTest::mouseClick(form.editButton, Qt::LeftButton); });
        QVERIFY2(untouched.finished(), qPrintable(untouched.unexpected.join(", ")));
        QVERIFY(stored() == asRead);

        // A change to the notes stores their line breaks as CR LF, every other
        // character as it was.
        ModalScript changed({inDialog([](tAddForm& d) {
            typeNotes(d.notesMemo, {"", "g"});
            QTest::mouseClick(d.Button1, Qt::LeftButton);
        })});
        changed.run([&] { QTest::mouseClick(form.editButton, Qt::LeftButton); });
        QVERIFY2(changed.finished(), qPrintable(changed.unexpected.join(", ")));
        const std::string changedNotes = bom + "a\xC2\xA0" "b\r\nc\r\nd\xE2\x80\xA8" "e\r\nf\r\ng";
        QVERIFY(stored() == (std::vector<std::string>{name, login, password, changedNotes}));

        QTest::mouseClick(form.exitButton, Qt::LeftButton);
        RecordTable onDisk;
        onDisk.setFileName(tablePath(active()));
        onDisk.open();
        QCOMPARE(onDisk.fieldText("NAME"), name);
        QCOMPARE(onDisk.fieldText("NOTES"), changedNotes);
    }

    void deleteInTheArchiveAsksFirst()
    {
        writeStore(archive(), {{"Bank", "jo", "p1", "", 0}, {"Shop", "al", "p2", "", 0}});
        tMainForm& form = showForm();
        QTest::mouseClick(form.viewSwapButton, Qt::LeftButton);
        QCOMPARE(form.editButton->text(), QString("&Delete"));

        // No, and Escape, delete nothing.
        ModalScript refused({click("&No"), press(Qt::Key_Escape)});
        refused.run([&] { QTest::mouseClick(form.editButton, Qt::LeftButton); });
        refused.run([&] { QTest::mouseClick(form.editButton, Qt::LeftButton); });
        QVERIFY2(refused.finished(), qPrintable(refused.unexpected.join(", ")));
        QCOMPARE(refused.boxCaptions, (QStringList{"Confirm", "Confirm"}));
        QCOMPARE(refused.boxTexts.value(0), QString("Delete \"Bank - jo\"?"));
        QCOMPARE(form.viewDB.recordCount(), 2);

        // Yes deletes; the next record becomes current. D on the grid asks the same.
        ModalScript agreed({click("&Yes"), press(Qt::Key_Return)});
        agreed.run([&] { QTest::mouseClick(form.editButton, Qt::LeftButton); });
        QCOMPARE(form.viewDB.recordCount(), 1);
        QCOMPARE(form.statusBar->panelText(0), QString("Inactive Passwords/Serials: 1"));
        QVERIFY(form.editButton->isEnabled());
        form.dbView->setFocus();
        agreed.run([&] { QTest::keyClick(form.dbView, Qt::Key_D); });
        QVERIFY2(agreed.finished(), qPrintable(agreed.unexpected.join(", ")));
        QCOMPARE(agreed.boxTexts,
                 (QStringList{"Delete \"Bank - jo\"?", "Delete \"Shop - al\"?"}));

        // The last one gone: Delete and Archive It are disabled.
        QCOMPARE(form.viewDB.recordCount(), 0);
        QCOMPARE(form.statusBar->panelText(0), QString("Inactive Passwords/Serials: 0"));
        QVERIFY(!form.editButton->isEnabled());
        QVERIFY(!form.archiveButton->isEnabled());
        QTest::mouseClick(form.viewSwapButton, Qt::LeftButton);
        QVERIFY(recordsOnDisk(archive()).empty());
    }

    void archiveMovesTheRecordAtOnce()
    {
        writeStore(active(), {{"Bank", "jo", "p1", "n1", 0},
                              {"Memorable", "site", "maiden", "", 1},
                              {"Shop", "al", "p3", "", 0}});
        writeStore(archive(), {{"Old", "x", "p0", "", 0}});
        const QByteArray archiveBefore = bytesOf(archive());
        tMainForm& form = showForm();

        ModalScript refused({click("&No")});
        refused.run([&] { QTest::mouseClick(form.archiveButton, Qt::LeftButton); });
        QVERIFY2(refused.finished(), qPrintable(refused.unexpected.join(", ")));
        QCOMPARE(refused.boxTexts, QStringList{"Move \"Bank - jo\" in to the archive?"});
        QCOMPARE(form.viewDB.recordCount(), 3);
        QCOMPARE(bytesOf(archive()), archiveBefore);

        // Yes: the row leaves the grid and the archive file holds the record at once.
        ModalScript agreed({click("&Yes"), press(Qt::Key_Return)});
        agreed.run([&] { QTest::mouseClick(form.archiveButton, Qt::LeftButton); });
        QCOMPARE(shownNames(form), (QStringList{"Memorable/site", "Shop/al"}));
        QCOMPARE(form.statusBar->panelText(0), QString("Active Passwords/Serials: 2"));
        QCOMPARE(recordsOnDisk(archive()),
                 (std::vector<Row>{{"Bank", "jo", "p1", "n1", 0}, {"Old", "x", "p0", "", 0}}));
        // The active file changes only when its list is closed.
        QCOMPARE(recordsOnDisk(active()).size(), std::size_t(3));

        // The type goes along with the record.
        QCOMPARE(currentRow(form.viewDB).name, QString("Memorable"));
        agreed.run([&] { QTest::mouseClick(form.archiveButton, Qt::LeftButton); });
        QVERIFY2(agreed.finished(), qPrintable(agreed.unexpected.join(", ")));
        QCOMPARE(recordsOnDisk(archive()).at(0), (Row{"Memorable", "site", "maiden", "", 1}));

        QTest::mouseClick(form.viewSwapButton, Qt::LeftButton);
        QCOMPARE(form.statusBar->panelText(0), QString("Inactive Passwords/Serials: 3"));
        QCOMPARE(recordsOnDisk(active()), (std::vector<Row>{{"Shop", "al", "p3", "", 0}}));

        // In the archive, Archive It asks nothing and changes nothing.
        const QByteArray archiveNow = bytesOf(archive());
        const Row current = currentRow(form.viewDB);
        QVERIFY(form.archiveButton->isEnabled());
        ModalScript inArchive({press(Qt::Key_Return)});
        inArchive.run([&] { QTest::mouseClick(form.archiveButton, Qt::LeftButton); });
        QVERIFY2(inArchive.finished(), qPrintable(inArchive.unexpected.join(", ")));
        QCOMPARE(inArchive.boxCaptions, QStringList{"Error"});
        QCOMPARE(inArchive.boxTexts, QStringList{"This record is already in the archive."});
        QCOMPARE(form.viewDB.recordCount(), 3);
        QCOMPARE(currentRow(form.viewDB), current);
        QTest::mouseClick(form.viewSwapButton, Qt::LeftButton);
        QCOMPARE(bytesOf(archive()), archiveNow);
    }

    // Whichever step of Archive fails, the record stays in at least one list.
    void archiveNeverLosesARecord()
    {
        writeStore(active(), {{"Bank", "jo", "p1", "n1", 0}, {"Shop", "al", "p2", "", 0}});
        const Row bank{"Bank", "jo", "p1", "n1", 0};
        const Row shop{"Shop", "al", "p2", "", 0};

        // An archive file of another layout (no RECTYPE) refuses the copy.
        {
            RecordTable foreign;
            foreign.setFileName(tablePath(archive()));
            for (const char* name : {"NAME", "LOGIN", "PASSWORD", "NOTES"})
                foreign.addFieldDef(name, FieldKind::Text, 100, false);
            foreign.createEmpty();
            foreign.insertValues({std::string("Old"), std::string("x"), std::string("p"),
                                  std::string()});
            foreign.close();
        }
        const QByteArray foreignBytes = bytesOf(archive());
        tMainForm& form = showForm();

        ModalScript insertRefused({click("&Yes"), press(Qt::Key_Return)});
        insertRefused.run([&] { QTest::mouseClick(form.archiveButton, Qt::LeftButton); });
        QVERIFY2(insertRefused.finished(), qPrintable(insertRefused.unexpected.join(", ")));
        QCOMPARE(insertRefused.boxCaptions.value(1), applicationTitle());
        QVERIFY2(insertRefused.boxTexts.value(1).startsWith("Too many values"),
                 qPrintable(insertRefused.boxTexts.value(1)));
        QCOMPARE(recordsOf(form.viewDB), (std::vector<Row>{bank, shop}));
        QCOMPARE(currentRow(form.viewDB), bank);
        QCOMPARE(bytesOf(archive()), foreignBytes);
        QVERIFY(QFile::remove(archive()));

        // The archive file cannot be written: once the copy is in the archive table, a
        // folder takes the archive file's place. The record stays in the shown list and
        // no archive file appears.
        struct Sabotage : TableObserver {
            std::function<void()> afterInsert, afterClose;
            void rowInserted(int) override
            {
                if (afterInsert)
                    afterInsert();
            }
            void tableClosed() override
            {
                if (afterClose)
                    afterClose();
            }
        } sabotage;
        form.makeArchiveTable = [&sabotage] {
            auto table = std::make_unique<RecordTable>();
            table->attach(&sabotage);
            return table;
        };
        sabotage.afterInsert = [this] { QDir(folder_->path()).mkdir("inactive.db"); };
        ModalScript writeFails({click("&Yes"), press(Qt::Key_Return)});
        writeFails.run([&] { QTest::mouseClick(form.archiveButton, Qt::LeftButton); });
        QVERIFY2(writeFails.finished(), qPrintable(writeFails.unexpected.join(", ")));
        QCOMPARE(writeFails.boxCaptions.value(1), applicationTitle());
        QVERIFY2(writeFails.boxTexts.value(1).startsWith("Cannot create file \"" + archive() + '"'),
                 qPrintable(writeFails.boxTexts.value(1)));
        QCOMPARE(recordsOf(form.viewDB), (std::vector<Row>{bank, shop}));
        QCOMPARE(form.statusBar->panelText(0), QString("Active Passwords/Serials: 2"));
        QVERIFY(QDir(archive()).exists());
        QVERIFY(QDir(folder_->path()).rmdir("inactive.db"));
        QCOMPARE(QDir(folder_->path()).entryList(QDir::Files), QStringList{"kestrin.db"});

        // The shown list refuses the deletion after the archive was written (here it was
        // closed under the command's feet): the record ends up in both lists.
        sabotage.afterInsert = nullptr;
        sabotage.afterClose = [&form] { form.viewDB.close(); };
        ModalScript deleteFails({click("&Yes"), press(Qt::Key_Return)});
        deleteFails.run([&] { QTest::mouseClick(form.archiveButton, Qt::LeftButton); });
        QVERIFY2(deleteFails.finished(), qPrintable(deleteFails.unexpected.join(", ")));
        QCOMPARE(deleteFails.boxCaptions.value(1), applicationTitle());
        QCOMPARE(deleteFails.boxTexts.value(1),
                 QString("viewDB: Cannot perform this operation on a closed dataset."));
        QCOMPARE(recordsOnDisk(archive()), std::vector<Row>{bank});
        QCOMPARE(recordsOnDisk(active()), (std::vector<Row>{bank, shop}));
    }

    void notesViewerShowsTheCurrentRecordsNotes()
    {
        writeStore(active(), {{"Bank", "jo", "p1", "line one\r\nline two", 0},
                              {"Shop", "al", "p2", "", 0}});
        tMainForm& form = showForm();

        // The viewer shows the notes one line per break; what the user types into it is
        // thrown away.
        QString shown;
        int lines = 0;
        bool registered = false;
        const auto readAndType = [&](QWidget* window) {
            auto* viewer = qobject_cast<tNotesForm*>(window);
            registered = viewer && viewer == notesForm;
            if (!viewer) {
                window->close();
                return;
            }
            shown = viewer->notesMemo->toPlainText();
            lines = viewer->notesMemo->blockCount();
            QTest::mouseClick(viewer->notesMemo->viewport(), Qt::LeftButton);
            QTest::keyClicks(viewer->notesMemo, "typed");
            QTest::mouseClick(viewer->closeButton, Qt::LeftButton);
        };
        ModalScript script({readAndType, readAndType, readAndType});
        script.run([&] { doubleClickRow(0); });
        QVERIFY(registered);
        QCOMPARE(shown, QString("line one\nline two"));
        QCOMPARE(lines, 2);
        QVERIFY(notesForm == nullptr);
        QVERIFY(!form.findChild<tNotesForm*>());
        QCOMPARE(currentRow(form.viewDB).notes, QString("line one\r\nline two"));

        // Opened again, it shows the stored notes, not what was typed.
        script.run([&] { doubleClickRow(0); });
        QCOMPARE(shown, QString("line one\nline two"));

        // A record without notes shows an empty text.
        script.run([&] { doubleClickRow(1); });
        QVERIFY2(script.finished(), qPrintable(script.unexpected.join(", ")));
        QCOMPARE(shown, QString());

        // An empty list too (the empty archive).
        QTest::mouseClick(form.viewSwapButton, Qt::LeftButton);
        shown = "unset";
        ModalScript empty({readAndType});
        empty.run([&] { doubleClickRow(0); });
        QVERIFY2(empty.finished(), qPrintable(empty.unexpected.join(", ")));
        QCOMPARE(shown, QString());
        QTest::mouseClick(form.viewSwapButton, Qt::LeftButton);
        QCOMPARE(recordsOnDisk(active()).at(0).notes, QString("line one\r\nline two"));
    }
};

int main(int argc, char** argv)
{
    QuorrelApplication application(argc, argv);
    RecordCommandsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_recordcommands.moc"
