#pragma once
// The program's one kind of message box: modal, centred on the screen.

#include <QString>

class MessageBox {
public:
    enum class Kind {
        Error,         // caption "Error", error icon, one "OK" button (default and cancel)
        Confirmation,  // caption "Confirm", question icon, "&Yes" (default) and "&No" (cancel)
        Information,   // caption "Information", information icon, one "OK" button (default and cancel)
    };
    enum class Answer { Ok, Yes, No };

    // Shows the box and returns the button pressed. Closing a confirmation with its
    // close box or Escape answers No.
    static Answer show(Kind kind, const QString& text);

    // An error box under another caption: unforeseen errors are reported under the
    // application's title.
    static void showError(const QString& caption, const QString& text);
};
