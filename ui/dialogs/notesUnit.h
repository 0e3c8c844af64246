#pragma once
// The notes viewer: a small modal window that shows one record's notes. Nothing
// typed into it is kept.

#include <QDialog>

class QFrame;
class QPlainTextEdit;
class QPushButton;

class tNotesForm : public QDialog {
    Q_OBJECT
public:
    explicit tNotesForm(QWidget* owner = nullptr);

    // Shows notes stored with CR LF line breaks one line per break.
    void setNotes(const QString& notes);

    QFrame* buttonPanel;
    QPushButton* closeButton;
    QPlainTextEdit* notesMemo;

    void closeButtonClick();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

// The viewer while it is shown, otherwise null.
extern tNotesForm* notesForm;
