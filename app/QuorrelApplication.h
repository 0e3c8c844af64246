#pragma once
// The application object: it derives the application title from the executable's
// name and reports every error that escapes an event handler.

#include <QApplication>
#include <QString>

class QuorrelApplication : public QApplication {
public:
    // Qt is handed only the program's name: the program reads no command line.
    QuorrelApplication(int& argc, char** argv);

    // The application title, shown as the caption of unforeseen-error boxes.
    QString title() const;

    // Delivers the event; an exception escaping its handler is reported by
    // reportUnexpectedError and the program carries on with the next event. A close
    // event whose handler failed is refused, so the window stays open.
    bool notify(QObject* receiver, QEvent* event) override;

protected:
    // A quit request (the last window closed, or the desktop session ending) ends the
    // event loop without asking the windows again: nothing can refuse the end of a
    // session, and the teardown that follows writes the open store.
    bool event(QEvent* event) override;

private:
    QString title_;
};

// "PASSWORDS.EXE" gives "Passwords", "my.keeper.exe" gives "my": the part after the
// last path separator, cut at its first ".", every character after the first in
// lower case.
QString applicationTitleFromPath(const QString& executablePath);

// The title of the running program (also when the application object is a plain
// QApplication, as in some tests).
QString applicationTitle();

// The text an unforeseen error is shown with: a "." is appended when the text is not
// empty and its last character's code is higher than that of ".".
QString unexpectedErrorText(const QString& text);

// Shows the error box captioned with the application title (error icon, one OK button).
void reportUnexpectedError(const QString& text);

// Reports the exception being handled with reportUnexpectedError: its text, or
// "Unknown error" for an exception that is no std::exception. Call only from a catch
// block.
void reportCurrentException();
