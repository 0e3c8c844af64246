#pragma once
// The disclaimer that the user passes at every start: banner, version, author line,
// the disclaimer text and two answers. It ends with 1 (agree) or 2 (disagree or the
// close box) and knows nothing of the stores or the main window.

#include <QDialog>
#include <QString>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class tSplashForm : public QDialog {
    Q_OBJECT

public:
    explicit tSplashForm(QWidget* owner = nullptr);

    // The ten lines of the disclaimer, joined by line breaks.
    static QString disclaimerText();

    QLabel* splashImage;
    QLabel* versionLabel;
    QLabel* copyrightLabel;
    QPlainTextEdit* disclaimerMemo;
    QPushButton* agreeButton;
    QPushButton* disagreeButton;

    // The dialog has no cancel: Escape (which the dialog answers with reject()) and
    // every other rejection leave it open.
    void reject() override;


public slots:
    void agreeButtonClick();
    void disagreeButtonClick();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Centred on the screen at every showing.
    void showEvent(QShowEvent* event) override;
};

// The disclaimer while it is shown by the gate, otherwise null.
extern tSplashForm* splashForm;

// The gate: creates the disclaimer over owner, shows it modally and destroys it;
// true only when the user agreed.
bool passDisclaimerGate(QWidget* owner);
