// The record entry dialog driven with real keys and clicks: the type list and its
// completion, captions, counters and typing limits, the mandatory check, the ways the
// dialog ends, editing mode and a second showing.

#include "ui/dialogs/addUnit.h"
#include "uiTestSupport.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QtTest>

#include <functional>

using namespace uiTest;

namespace {

const QString mandatoryText = QStringLiteral("Some mandatory fields are empty.  Only the notes are optional.");

QWidget* focused()
{
    return QApplication::focusWidget();
}

void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, int times = 1)
{
    for (int i = 0; i < times; ++i)
        QTest::keyClick(focused(), key, modifiers);
}

void typeText(const QString& text)
{
    QTest::keyClicks(focused(), text);
}

QWidget* control(const tAddForm& dialog, const QString& name)
{
    const QHash<QString, QWidget*> controls{{"combo", dialog.recordTypeCombo}, {"name", dialog.nameEdit},
                                            {"login", dialog.loginEdit},       {"password", dialog.passwordEdit},
                                            {"notes", dialog.notesMemo},       {"ok", dialog.Button1},
                                            {"cancel", dialog.Button2}};
    return controls.value(name);
}

} // namespace

class TestAddForm : public QObject {
    Q_OBJECT
private slots:
    void firstShowingWhenAdding_data();
    void firstShowingWhenAdding();
    void pickingATypeSetsCaptionsAndFocus_data();
    void pickingATypeSetsCaptionsAndFocus();
    void typingIntoTheTypeListCompletes_data();
    void typingIntoTheTypeListCompletes();
    void pastingAnItemsTextSelectsNoItem();
    void countersAndTypingLimits_data();
    void countersAndTypingLimits();
    void notesCountALineBreakAsTwo();
    void callerTextsAreShownWhole();
    void okChecksTheMandatoryFields_data();
    void okChecksTheMandatoryFields();
    void escapeCancelsOnRelease_data();
    void escapeCancelsOnRelease();
    void escapeWithTheTypeListOpen();
    void escapeClosingABoxLeavesTheDialogOpen();
    void enterAndButtonKeys_data();
    void enterAndButtonKeys();
    void acceleratorsAndSelectionOnEntry();
    void editingMode_data();
    void editingMode();
    void secondShowingAfterARefusal();

private:
    // A dialog shown without an owner, active, with the focus where formShow put it.
    static void showAdding(tAddForm& dialog)
    {
        dialog.show();
        QVERIFY(waitUntilActive(dialog));
    }
};

void TestAddForm::firstShowingWhenAdding_data()
{
    QTest::addColumn<QRect>("ownerGeometry");
    QTest::newRow("centred") << QRect(100, 80, 632, 440);
    QTest::newRow("never below 0") << QRect(30, 10, 200, 120);
    QTest::newRow("odd difference") << QRect(50, 50, 339, 356);
}

void TestAddForm::firstShowingWhenAdding()
{
    QFETCH(QRect, ownerGeometry);
    QWidget owner;
    QVERIFY(showOwner(owner, ownerGeometry));
    tAddForm dialog(&owner);
    QCOMPARE(dialog.recordTypeIndex(), -1);  // nothing selected before the showing
    QCOMPARE(dialog.recordTypeCombo->currentText(), QString());

    const int result = execWith(dialog, [&] {
        QCOMPARE(dialog.frameGeometry().topLeft(), centredOver(owner, dialog.frameGeometry().size()));
        QCOMPARE(dialog.geometry().size(), QSize(338, 355));
        QCOMPARE(dialog.recordTypeIndex(), 0);
        QCOMPARE(dialog.recordTypeCombo->currentText(), QStringLiteral("Login & Password"));
        QCOMPARE(focused(), dialog.recordTypeCombo);
        QCOMPARE(dialog.recordTypeCombo->lineEdit()->selectedText(), QStringLiteral("Login & Password"));
        QVERIFY(dialog.nameEdit->isEnabled());
        QCOMPARE(dialog.nameLabel->text(), QStringLiteral("Site Name"));
        QCOMPARE(dialog.loginLabel->text(), QStringLiteral("&Login Name"));
        QCOMPARE(dialog.passwordLabel->text(), QStringLiteral("&Password"));
        QCOMPARE(dialog.noteSizeRemainingLabel->text(), QStringLiteral("Characters remaining: ..."));
        QTest::keyClick(focused(), Qt::Key_Escape);
    });
    QCOMPARE(result, 2);
}

void TestAddForm::pickingATypeSetsCaptionsAndFocus_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("loginCaption");
    QTest::addColumn<QString>("passwordCaption");
    QTest::newRow("memorable") << 1 << "Associated Site/Login" << "Memorable Information";
    QTest::newRow("serial") << 2 << "Program Name" << "Serial Number";
    QTest::newRow("login again") << 0 << "Login Name" << "Password";
}

void TestAddForm::pickingATypeSetsCaptionsAndFocus()
{
    QFETCH(int, index);
    QFETCH(QString, loginCaption);
    QFETCH(QString, passwordCaption);
    tAddForm dialog;
    dialog.setFieldTexts(QStringLiteral("site"), QStringLiteral("joe"), QString(), QString());
    showAdding(dialog);

    // Pick the item with the mouse from the opened list.
    dialog.recordTypeCombo->showPopup();
    QAbstractItemView* list = dialog.recordTypeCombo->view();
    QTRY_VERIFY(list->isVisible());
    const QRect itemRect = list->visualRect(list->model()->index(index, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, itemRect.center());
    QTRY_VERIFY(!list->isVisible());

    QCOMPARE(dialog.recordTypeIndex(), index);
    QCOMPARE(dialog.nameEdit->isEnabled(), index == 0);
    QCOMPARE(dialog.nameLabel->isEnabled(), index == 0);  // greyed with its field
    QCOMPARE(dialog.nameEdit->text(), QStringLiteral("site"));  // disabling keeps the text
    QCOMPARE(dialog.nameLabel->text(), QStringLiteral("Site Name"));
    QCOMPARE(dialog.loginLabel->text(), loginCaption);
    QCOMPARE(dialog.passwordLabel->text(), passwordCaption);
    EntryLineEdit* entered = index == 0 ? dialog.nameEdit : dialog.loginEdit;
    QTRY_COMPARE(focused(), entered);
    QCOMPARE(entered->selectedText(), entered->text());
    QCOMPARE(dialog.noteSizeRemainingLabel->text(),
             QStringLiteral("Characters remaining: %1").arg(index == 0 ? 96 : 37));

    // The new captions carry no accelerator: Alt+P and Alt+L reach nothing any more,
    // and type nothing either.
    const QString before = entered->text();
    press(Qt::Key_P, Qt::AltModifier);
    press(Qt::Key_L, Qt::AltModifier);
    QCOMPARE(focused(), entered);
    QCOMPARE(entered->text(), before);
}

void TestAddForm::typingIntoTheTypeListCompletes_data()
{
    QTest::addColumn<QString>("keys");  // "\b" stands for Backspace, "^" for Home
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<bool>("focusStaysInList");
    QTest::addColumn<QString>("loginCaption");

    // A text box shows no selection once the type change has moved the focus out.
    QTest::newRow("m") << "m" << 1 << "memorable Information" << "" << false << "Associated Site/Login";
    QTest::newRow("M") << "M" << 1 << "Memorable Information" << "" << false << "Associated Site/Login";
    QTest::newRow("P") << "P" << 2 << "Product Serial Number" << "" << false << "Program Name";
    QTest::newRow("x") << "x" << -1 << "x" << "" << false << "Program Name";
    // The item already selected: no type change, the typing goes on in the list.
    QTest::newRow("l") << "l" << 0 << "login & Password" << "ogin & Password" << true << "&Login Name";
    QTest::newRow("LO") << "LO" << 0 << "LOgin & Password" << "gin & Password" << true << "&Login Name";
    QTest::newRow("l then x") << "lx" << -1 << "lx" << "" << false << "Program Name";
    QTest::newRow("Backspace") << "\b" << -1 << "" << "" << false << "Program Name";
    // Nothing before the caret to remove: still no item selected.
    QTest::newRow("Backspace at the start") << "^\b" << -1 << "Login & Password" << "" << false
                                            << "Program Name";
}

void TestAddForm::typingIntoTheTypeListCompletes()
{
    QFETCH(QString, keys);
    QFETCH(int, index);
    QFETCH(QString, text);
    QFETCH(QString, selected);
    QFETCH(bool, focusStaysInList);
    QFETCH(QString, loginCaption);
    tAddForm dialog;
    showAdding(dialog);
    QCOMPARE(focused(), dialog.recordTypeCombo);  // with its whole text selected

    for (const QChar key : keys) {
        if (key == u'\b')
            press(Qt::Key_Backspace);
        else if (key == u'^')
            press(Qt::Key_Home);
        else
            QTest::keyClick(focused(), key.toLatin1());
    }

    QCOMPARE(dialog.recordTypeIndex(), index);
    QCOMPARE(dialog.recordTypeCombo->lineEdit()->text(), text);
    QCOMPARE(dialog.recordTypeCombo->lineEdit()->selectedText(), selected);
    QCOMPARE(focused() == dialog.recordTypeCombo, focusStaysInList);
    if (!focusStaysInList)
        QCOMPARE(focused(), index == 0 ? dialog.nameEdit : dialog.loginEdit);
    QCOMPARE(dialog.loginLabel->text(), loginCaption);
    QCOMPARE(dialog.nameEdit->isEnabled(), index == 0);

    if (index == -1) {
        // No item selected: OK asks only for login and password, and the caller gets -1.
        typeText(QStringLiteral("key"));
        press(Qt::Key_Tab);
        typeText(QStringLiteral("1234"));
        press(Qt::Key_O, Qt::AltModifier);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), 1);
        QCOMPARE(dialog.recordTypeIndex(), -1);
    }
}

void TestAddForm::pastingAnItemsTextSelectsNoItem()
{
    tAddForm dialog;
    showAdding(dialog);
    QApplication::clipboard()->setText(QStringLiteral("Memorable Information"));
    press(Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(dialog.recordTypeCombo->currentText(), QStringLiteral("Memorable Information"));
    QCOMPARE(dialog.recordTypeIndex(), -1);
    QCOMPARE(focused(), dialog.loginEdit);
    QCOMPARE(dialog.loginLabel->text(), QStringLiteral("Program Name"));
    // Going back into the list and out again, or Enter in it, selects nothing either.
    press(Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(focused(), dialog.recordTypeCombo);
    const SeenBox seen = answeringBox([&] { press(Qt::Key_Return); });
    QVERIFY(!seen.shown);  // Enter presses no button
    press(Qt::Key_Tab);
    QCOMPARE(focused(), dialog.loginEdit);
    QCOMPARE(dialog.recordTypeIndex(), -1);
}

void TestAddForm::countersAndTypingLimits_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("limit");
    QTest::newRow("name") << "name" << 100;
    QTest::newRow("login") << "login" << 40;
    QTest::newRow("password") << "password" << 50;
}

void TestAddForm::countersAndTypingLimits()
{
    QFETCH(QString, field);
    QFETCH(int, limit);
    tAddForm dialog;
    showAdding(dialog);
    QWidget* edit = control(dialog, field);
    auto remaining = [&] { return dialog.noteSizeRemainingLabel->text(); };

    QTest::mouseClick(edit, Qt::LeftButton);
    QCOMPARE(focused(), edit);
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: %1").arg(limit));  // on entering
    typeText(QString(limit - 1, u'a'));
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: 1"));
    typeText(QStringLiteral("bc"));  // the second one is refused
    QCOMPARE(static_cast<QLineEdit*>(edit)->text(), QString(limit - 1, u'a') + u'b');
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: 0"));

    // A paste is cut to what fits.
    press(Qt::Key_Backspace, {}, 3);
    QApplication::clipboard()->setText(QStringLiteral("12345"));
    press(Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(static_cast<QLineEdit*>(edit)->text(), QString(limit - 3, u'a') + QStringLiteral("123"));
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: 0"));

    // Entering another field speaks of that one.
    press(Qt::Key_Tab);
    QVERIFY(focused() != edit);
    QVERIFY(remaining() != QStringLiteral("Characters remaining: 0"));
}

void TestAddForm::notesCountALineBreakAsTwo()
{
    tAddForm dialog;
    showAdding(dialog);
    auto remaining = [&] { return dialog.noteSizeRemainingLabel->text(); };
    QTest::mouseClick(dialog.notesMemo->viewport(), Qt::LeftButton);
    QCOMPARE(focused(), dialog.notesMemo);
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: 256"));

    typeText(QString(253, u'a'));
    press(Qt::Key_Return);
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: 1"));
    press(Qt::Key_Return);  // a break would need two
    typeText(QStringLiteral("bc"));
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: 0"));
    QCOMPARE(dialog.notesText(), QString(253, u'a') + QStringLiteral("\r\nb"));
    QCOMPARE(dialog.notesMemo->blockCount(), 2);

    // A paste keeps what fits, a break still counting two.
    press(Qt::Key_Backspace, {}, 5);  // b, the break, three a's: 6 free
    QApplication::clipboard()->setText(QStringLiteral("x\r\nyz\r\nw"));
    press(Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(dialog.notesText(), QString(250, u'a') + QStringLiteral("x\r\nyz"));
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: 1"));

    // Tab moves on rather than typing a tab.
    press(Qt::Key_Tab);
    QCOMPARE(focused(), dialog.Button1);
    QVERIFY(!dialog.notesText().contains(u'\t'));
}

void TestAddForm::callerTextsAreShownWhole()
{
    tAddForm dialog;
    auto remaining = [&] { return dialog.noteSizeRemainingLabel->text(); };
    const QString notes = QString(150, u'n') + QStringLiteral("\r\n") + QString(150, u'm');
    dialog.setFieldTexts(QString(120, u'N'), QString(45, u'L'), QString(60, u'P'), notes);
    QCOMPARE(dialog.nameEdit->text().size(), 120);
    QCOMPARE(dialog.loginEdit->text().size(), 45);
    QCOMPARE(dialog.passwordEdit->text().size(), 60);
    QCOMPARE(dialog.notesText(), notes);
    QCOMPARE(dialog.notesMemo->blockCount(), 2);
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: -46"));  // 256 - 302

    // Setting the text a field already holds runs nothing.
    dialog.loginEdit->setText(QString(44, u'L'));
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: -4"));
    dialog.setNotesText(notes);
    dialog.nameEdit->setText(QString(120, u'N'));
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: -4"));
    dialog.loginEdit->setText(QString(45, u'L'));

    // Every field shows the beginning of a long text, also one entered with its whole
    // text selected (a disabled one cannot be scrolled by the user).
    dialog.setFieldTexts(QString(120, u'N'), QString(45, u'L'), QString(60, u'P'), notes);
    dialog.nameEdit->setEnabled(false);
    showAdding(dialog);
    QCOMPARE(dialog.nameEdit->cursorPosition(), 0);
    dialog.passwordEdit->setFocus(Qt::TabFocusReason);
    QCOMPARE(dialog.passwordEdit->selectedText(), QString(60, u'P'));
    QCOMPARE(dialog.passwordEdit->cursorPosition(), 0);
    QTest::mouseClick(dialog.loginEdit, Qt::LeftButton);
    QCOMPARE(remaining(), QStringLiteral("Characters remaining: -5"));
    press(Qt::Key_End);
    typeText(QStringLiteral("x"));  // the user cannot lengthen it further
    QCOMPARE(dialog.loginEdit->text(), QString(45, u'L'));
    press(Qt::Key_Left, Qt::ShiftModifier);
    typeText(QStringLiteral("x"));  // but may replace part of it
    QCOMPARE(dialog.loginEdit->text(), QString(44, u'L') + u'x');
    press(Qt::Key_Backspace, {}, 2);
    typeText(QStringLiteral("y"));  // nor grow it again while it is over the limit
    QCOMPARE(dialog.loginEdit->text(), QString(43, u'L'));
}

void TestAddForm::okChecksTheMandatoryFields_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("login type, no name") << 0 << "" << "joe" << "pw" << false;
    QTest::newRow("login type, spaces name") << 0 << "   " << "joe" << "pw" << true;
    QTest::newRow("login type, no password") << 0 << "site" << "joe" << "" << false;
    QTest::newRow("memorable, no name") << 1 << "" << "joe" << "pw" << true;
    QTest::newRow("serial, no name") << 2 << "" << "joe" << "pw" << true;
    QTest::newRow("no type, no name") << -1 << "" << "joe" << "pw" << true;
    QTest::newRow("memorable, no login") << 1 << "site" << "" << "pw" << false;
    QTest::newRow("no type, no password") << -1 << "" << "joe" << "" << false;
}

void TestAddForm::okChecksTheMandatoryFields()
{
    QFETCH(int, index);
    QFETCH(QString, name);
    QFETCH(QString, login);
    QFETCH(QString, password);
    QFETCH(bool, accepted);
    tAddForm dialog;
    showAdding(dialog);
    dialog.setRecordTypeIndex(index);
    dialog.setFieldTexts(name, login, password, QStringLiteral("note"));

    const SeenBox seen = answeringBox([&] { QTest::mouseClick(dialog.Button1, Qt::LeftButton); });
    QCOMPARE(seen.shown, !accepted);
    QCOMPARE(dialog.isVisible(), !accepted);
    QCOMPARE(dialog.result(), accepted ? 1 : 0);
    QCOMPARE(dialog.recordTypeIndex(), index);
    if (!accepted) {
        QCOMPARE(seen.caption, QStringLiteral("Error"));
        QCOMPARE(seen.text, mandatoryText);
        QCOMPARE(dialog.loginEdit->text(), login);  // everything is still there
        QCOMPARE(dialog.notesText(), QStringLiteral("note"));
    }
}

void TestAddForm::escapeCancelsOnRelease_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("cancels");
    QTest::newRow("type list") << "combo" << int(Qt::NoModifier) << true;
    QTest::newRow("name") << "name" << int(Qt::ShiftModifier) << true;
    QTest::newRow("login") << "login" << int(Qt::ControlModifier) << true;
    QTest::newRow("password") << "password" << int(Qt::AltModifier) << true;
    QTest::newRow("notes") << "notes" << int(Qt::NoModifier) << true;
    QTest::newRow("OK button") << "ok" << int(Qt::NoModifier) << false;
    QTest::newRow("Cancel button") << "cancel" << int(Qt::ShiftModifier) << false;
}

void TestAddForm::escapeCancelsOnRelease()
{
    QFETCH(QString, where);
    QFETCH(int, modifiers);
    QFETCH(bool, cancels);
    tAddForm dialog;
    showAdding(dialog);
    QWidget* input = control(dialog, where);
    input->setFocus(Qt::TabFocusReason);
    QCOMPARE(focused(), input);
    const auto mods = Qt::KeyboardModifiers(modifiers);

    QTest::keyPress(input, Qt::Key_Escape, mods);
    QVERIFY(dialog.isVisible());  // the press does nothing
    QTest::keyRelease(input, Qt::Key_Escape, mods);
    QCOMPARE(dialog.isVisible(), !cancels);
    QCOMPARE(dialog.result(), cancels ? 2 : 0);
}

void TestAddForm::escapeWithTheTypeListOpen()
{
    tAddForm dialog;
    showAdding(dialog);
    dialog.recordTypeCombo->showPopup();
    QTRY_VERIFY(QApplication::activePopupWidget() != nullptr);
    QWidget* popup = QApplication::activePopupWidget();
    QTest::keyPress(popup->focusWidget() ? popup->focusWidget() : popup, Qt::Key_Escape);
    QTRY_VERIFY(!dialog.recordTypeCombo->view()->isVisible());  // the press closes the list
    QVERIFY(dialog.isVisible());
    QTest::keyRelease(focused(), Qt::Key_Escape);  // its release cancels the dialog
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), 2);
}

void TestAddForm::escapeClosingABoxLeavesTheDialogOpen()
{
    tAddForm dialog;
    showAdding(dialog);
    dialog.loginEdit->setFocus(Qt::TabFocusReason);
    typeText(QStringLiteral("joe"));

    // The press of Escape closes the message box; its release then reaches the dialog,
    // which must not take it for a cancel.
    const SeenBox seen = answeringBox([] { press(Qt::Key_O, Qt::AltModifier); }, [](QWidget* box) {
        QWidget* focus = QApplication::focusWidget();
        QTest::keyPress(focus && focus->window() == box ? focus : box, Qt::Key_Escape);
    });
    QCOMPARE(seen.text, mandatoryText);
    QTest::keyRelease(dialog.loginEdit, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
    QCOMPARE(dialog.loginEdit->text(), QStringLiteral("joe"));

    // A press and release of its own still cancel.
    QTest::keyClick(dialog.loginEdit, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), 2);
}

void TestAddForm::enterAndButtonKeys_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("result");  // 0: still open
    QTest::newRow("Enter in login") << "login" << int(Qt::Key_Return) << 0 << 0;
    QTest::newRow("Enter in notes") << "notes" << int(Qt::Key_Enter) << 0 << 0;
    QTest::newRow("Enter on OK") << "ok" << int(Qt::Key_Return) << 0 << 1;
    QTest::newRow("Enter on Cancel") << "cancel" << int(Qt::Key_Enter) << 0 << 2;
    QTest::newRow("Space on Cancel") << "cancel" << int(Qt::Key_Space) << 0 << 2;
    QTest::newRow("c on OK") << "ok" << int(Qt::Key_C) << 0 << 2;
    QTest::newRow("o on Cancel") << "cancel" << int(Qt::Key_O) << 0 << 1;
    QTest::newRow("o in login") << "login" << int(Qt::Key_O) << 0 << 0;
    QTest::newRow("Alt+O in login") << "login" << int(Qt::Key_O) << int(Qt::AltModifier) << 1;
    QTest::newRow("Alt+C in notes") << "notes" << int(Qt::Key_C) << int(Qt::AltModifier) << 2;
}

void TestAddForm::enterAndButtonKeys()
{
    QFETCH(QString, where);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, result);
    tAddForm dialog;
    showAdding(dialog);
    dialog.setFieldTexts(QStringLiteral("site"), QStringLiteral("joe"), QStringLiteral("pw"), QString());
    control(dialog, where)->setFocus(Qt::TabFocusReason);
    QCOMPARE(focused(), control(dialog, where));

    const SeenBox seen = answeringBox([&] { press(Qt::Key(key), Qt::KeyboardModifiers(modifiers)); });
    QVERIFY(!seen.shown);
    QCOMPARE(dialog.isVisible(), result == 0);
    QCOMPARE(dialog.result(), result);
    if (where == QStringLiteral("notes") && result == 0)
        QCOMPARE(dialog.notesText(), QStringLiteral("\r\n"));  // Enter starts a new line
    if (where == QStringLiteral("login") && result == 0)
        QCOMPARE(dialog.loginEdit->text(), key == Qt::Key_O ? QStringLiteral("o") : QStringLiteral("joe"));
}

void TestAddForm::acceleratorsAndSelectionOnEntry()
{
    tAddForm dialog;
    dialog.setFieldTexts(QStringLiteral("site"), QStringLiteral("joe"), QStringLiteral("pw"),
                         QStringLiteral("some notes"));
    showAdding(dialog);

    press(Qt::Key_L, Qt::AltModifier);
    QCOMPARE(focused(), dialog.loginEdit);
    QCOMPARE(dialog.loginEdit->selectedText(), QStringLiteral("joe"));
    QCOMPARE(dialog.noteSizeRemainingLabel->text(), QStringLiteral("Characters remaining: 37"));
    press(Qt::Key_P, Qt::AltModifier);
    QCOMPARE(focused(), dialog.passwordEdit);
    QCOMPARE(dialog.passwordEdit->selectedText(), QStringLiteral("pw"));
    QCOMPARE(dialog.passwordEdit->echoMode(), QLineEdit::Normal);  // shown in clear
    press(Qt::Key_N, Qt::AltModifier);
    QCOMPARE(focused(), dialog.notesMemo);
    QVERIFY(!dialog.notesMemo->textCursor().hasSelection());  // the notes select nothing
    press(Qt::Key_R, Qt::AltModifier);
    QCOMPARE(focused(), dialog.recordTypeCombo);
    QCOMPARE(dialog.recordTypeCombo->lineEdit()->selectedText(), QStringLiteral("Login & Password"));

    // Alt with a letter that is no accelerator types nothing, in the type list or in a
    // field (where the plain letter would replace the selected text).
    press(Qt::Key_M, Qt::AltModifier);
    QCOMPARE(dialog.recordTypeIndex(), 0);
    QCOMPARE(dialog.recordTypeCombo->currentText(), QStringLiteral("Login & Password"));
    QCOMPARE(focused(), dialog.recordTypeCombo);
    for (QWidget* field : {static_cast<QWidget*>(dialog.nameEdit), static_cast<QWidget*>(dialog.loginEdit),
                           static_cast<QWidget*>(dialog.passwordEdit), static_cast<QWidget*>(dialog.notesMemo)}) {
        field->setFocus(Qt::TabFocusReason);
        press(Qt::Key_Z, Qt::AltModifier);
        press(Qt::Key_Z, Qt::AltModifier | Qt::ShiftModifier);
    }
    QCOMPARE(dialog.nameEdit->text(), QStringLiteral("site"));
    QCOMPARE(dialog.loginEdit->text(), QStringLiteral("joe"));
    QCOMPARE(dialog.passwordEdit->text(), QStringLiteral("pw"));
    QCOMPARE(dialog.notesText(), QStringLiteral("some notes"));
    press(Qt::Key_R, Qt::AltModifier);

    // Tab walks the inputs in order, selecting each single-line field's text.
    press(Qt::Key_Tab);
    QCOMPARE(focused(), dialog.nameEdit);
    QCOMPARE(dialog.nameEdit->selectedText(), QStringLiteral("site"));
    press(Qt::Key_Tab, {}, 3);
    QCOMPARE(focused(), dialog.notesMemo);
    press(Qt::Key_Tab);
    QCOMPARE(focused(), dialog.Button1);
    press(Qt::Key_Tab);
    QCOMPARE(focused(), dialog.Button2);

    // A click places the caret and selects nothing.
    QTest::mouseClick(dialog.loginEdit, Qt::LeftButton);
    QCOMPARE(focused(), dialog.loginEdit);
    QVERIFY(!dialog.loginEdit->hasSelectedText());
}

void TestAddForm::editingMode_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("listText");
    QTest::newRow("login") << 0 << "Bank" << "Login & Password";
    QTest::newRow("memorable") << 1 << "Memorable" << "Memorable Information";
    QTest::newRow("unknown type") << -1 << "Serial" << "";
}

void TestAddForm::editingMode()
{
    QFETCH(int, type);
    QFETCH(QString, name);
    QFETCH(QString, listText);
    tAddForm dialog;
    dialog.editing = true;
    dialog.setRecordTypeIndex(type);
    dialog.setFieldTexts(name, QStringLiteral("joe"), QStringLiteral("pw"), QStringLiteral("a\r\nb"));

    const int result = execWith(dialog, [&] {
        QVERIFY(!dialog.recordTypeCombo->isEnabled());
        QVERIFY(!dialog.nameEdit->isEnabled());
        QVERIFY(!dialog.nameLabel->isEnabled());
        QCOMPARE(dialog.recordTypeIndex(), type);
        QCOMPARE(dialog.recordTypeCombo->currentText(), listText);
        QCOMPARE(dialog.nameEdit->text(), name);
        // The type change never runs here: the captions keep their first texts.
        QCOMPARE(dialog.loginLabel->text(), QStringLiteral("&Login Name"));
        QCOMPARE(dialog.passwordLabel->text(), QStringLiteral("&Password"));
        QCOMPARE(focused(), dialog.loginEdit);
        QCOMPARE(dialog.loginEdit->selectedText(), QStringLiteral("joe"));
        QCOMPARE(dialog.noteSizeRemainingLabel->text(), QStringLiteral("Characters remaining: 37"));
        typeText(QStringLiteral("ann"));
        press(Qt::Key_O, Qt::AltModifier);
    });
    QCOMPARE(result, 1);
    QCOMPARE(dialog.recordTypeIndex(), type);
    QCOMPARE(dialog.loginEdit->text(), QStringLiteral("ann"));
    QCOMPARE(dialog.notesText(), QStringLiteral("a\r\nb"));
}

void TestAddForm::secondShowingAfterARefusal()
{
    QWidget owner;
    QVERIFY(showOwner(owner, {100, 100, 632, 440}));
    tAddForm dialog(&owner);

    int first = execWith(dialog, [&] {
        QTest::keyClick(focused(), 'm');
        QCOMPARE(focused(), dialog.loginEdit);
        typeText(QStringLiteral("mother"));
        press(Qt::Key_Tab);
        typeText(QStringLiteral("smith"));
        press(Qt::Key_O, Qt::AltModifier);
    });
    QCOMPARE(first, 1);
    QCOMPARE(dialog.recordTypeIndex(), 1);
    const QPoint firstPosition = dialog.pos();

    // The caller changed nothing and shows it again; the user moves it this time.
    SeenBox seen;
    int second = execWith(dialog, [&] {
        QCOMPARE(dialog.pos(), firstPosition);
        QCOMPARE(dialog.recordTypeIndex(), 0);
        QCOMPARE(dialog.recordTypeCombo->currentText(), QStringLiteral("Login & Password"));
        QVERIFY(!dialog.nameEdit->isEnabled());
        QCOMPARE(dialog.loginLabel->text(), QStringLiteral("Associated Site/Login"));
        QCOMPARE(focused(), dialog.passwordEdit);
        QCOMPARE(dialog.noteSizeRemainingLabel->text(), QStringLiteral("Characters remaining: 45"));
        QCOMPARE(dialog.loginEdit->text(), QStringLiteral("mother"));
        // The empty name is needed for type 0 now.
        seen = answeringBox([] { press(Qt::Key_O, Qt::AltModifier); });
        QVERIFY(dialog.isVisible());
        dialog.move(firstPosition + QPoint(20, 10));
        dialog.close();  // the close box
    });
    QCOMPARE(second, 2);
    QVERIFY(seen.shown);
    QCOMPARE(seen.text, mandatoryText);

    const int third = execWith(dialog, [&] {
        QCOMPARE(dialog.pos(), firstPosition + QPoint(20, 10));
        dialog.recordTypeCombo->setFocus(Qt::TabFocusReason);
        QTest::keyClick(focused(), 'l');  // completes to the item already selected
        QCOMPARE(focused(), dialog.recordTypeCombo);
        press(Qt::Key_Down);  // choosing another type runs the type change again
        QCOMPARE(focused(), dialog.loginEdit);
        press(Qt::Key_Backtab, Qt::ShiftModifier);  // back past the disabled name field
        QCOMPARE(focused(), dialog.recordTypeCombo);
        press(Qt::Key_Up);
        QCOMPARE(dialog.recordTypeIndex(), 0);
        QVERIFY(dialog.nameEdit->isEnabled());
        QCOMPARE(focused(), dialog.nameEdit);
        QCOMPARE(dialog.loginLabel->text(), QStringLiteral("Login Name"));
        press(Qt::Key_Escape);
    });
    QCOMPARE(third, 2);
}

QTEST_MAIN(TestAddForm)
#include "tst_addform.moc"
