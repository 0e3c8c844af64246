#include "addUnit.h"

#include "ui/shared/MessageBox.h"
#include "ui/shared/accelerators.h"
#include "ui/shared/windowLook.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QShowEvent>

#include <algorithm>
#include <utility>

namespace {

constexpr int clientWidth = 338;
constexpr int clientHeight = 355;
constexpr int captionHeight = 13;  // one line of the 11-pixel font

// Sets a caption's text and sizes the label to it, one line high.
void setCaption(QLabel* label, const QString& text)
{
    label->setText(text);
    label->resize(label->sizeHint().width(), captionHeight);
}

QLabel* makeCaption(QWidget* parent, const QString& text, int left, int top)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->move(left, top);
    setCaption(label, text);
    return label;
}

// A single-line field's caption stands 3 pixels above the field, at its left edge.
QLabel* makeFieldCaption(QWidget* parent, const QString& text, const QWidget* field)
{
    return makeCaption(parent, text, field->x(), field->y() - 3 - captionHeight);
}

} // namespace

tAddForm::tAddForm(QWidget* owner)
    : QDialog(owner)
{
    setWindowTitle(QStringLiteral("Add/Edit a record"));
    useDialogFrame(this);
    applyClassicLook(this, clientWidth, clientHeight);

    StaticText1 = new QLabel(this);
    StaticText1->setTextFormat(Qt::PlainText);
    StaticText1->setWordWrap(true);
    StaticText1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    StaticText1->setText(QStringLiteral(
        "Login Name will disable if you choose Serial or Memorable information.  This field "
        "will be used for indexing instead with the words \"SERIAL\" or \"MEMORABLE\""));
    QPalette bannerPalette = StaticText1->palette();
    bannerPalette.setColor(QPalette::Window, Qt::white);
    StaticText1->setPalette(bannerPalette);
    StaticText1->setAutoFillBackground(true);
    StaticText1->setGeometry(0, 0, clientWidth, 41);

    recordTypeCombo = new EntryTypeCombo(this);
    recordTypeCombo->setGeometry(16, 64, 145, 21);
    recordTypeCombo->addItem(QStringLiteral("Login & Password"));
    recordTypeCombo->addItem(QStringLiteral("Memorable Information"));
    recordTypeCombo->addItem(QStringLiteral("Product Serial Number"));
    recordTypeCombo->setIndexQuietly(-1);  // adding the first item selected it
    Label1 = makeCaption(this, QStringLiteral("&Record Type"), 16, 48);
    Label1->setBuddy(recordTypeCombo);

    nameEdit = new EntryLineEdit(100, this);
    nameEdit->setGeometry(16, 112, 121, 21);
    nameLabel = makeFieldCaption(this, QStringLiteral("Site Name"), nameEdit);
    nameLabel->setBuddy(nameEdit);

    loginEdit = new EntryLineEdit(40, this);
    loginEdit->setGeometry(16, 160, 201, 21);
    loginLabel = makeFieldCaption(this, QStringLiteral("&Login Name"), loginEdit);
    loginLabel->setBuddy(loginEdit);
    maxLoginSizeLabel = makeCaption(this, QStringLiteral("40 Characters Max"), 128, 144);

    passwordEdit = new EntryLineEdit(50, this);
    passwordEdit->setGeometry(16, 208, 305, 21);
    passwordLabel = makeFieldCaption(this, QStringLiteral("&Password"), passwordEdit);
    passwordLabel->setBuddy(passwordEdit);
    maxPasswordSizeLabel = makeCaption(this, QStringLiteral("50 Characters Max"), 232, 192);

    notesMemo = new EntryNotesMemo(256, this);
    notesMemo->setGeometry(16, 256, 305, 49);
    Label2 = makeCaption(this, QStringLiteral("&Notes"), 16, 240);
    Label2->setBuddy(notesMemo);  // Alt+N moves the focus to the notes
    notesMaxLabel = makeCaption(this, QStringLiteral("256 Characters Max"), 224, 240);

    noteSizeRemainingLabel = makeCaption(this, QStringLiteral("Characters remaining: ..."), 16, 312);

    Button1 = new EntryButton(QStringLiteral("&OK"), this);
    Button1->setGeometry(168, 320, 75, 25);
    Button2 = new EntryButton(QStringLiteral("&Cancel"), this);
    Button2->setGeometry(248, 320, 75, 25);

    setTabOrder(recordTypeCombo, nameEdit);
    setTabOrder(nameEdit, loginEdit);
    setTabOrder(loginEdit, passwordEdit);
    setTabOrder(passwordEdit, notesMemo);
    setTabOrder(notesMemo, Button1);
    setTabOrder(Button1, Button2);

    // The buttons take no typed characters, so a plain accelerator letter presses one.
    auto* letters = new PlainLetterAccelerators(this);
    letters->watch(Button1);
    letters->watch(Button2);

    for (QWidget* input : inputs()) {
        input->installEventFilter(this);
        keepAltFromTyping(input);
    }
    // Where the presses of Escape go: the opened type list and the buttons count too.
    for (QWidget* control : {static_cast<QWidget*>(recordTypeCombo->view()),
                             static_cast<QWidget*>(Button1), static_cast<QWidget*>(Button2)})
        control->installEventFilter(this);

    connect(recordTypeCombo, &EntryTypeCombo::userChangedType, this, &tAddForm::recordTypeComboChange);
    for (EntryLineEdit* edit : {nameEdit, loginEdit, passwordEdit}) {
        connect(edit, &QLineEdit::textChanged, this, [this, edit] { notesMemoChange(edit); });
        connect(edit, &EntryLineEdit::focusEntered, this, [this, edit] { notesMemoChange(edit); });
    }
    connect(notesMemo, &QPlainTextEdit::textChanged, this, [this] { notesMemoChange(notesMemo); });
    connect(notesMemo, &EntryNotesMemo::focusEntered, this, [this] { notesMemoChange(notesMemo); });
    connect(Button1, &QPushButton::clicked, this, &tAddForm::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &tAddForm::Button2Click);
}

int tAddForm::recordTypeIndex() const
{
    return recordTypeCombo->currentIndex();
}

void tAddForm::setRecordTypeIndex(int index)
{
    recordTypeCombo->setIndexQuietly(index);
}

QString tAddForm::notesText() const
{
    return notesMemo->text();
}

void tAddForm::setNotesText(const QString& notes)
{
    notesMemo->setText(notes);
}

void tAddForm::setFieldTexts(const QString& name, const QString& login, const QString& password,
                             const QString& notes)
{
    nameEdit->setText(name);
    loginEdit->setText(login);
    passwordEdit->setText(password);
    notesMemo->setText(notes);
    // A field shows the beginning of a text wider than itself.
    for (QLineEdit* edit : {nameEdit, loginEdit, passwordEdit})
        edit->home(false);
}

std::array<QWidget*, 5> tAddForm::inputs() const
{
    return {recordTypeCombo, nameEdit, loginEdit, passwordEdit, notesMemo};
}

void tAddForm::reject()
{
    done(resultCancel);
}

bool tAddForm::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate && placeAgainWhenFramed_) {
        placeAgainWhenFramed_ = false;
        if (QWidget* owner = parentWidget())
            centreOverOwner(this, owner->window());
    }
    return QDialog::event(event);
}

void tAddForm::showEvent(QShowEvent* event)
{
    if (event->spontaneous()) {
        QDialog::showEvent(event);
        return;
    }
    escapePressedHere_ = false;
    formShow();
    QDialog::showEvent(event);
    // Without an owner the dialog was centred on the screen; later showings stay put.
    setAttribute(Qt::WA_Moved, true);
}

void tAddForm::formShow()
{
    if (editing) {
        recordTypeCombo->setEnabled(false);
        nameEdit->setEnabled(false);
    } else {
        recordTypeCombo->setIndexQuietly(0);
    }

    QWidget* focus = focusWidget();
    if (!shownBefore_) {
        shownBefore_ = true;
        if (QWidget* owner = parentWidget()) {
            centreOverOwner(this, owner->window());
            placeAgainWhenFramed_ = true;
        }
        focus = nullptr;
    }
    // Later showings give the focus back to the control that held it.
    if (focus && focus->isEnabled()) {
        enterControl(focus);
        return;
    }
    for (QWidget* control : inputs()) {
        if (control->isEnabled()) {
            enterControl(control);
            return;
        }
    }
    enterControl(Button1);  // a button is never disabled
}

void tAddForm::enterControl(QWidget* control)
{
    control->setFocus(Qt::OtherFocusReason);
    if (control == recordTypeCombo)
        selectWholeText(recordTypeCombo->lineEdit());
    else if (auto* edit = qobject_cast<QLineEdit*>(control))
        selectWholeText(edit);
}

void tAddForm::recordTypeComboChange()
{
    const int index = recordTypeCombo->currentIndex();
    nameEdit->setEnabled(index == 0);  // disabling keeps the text
    if (index == 0) {
        setCaption(loginLabel, QStringLiteral("Login Name"));
        setCaption(passwordLabel, QStringLiteral("Password"));
        enterControl(nameEdit);
        return;
    }
    if (index == 1) {
        setCaption(loginLabel, QStringLiteral("Associated Site/Login"));
        setCaption(passwordLabel, QStringLiteral("Memorable Information"));
    } else {
        setCaption(loginLabel, QStringLiteral("Program Name"));
        setCaption(passwordLabel, QStringLiteral("Serial Number"));
    }
    enterControl(loginEdit);
}

void tAddForm::notesMemoChange(QWidget* field)
{
    int base = 0;
    int length = 0;
    if (field == notesMemo) {
        base = notesMemo->typingLimit();
        length = notesMemo->textLength();
    } else {
        const auto* edit = static_cast<EntryLineEdit*>(field);
        base = edit->typingLimit();
        length = int(edit->text().size());
    }
    setCaption(noteSizeRemainingLabel,
               QStringLiteral("Characters remaining: ") + QString::number(base - length));
}

void tAddForm::formKeyUp(const QKeyEvent* event)
{
    // The release of Escape cancels, whatever modifiers are held.
    if (escapeReleasedAfterPressHere(event) && isVisible())
        done(resultCancel);
}

void tAddForm::noteEscapePress(const QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && !event->isAutoRepeat())
        escapePressedHere_ = true;
}

bool tAddForm::escapeReleasedAfterPressHere(const QKeyEvent* event)
{
    // A key held down repeats releases that are not real ones. A press that went
    // elsewhere (a message box over the dialog, closed by that press) leaves its
    // release to nobody.
    if (event->key() != Qt::Key_Escape || event->isAutoRepeat())
        return false;
    return std::exchange(escapePressedHere_, false);
}

void tAddForm::Button1Click()
{
    const bool nameNeeded = recordTypeIndex() == 0;
    const bool filled = !loginEdit->text().isEmpty() && !passwordEdit->text().isEmpty()
        && (!nameNeeded || !nameEdit->text().isEmpty());
    if (filled) {
        done(resultOk);
        return;
    }
    MessageBox::show(MessageBox::Kind::Error,
                     QStringLiteral("Some mandatory fields are empty.  Only the notes are optional."));
}

void tAddForm::Button2Click()
{
    done(resultCancel);
}

void tAddForm::keyPressEvent(QKeyEvent* event)
{
    // Escape cancels when it is released (formKeyUp), never on its press.
    if (event->key() == Qt::Key_Escape) {
        noteEscapePress(event);
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void tAddForm::keyReleaseEvent(QKeyEvent* event)
{
    // Releases in the inputs reach formKeyUp through the event filter; here only those
    // of the dialog itself while no control holds the focus.
    QWidget* focus = focusWidget();
    if (!focus || focus == this)
        formKeyUp(event);
    QDialog::keyReleaseEvent(event);
}

bool tAddForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        noteEscapePress(static_cast<QKeyEvent*>(event));
    } else if (event->type() == QEvent::KeyRelease) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const auto watchedInputs = inputs();
        if (std::ranges::find(watchedInputs, watched) != watchedInputs.end())
            formKeyUp(key);
        else
            escapeReleasedAfterPressHere(key);  // a release on a button cancels nothing
    } else if (event->type() == QEvent::EnabledChange) {
        // A single-line field's caption is greyed while the field is disabled.
        if (watched == nameEdit)
            nameLabel->setEnabled(nameEdit->isEnabled());
        else if (watched == loginEdit)
            loginLabel->setEnabled(loginEdit->isEnabled());
        else if (watched == passwordEdit)
            passwordLabel->setEnabled(passwordEdit->isEnabled());
    }
    return QDialog::eventFilter(watched, event);
}
