// The record commands of the main window: Add, Edit, Delete and Archive, and the
// notes viewer opened by a double-click on the grid. Table errors are not caught here
// (except where Archive must keep a record from being lost): they end the command and
// the application reports them.

#include "mainUnit.h"

#include "recordGrid.h"
#include "store/RecordStore.h"
#include "ui/shared/MessageBox.h"
#include "ui/dialogs/addUnit.h"
#include "ui/dialogs/notesUnit.h"

#include <QPushButton>
#include <QStringDecoder>

namespace {

std::string toStore(const QString& text)
{
    return text.toStdString();
}

// Stored texts are UTF-8. A leading byte-order mark is a character of the text like any
// other: kept, so that a text the user leaves alone is written back unchanged.
QString fromStore(const std::string& text)
{
    QStringDecoder decode(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decode(QByteArrayView(text.data(), qsizetype(text.size())));
}

QString fieldOf(const RecordTable& table, std::string_view field)
{
    return fromStore(table.fieldText(field));
}

// The "NAME - LOGIN" part that both questions quote.
QString quotedRecord(const RecordTable& table)
{
    return u'"' + fieldOf(table, "NAME") + QStringLiteral(" - ") + fieldOf(table, "LOGIN") + u'"';
}

}  // namespace

bool tMainForm::addEntry(QString name, const QString& login, int recordType, const QString& notes,
                         const QString& password)
{
    // Memorable information and serial numbers are filed under a fixed key word.
    if (recordType > 0 && static_cast<std::size_t>(recordType) < typeKeyNames.size())
        name = QString::fromLatin1(typeKeyNames[static_cast<std::size_t>(recordType)]);

    viewDB.setOrdering("NAME;LOGIN");
    if (viewDB.lookupKey({toStore(name), toStore(login)})) {
        dbView->showCurrentInMiddle();
        MessageBox::show(MessageBox::Kind::Error, QStringLiteral("Entry already exists."));
        return false;
    }
    viewDB.insertValues({toStore(name), toStore(login), toStore(password), toStore(notes),
                         std::int32_t{recordType}});
    return true;
}

void tMainForm::addButtonClick()
{
    // The dialog lives for this one command; a table error ends the command and takes
    // the dialog with it.
    auto dialog = std::make_unique<tAddForm>(this);
    dialog->editing = false;
    if (dialog->exec() != tAddForm::resultOk)
        return;
    for (;;) {
        const QString password = dialog->passwordEdit->text();
        const QString notes = dialog->notesText();
        const int index = dialog->recordTypeIndex();
        const QString login = dialog->loginEdit->text();
        const QString name = dialog->nameEdit->text();
        if (addEntry(name, login, index, notes, password))
            break;
        // A duplicate: the dialog again, with what the user typed still in it.
        if (dialog->exec() != tAddForm::resultOk)
            break;
    }
    refreshStatus();
}

void tMainForm::editButtonClick()
{
    // The button reads "&Edit" over the active list and "&Delete" over the archive.
    if (showingActive)
        editRecord();
    else
        deleteRecord();
}

void tMainForm::editRecord()
{
    auto dialog = std::make_unique<tAddForm>(this);
    dialog->editing = true;
    dialog->setRecordTypeIndex(viewDB.fieldInteger("RECTYPE"));
    dialog->setFieldTexts(fieldOf(viewDB, "NAME"), fieldOf(viewDB, "LOGIN"),
                          fieldOf(viewDB, "PASSWORD"), fieldOf(viewDB, "NOTES"));
    if (dialog->exec() != tAddForm::resultOk)
        return;
    // RECTYPE is left alone: the type cannot be changed while editing. The count does
    // not change, so the status bar is not rewritten. A text the user left alone comes
    // back from the dialog as it went in, and so is written back byte for byte.
    viewDB.beginEdit();
    viewDB.setFieldText("NAME", toStore(dialog->nameEdit->text()));
    viewDB.setFieldText("LOGIN", toStore(dialog->loginEdit->text()));
    viewDB.setFieldText("PASSWORD", toStore(dialog->passwordEdit->text()));
    viewDB.setFieldText("NOTES", toStore(dialog->notesText()));
    viewDB.postEdit();
}

void tMainForm::deleteRecord()
{
    const QString question = QStringLiteral("Delete ") + quotedRecord(viewDB) + u'?';
    if (MessageBox::show(MessageBox::Kind::Confirmation, question) != MessageBox::Answer::Yes)
        return;
    viewDB.deleteCurrent();
    refreshStatus();
}

void tMainForm::archiveButtonClick()
{
    // Over the archived list the record is already in the archive; a second table on
    // the same file would have two tables writing "inactive.db", the later one winning.
    if (!showingActive) {
        MessageBox::show(MessageBox::Kind::Error,
                         QStringLiteral("This record is already in the archive."));
        return;
    }

    const QString question =
        QStringLiteral("Move ") + quotedRecord(viewDB) + QStringLiteral(" in to the archive?");
    if (MessageBox::show(MessageBox::Kind::Confirmation, question) != MessageBox::Answer::Yes)
        return;

    std::unique_ptr<RecordTable> archive =
        makeArchiveTable ? makeArchiveTable() : std::make_unique<RecordTable>();
    archive->setFileName(storePath(archiveStoreName));

    // Until the archive file holds the copy, a failure leaves the record where it is and
    // the archive table is discarded without writing anything: with its file name
    // cleared, destroying it writes no file.
    struct DiscardUnlessWritten {
        RecordTable& table;
        bool written = false;
        ~DiscardUnlessWritten()
        {
            if (!written)
                table.setFileName({});
        }
    } discard{*archive};

    openStore(*archive);
    archive->insertValues({viewDB.fieldText("NAME"), viewDB.fieldText("LOGIN"),
                           viewDB.fieldText("PASSWORD"), viewDB.fieldText("NOTES"),
                           viewDB.fieldInteger("RECTYPE")});
    // The archive is written before the record leaves the shown list, so no failure
    // can leave the record in neither list: when the write fails the record stays,
    // and when the deletion below fails the record is in both.
    archive->close();
    discard.written = true;

    viewDB.deleteCurrent();
    refreshStatus();
    tellIfMerged(*archive);
}

void tMainForm::dbViewDblClick()
{
    // The viewer lives for one showing; notesForm refers to it meanwhile. Nothing is
    // read back from it.
    auto viewer = std::make_unique<tNotesForm>(this);
    notesForm = viewer.get();
    struct ClearNotesForm {
        ~ClearNotesForm() { notesForm = nullptr; }
    } clear;
    viewer->setNotes(fieldOf(viewDB, "NOTES"));
    viewer->exec();
}
