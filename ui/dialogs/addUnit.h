#pragma once
// The record entry dialog, used by Add (empty) and Edit (filled with the current
// record). The caller sets `editing`, fills the fields when editing, shows the dialog
// with exec() (1 for OK, 2 for cancel), reads the fields back and may show it again.

#include "entryControls.h"

#include <QDialog>

#include <array>

class QLabel;
class QWidget;

class tAddForm : public QDialog {
    Q_OBJECT
public:
    // Modal results.
    static constexpr int resultOk = 1;
    static constexpr int resultCancel = 2;

    explicit tAddForm(QWidget* owner = nullptr);

    // True for Edit, false for Add; set before the first showing.
    bool editing = false;

    // The type list's selected index: 0, 1, 2, or -1 while no item is selected.
    int recordTypeIndex() const;
    // Selects an index from code (anything but 0, 1 or 2 selects no item); the type
    // change does not run.
    void setRecordTypeIndex(int index);
    // The notes with CR LF line breaks.
    QString notesText() const;
    void setNotesText(const QString& notes);
    // Sets the four texts as the caller's; none is cut to its typing limit.
    void setFieldTexts(const QString& name, const QString& login, const QString& password,
                       const QString& notes);

    QLabel* StaticText1;
    QLabel* Label1;
    EntryTypeCombo* recordTypeCombo;
    QLabel* nameLabel;
    EntryLineEdit* nameEdit;
    QLabel* loginLabel;
    QLabel* maxLoginSizeLabel;
    EntryLineEdit* loginEdit;
    QLabel* passwordLabel;
    QLabel* maxPasswordSizeLabel;
    EntryLineEdit* passwordEdit;
    QLabel* Label2;
    QLabel* notesMaxLabel;
    EntryNotesMemo* notesMemo;
    QLabel* noteSizeRemainingLabel;
    EntryButton* Button1;
    EntryButton* Button2;

public slots:
    // Every way of cancelling (the close box included) ends with modal result 2.
    void reject() override;

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void formShow();
    void recordTypeComboChange();
    void notesMemoChange(QWidget* field);
    void formKeyUp(const QKeyEvent* event);
    void Button1Click();
    void Button2Click();

    // The type list and the four text fields, in tab order.
    std::array<QWidget*, 5> inputs() const;
    // Notes a press of Escape that reached the dialog; only its release may cancel.
    void noteEscapePress(const QKeyEvent* event);
    // True for the release of an Escape whose press reached the dialog; forgets the press.
    bool escapeReleasedAfterPressHere(const QKeyEvent* event);

    // Moves the focus into a control as the program does (not as a click): a
    // single-line field then has its whole text selected.
    void enterControl(QWidget* control);
    bool shownBefore_ = false;
    bool escapePressedHere_ = false;
    // The window's frame is only known once it is on the screen; the first placement
    // estimated it and is made again with the real frame.
    bool placeAgainWhenFramed_ = false;
};
