#include "entryControls.h"

#include "ui/shared/accelerators.h"

#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QShortcutEvent>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QValidator>

#include <algorithm>

namespace {

bool enteredByUserMove(Qt::FocusReason reason)
{
    // A click places the caret itself; a popup closing or the window being activated
    // again gives back a focus the field already had, with its selection.
    return reason != Qt::MouseFocusReason && reason != Qt::PopupFocusReason
        && reason != Qt::ActiveWindowFocusReason;
}

// Text with CR LF, a lone CR or a paragraph separator turned into LF, the line break
// the text widgets use.
QString withLineFeeds(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    text.replace(QChar::ParagraphSeparator, u'\n');
    return text;
}

} // namespace

void selectWholeText(QLineEdit* field)
{
    const int length = int(field->text().size());
    field->setSelection(length, -length);
}

// ---------------------------------------------------------------------------------
// EntryLineEdit

// Accepts every text set by code. For an edit of the user's that would make the text
// longer than the limit (or than the text already is, when code set a longer one),
// keeps only as much of the inserted part as fits, as a typing limit does with a paste.
class EntryLineEdit::LimitValidator : public QValidator {
public:
    explicit LimitValidator(EntryLineEdit* edit) : QValidator(edit), edit_(edit) { }

    State validate(QString& input, int& pos) const override
    {
        if (!edit_->userEditing_)
            return Acceptable;
        const QString& before = edit_->textBefore_;
        const qsizetype allowed = std::max<qsizetype>(edit_->limit_, before.size());
        if (input.size() <= allowed)
            return Acceptable;

        // The inserted part lies between what the old and the new text share at the
        // start and at the end.
        qsizetype head = 0;
        const qsizetype shorter = std::min(before.size(), input.size());
        while (head < shorter && before.at(head) == input.at(head))
            ++head;
        qsizetype tail = 0;
        while (tail < shorter - head
               && before.at(before.size() - 1 - tail) == input.at(input.size() - 1 - tail))
            ++tail;
        const qsizetype inserted = input.size() - head - tail;
        const qsizetype kept = inserted - (input.size() - allowed);
        if (kept <= 0)
            return Invalid;  // nothing of it fits: the edit is refused
        input = input.left(head + kept) + input.right(tail);
        pos = int(head + kept);
        return Acceptable;
    }

private:
    EntryLineEdit* edit_;
};

EntryLineEdit::EntryLineEdit(int typingLimit, QWidget* parent)
    : QLineEdit(parent), limit_(typingLimit)
{
    setValidator(new LimitValidator(this));
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) { textBefore_ = text; });
}

bool EntryLineEdit::event(QEvent* event)
{
    bool byUser = false;
    switch (event->type()) {
    case QEvent::KeyPress: {
        // Undo and redo only go back to texts the field already held.
        const auto* key = static_cast<QKeyEvent*>(event);
        byUser = !key->matches(QKeySequence::Undo) && !key->matches(QKeySequence::Redo);
        break;
    }
    case QEvent::InputMethod:
    case QEvent::Drop:
    case QEvent::MouseButtonRelease:  // pasting the selection with the middle button
    case QEvent::ContextMenu:         // the menu's Paste
        byUser = true;
        break;
    default:
        break;
    }
    if (!byUser)
        return QLineEdit::event(event);
    const bool outer = userEditing_;
    userEditing_ = true;
    const bool handled = QLineEdit::event(event);
    userEditing_ = outer;
    return handled;
}

void EntryLineEdit::focusInEvent(QFocusEvent* event)
{
    QLineEdit::focusInEvent(event);
    if (enteredByUserMove(event->reason()))
        selectWholeText(this);
    emit focusEntered();
}

// ---------------------------------------------------------------------------------
// EntryNotesMemo

EntryNotesMemo::EntryNotesMemo(int typingLimit, QWidget* parent)
    : QPlainTextEdit(parent), limit_(typingLimit)
{
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

QString EntryNotesMemo::characters() const
{
    // The plain text would turn no-break spaces into spaces and line separators into
    // line breaks; the raw text keeps both and marks each line break as a paragraph
    // separator.
    QString characters = document()->toRawText();
    characters.replace(QChar::ParagraphSeparator, u'\n');
    return characters;
}

QString EntryNotesMemo::text() const
{
    // Left as it was set, a text comes back exactly as it was given, its lone CRs and
    // LFs included.
    QString text = characters();
    if (text == shownAsSet_)
        return textAsSet_;
    text.replace(u'\n', QStringLiteral("\r\n"));
    return text;
}

void EntryNotesMemo::setText(const QString& text)
{
    const QString shown = withLineFeeds(text);
    if (shown != characters())
        setPlainText(shown);
    textAsSet_ = text;
    shownAsSet_ = characters();
}

int EntryNotesMemo::textLength() const
{
    return int(text().size());
}

int EntryNotesMemo::room() const
{
    // Once the user edits it, every line break is stored as CR LF. A selection reports
    // its line breaks as paragraph separators.
    const QString shown = characters();
    const QString selected = textCursor().selectedText();
    const qsizetype length = shown.size() + shown.count(u'\n');
    const qsizetype selectedLength = selected.size() + selected.count(QChar::ParagraphSeparator);
    return int(limit_ - (length - selectedLength));
}

QString EntryNotesMemo::fitting(const QString& text, int room)
{
    qsizetype used = 0;
    qsizetype end = 0;
    for (; end < text.size(); ++end) {
        const int cost = text.at(end) == u'\n' ? 2 : 1;
        if (used + cost > room)
            break;
        used += cost;
    }
    return text.left(end);
}

void EntryNotesMemo::keyPressEvent(QKeyEvent* event)
{
    if (isReadOnly()) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    const int key = event->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter)
        && !(event->modifiers() & (Qt::AltModifier | Qt::MetaModifier))) {
        // Every Enter starts a new line (Shift+Enter too), which costs two characters.
        if (room() >= 2) {
            QTextCursor cursor = textCursor();
            cursor.insertBlock();
            setTextCursor(cursor);
            ensureCursorVisible();
        }
        event->accept();
        return;
    }
    if (typesCharacter(event) && event->text().size() > room()) {
        event->accept();  // refused: the notes are full
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void EntryNotesMemo::focusInEvent(QFocusEvent* event)
{
    QPlainTextEdit::focusInEvent(event);
    emit focusEntered();
}

void EntryNotesMemo::inputMethodEvent(QInputMethodEvent* event)
{
    const QString commit = withLineFeeds(event->commitString());
    const QString fit = fitting(commit, room());
    if (isReadOnly() || fit == event->commitString()) {
        QPlainTextEdit::inputMethodEvent(event);
        return;
    }
    QInputMethodEvent trimmed(event->preeditString(), event->attributes());
    trimmed.setCommitString(fit, event->replacementStart(), event->replacementLength());
    QPlainTextEdit::inputMethodEvent(&trimmed);
    event->setAccepted(trimmed.isAccepted());
}

bool EntryNotesMemo::canInsertFromMimeData(const QMimeData* source) const
{
    return !isReadOnly() && source && source->hasText();
}

void EntryNotesMemo::insertFromMimeData(const QMimeData* source)
{
    if (!canInsertFromMimeData(source))
        return;
    const QString fit = fitting(withLineFeeds(source->text()), room());
    if (fit.isEmpty())
        return;  // refused: nothing of it fits
    QTextCursor cursor = textCursor();
    cursor.insertText(fit);
    setTextCursor(cursor);
    ensureCursorVisible();
}

// ---------------------------------------------------------------------------------
// EntryTypeCombo

// The type list's text box. Typed characters are offered to the list for completion
// first; any other change of the text by the user is reported once the event that
// made it has been handled, so the list can react outside the line edit's own work.
class EntryTypeCombo::TextBox : public QLineEdit {
public:
    explicit TextBox(EntryTypeCombo* combo) : QLineEdit(combo), combo_(combo)
    {
        connect(this, &QLineEdit::textEdited, this, [this] { editedByUser_ = true; });
    }

protected:
    bool event(QEvent* event) override
    {
        const bool handled = QLineEdit::event(event);
        if (editedByUser_) {
            editedByUser_ = false;
            combo_->textEditedByUser();
        }
        return handled;
    }

    void keyPressEvent(QKeyEvent* event) override
    {
        if (!isReadOnly() && typesCharacter(event) && combo_->completeTyped(event->text())) {
            event->accept();
            return;
        }
        QLineEdit::keyPressEvent(event);
        // Backspace leaves no item selected, also when it finds nothing to remove.
        if (!isReadOnly() && event->key() == Qt::Key_Backspace
            && !(event->modifiers() & (Qt::AltModifier | Qt::MetaModifier)))
            editedByUser_ = true;
    }

private:
    EntryTypeCombo* combo_;
    bool editedByUser_ = false;
};

EntryTypeCombo::EntryTypeCombo(QWidget* parent)
    : QComboBox(parent), textBox_(new TextBox(this))
{
    setLineEdit(textBox_);
    setCompleter(nullptr);
    setInsertPolicy(QComboBox::NoInsert);
    // The combo box would select an item whose text the box holds when editing ends or
    // Enter is pressed; here an item is selected only by picking or by completion.
    disconnect(textBox_, &QLineEdit::editingFinished, this, nullptr);
    disconnect(textBox_, &QLineEdit::returnPressed, this, nullptr);
    connect(this, &QComboBox::activated, this, &EntryTypeCombo::userChangedType);
}

void EntryTypeCombo::setIndexQuietly(int index)
{
    const QSignalBlocker block(this);
    setCurrentIndex(index >= 0 && index < count() ? index : -1);
    lineEdit()->home(false);  // an item wider than the box shows its beginning
}

bool EntryTypeCombo::completeTyped(const QString& typed)
{
    QLineEdit* box = lineEdit();
    const QString text = box->text();
    const QString candidate = (box->hasSelectedText() ? text.left(box->selectionStart()) : text) + typed;
    for (int i = 0; i < count(); ++i) {
        const QString item = itemText(i);
        if (!item.startsWith(candidate, Qt::CaseInsensitive))
            continue;
        const int before = currentIndex();
        setIndexQuietly(i);
        // The typed part keeps the letter case the user typed; the completed rest is
        // selected so that the next character replaces it.
        box->setText(candidate + item.mid(candidate.size()));
        if (item.size() > candidate.size())
            box->setSelection(int(candidate.size()), int(item.size() - candidate.size()));
        else
            box->setCursorPosition(int(candidate.size()));
        if (before != i)
            emit userChangedType();
        return true;
    }
    return false;
}

void EntryTypeCombo::textEditedByUser()
{
    if (currentIndex() != -1) {
        // Deselecting the item empties the box; the user's text stays.
        QLineEdit* box = lineEdit();
        const QString text = box->text();
        const int cursor = box->cursorPosition();
        setIndexQuietly(-1);
        box->setText(text);
        box->setCursorPosition(cursor);
    }
    emit userChangedType();
}

void EntryTypeCombo::focusInEvent(QFocusEvent* event)
{
    QComboBox::focusInEvent(event);
    if (enteredByUserMove(event->reason()))
        selectWholeText(lineEdit());
}

void EntryTypeCombo::focusOutEvent(QFocusEvent* event)
{
    QComboBox::focusOutEvent(event);
    // A completed item is often wider than the box: once the user has moved on, show
    // its beginning rather than its end.
    const Qt::FocusReason reason = event->reason();
    if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason)
        lineEdit()->home(false);
}

// ---------------------------------------------------------------------------------
// EntryButton

EntryButton::EntryButton(const QString& caption, QWidget* parent)
    : QPushButton(caption, parent)
{
    setAutoDefault(false);
    setDefault(false);
}

bool EntryButton::event(QEvent* event)
{
    // Qt would move the focus to the button and press it a moment later; the user
    // typing in a field expects to stay there (and to find the field again when the
    // dialog reports an empty mandatory field).
    if (event->type() == QEvent::Shortcut && isEnabled()
        && !static_cast<QShortcutEvent*>(event)->isAmbiguous()) {
        click();
        return true;
    }
    return QPushButton::event(event);
}

void EntryButton::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter)
        && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        click();
        event->accept();
        return;
    }
    QPushButton::keyPressEvent(event);
}
