#pragma once
// The controls of the record entry dialog that behave differently from Qt's stock
// ones: fields whose typing limit binds the user but never cuts a text set by code,
// the notes field that counts a line break as two characters, the type list that
// completes what the user types, and push buttons pressed by Enter only while they
// hold the focus.

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

// Selects a single-line field's whole text with the caret at its start, so that a text
// wider than the field shows its beginning.
void selectWholeText(QLineEdit* field);

// A single-line field. What the user types, pastes or drops may not make the text
// longer than the typing limit (a paste is cut to fit); a text set by code is kept
// whole, and while it is longer than the limit the user may not lengthen it further.
// Entering the field other than by a mouse click selects its whole text.
class EntryLineEdit : public QLineEdit {
    Q_OBJECT
public:
    EntryLineEdit(int typingLimit, QWidget* parent = nullptr);
    int typingLimit() const { return limit_; }

signals:
    void focusEntered();

protected:
    bool event(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    class LimitValidator;
    int limit_;
    bool userEditing_ = false;  // true while an event of the user's is being handled
    QString textBefore_;        // the text before the edit being validated
};

// The multi-line notes field: words wrap, no scroll bars, Enter starts a new line and
// Tab moves on. Its text is read and set with CR LF line breaks; a break counts as two
// characters against the typing limit. A text set by code is read back exactly as it was
// set for as long as the field shows it; otherwise every character other than a line
// break is read back as it was set or typed (no-break spaces included).
class EntryNotesMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    EntryNotesMemo(int typingLimit, QWidget* parent = nullptr);
    int typingLimit() const { return limit_; }

    // The text with CR LF line breaks, or the one setText() gave while the field still
    // shows it.
    QString text() const;
    // Shows CR LF, LF or a lone CR each as a line break; setting the text already shown
    // changes nothing and emits nothing.
    void setText(const QString& text);
    // The length of text(): a line break counts as two characters.
    int textLength() const;

signals:
    void focusEntered();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    // The text shown, with LF line breaks and every other character as it is.
    QString characters() const;
    // Characters the user may still add if the selection is replaced.
    int room() const;
    // The longest beginning of text (with LF breaks) that fits into room characters.
    static QString fitting(const QString& text, int room);

    int limit_;
    QString textAsSet_;   // what setText() was given
    QString shownAsSet_;  // the characters it showed for it
};

// The record type list: an editable drop-down list whose text box completes what the
// user types to the first item that begins with it, without regard to letter case.
// userChangedType() is emitted for every change the user makes (an item picked, a
// completion to another item, any other edit of the text, which leaves no item
// selected); setting the index from code emits nothing.
class EntryTypeCombo : public QComboBox {
    Q_OBJECT
public:
    explicit EntryTypeCombo(QWidget* parent = nullptr);

    // Selects index (-1 or out of range: no item, empty text) without emitting.
    void setIndexQuietly(int index);

signals:
    void userChangedType();

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    class TextBox;
    friend class TextBox;

    // Handles a character typed into the text box; false when it completes no item
    // and is to be typed as usual.
    bool completeTyped(const QString& typed);
    // The user changed the text other than by completion: no item stays selected.
    void textEditedByUser();

    TextBox* textBox_;
};

// A push button that is never the dialog's default: Enter or Return presses it only
// while it has the focus, as Space does. Alt with its accelerator letter presses it at
// once and leaves the focus where it was.
class EntryButton : public QPushButton {
    Q_OBJECT
public:
    EntryButton(const QString& caption, QWidget* parent = nullptr);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
