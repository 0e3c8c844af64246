#include "notesUnit.h"

#include "ui/shared/accelerators.h"
#include "ui/shared/windowLook.h"

#include <QFrame>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>

tNotesForm* notesForm = nullptr;

tNotesForm::tNotesForm(QWidget* owner)
    : QDialog(owner)
{
    useDialogFrame(this);
    setWindowTitle(QStringLiteral("Notes"));
    applyClassicLook(this, 355, 217);

    // The panel comes first in the tab order but never takes the focus itself, so the
    // viewer opens with the focus on Close.
    buttonPanel = new QFrame(this);
    buttonPanel->setGeometry(0, 176, 355, 41);
    buttonPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    buttonPanel->setLineWidth(1);
    buttonPanel->setFocusPolicy(Qt::NoFocus);

    closeButton = new QPushButton(QStringLiteral("&Close"), buttonPanel);
    closeButton->setGeometry(272, 8, 75, 25);
    connect(closeButton, &QPushButton::clicked, this, &tNotesForm::closeButtonClick);

    notesMemo = new QPlainTextEdit(this);
    notesMemo->setGeometry(0, 0, 355, 176);
    notesMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    notesMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    notesMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    notesMemo->setTabChangesFocus(true);
    keepAltFromTyping(notesMemo);

    setTabOrder(closeButton, notesMemo);

    auto* accelerators = new PlainLetterAccelerators(this);
    accelerators->watch(closeButton);
}

void tNotesForm::setNotes(const QString& notes)
{
    QString lines = notes;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    notesMemo->setPlainText(lines);
}

void tNotesForm::closeButtonClick()
{
    reject();
}

void tNotesForm::showEvent(QShowEvent* event)
{
    centreOverOwner(this, parentWidget());
    QDialog::showEvent(event);
    closeButton->setFocus(Qt::OtherFocusReason);
}

void tNotesForm::keyPressEvent(QKeyEvent* event)
{
    // The viewer has no cancel button: Escape does not close it.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
