#pragma once
// Plain-letter accelerators: while the focus is on a control that takes no typed
// characters (a button, the read-only grid), typing the letter marked with "&" in a
// button's caption presses that button, as Alt with the letter does anywhere.

#include <QObject>

class QWidget;

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
