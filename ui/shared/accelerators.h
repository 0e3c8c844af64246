#pragma once
// Plain-letter accelerators: while the focus is on a control that takes no typed
// characters (a button, the read-only grid), typing the letter marked with "&" in a
// button's caption presses that button, as Alt with the letter does anywhere.

#include <QObject>

class QKeyEvent;
class QWidget;

// True when the key press would type its text into a field. Ctrl, Alt or Meta held make
// it a command key, except Ctrl with Alt, which is how some keyboards type their
// third-level characters.
bool typesCharacter(const QKeyEvent* key);

// Installed on a control that takes typed characters: a key pressed with Alt types
// nothing into it. Alt with a letter that is an accelerator never gets that far: the
// window's shortcuts take the key before the control sees it.
void keepAltFromTyping(QWidget* field);

// Installed on the controls that take no typed characters: a letter key pressed
// without Ctrl, Alt or Meta presses the window's button with that accelerator.
class PlainLetterAccelerators : public QObject {
public:
    explicit PlainLetterAccelerators(QWidget* window);
    void watch(QWidget* control);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* window_;
};
