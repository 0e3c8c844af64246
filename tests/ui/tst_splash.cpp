// The disclaimer driven with real keys: only Agree gives 1; Return, Escape and typing
// never end it; the close box and Disagree give 2.

#include "app/splashUnit.h"
#include "uiTestSupport.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <functional>

using namespace uiTest;

namespace {

void press(QWidget* window, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::keyClick(window->windowHandle(), key, modifiers);
}

void type(QWidget* window, const QString& text)
{
    for (const QChar c : text)
        QTest::keyClick(window->windowHandle(), c.toLatin1());
}

// Shows a fresh disclaimer, sends the keys once it is active and returns its answer.
int answerAfter(const std::function<void(tSplashForm&)>& keys)
{
    tSplashForm form;
    return execWith(form, [&] { keys(form); });
}

const QString expectedText = QStringLiteral(
    "By clicking \"I Agree\" you are stating that you have read, \n"
    "agree with and understand the following disclaimer.\n"
    "\n"
    "Freeware disclaimer: The author of this freeware, \n"
    "Orlendt, accepts no responsibility for damages resulting from \n"
    "the use of this product and makes no warranty or \n"
    "representation either express or implied including, but not \n"
    "limited to, any implied warranty of merchantability or fitness \n"
    "for a particular purpose. This software is provided \"AS IS\", \n"
    "and you, its user, assume all risks when using it.");

}  // namespace

class TestSplash : public QObject {
    Q_OBJECT

private slots:
    void looksAsDesigned();
    void returnAndEscapeNeverEndIt();
    void acceleratorsGiveTheirAnswers();
    void plainLettersOnlyWhileAButtonHasFocus();
    void closeBoxAnswersDisagree();
    void typedTextIsNeverRead();
    void gateDestroysTheDialogWhateverTheAnswer();
};

void TestSplash::looksAsDesigned()
{
    tSplashForm form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Disclaimer"));
    QCOMPARE(form.disclaimerMemo->toPlainText(), expectedText);
    QCOMPARE(form.disclaimerMemo->toPlainText().split(u'\n').size(), 10);
    QVERIFY(!form.disclaimerMemo->isReadOnly());
    QCOMPARE(form.agreeButton->text(), QStringLiteral("I &Agree"));
    QCOMPARE(form.disagreeButton->text(), QStringLiteral("I &Disagree"));
    QCOMPARE(form.agreeButton->geometry(), QRect(16, 240, 75, 25));
    QCOMPARE(form.disagreeButton->geometry(), QRect(296, 240, 75, 25));
    QVERIFY(form.agreeButton->isDefault());
    QVERIFY(!form.disagreeButton->isDefault());
    QCOMPARE(form.splashImage->geometry(), QRect(0, 0, 385, 60));
    // The shared banner, unscaled from the top-left corner: only its left part shows.
    QCOMPARE(form.splashImage->pixmap().size(), QSize(640, 60));
    QVERIFY(!form.splashImage->hasScaledContents());
    QCOMPARE(form.splashImage->alignment(), Qt::AlignLeft | Qt::AlignTop);
    QCOMPARE(form.copyrightLabel->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);

    // Every control lies inside the client area, the text field between the lines
    // and the buttons.
    for (QWidget* child : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        QVERIFY2(QRect(0, 0, 385, 273).contains(child->geometry()), qPrintable(child->objectName()));
    QVERIFY(form.disclaimerMemo->geometry().top() >= form.copyrightLabel->geometry().bottom());
    QVERIFY(form.disclaimerMemo->geometry().bottom() < 240);

    const Qt::WindowFlags flags = form.windowFlags();
    QVERIFY(flags & Qt::WindowStaysOnTopHint);
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));

    // Shown: fixed client size, centred on the screen, the focus in the text field.
    bool checked = false;
    QCOMPARE(execWith(form, [&] {
                 QCOMPARE(form.size(), QSize(385, 273));
                 QCOMPARE(form.minimumSize(), form.maximumSize());
                 const QRect area = form.screen()->availableGeometry();
                 QVERIFY(qAbs(form.frameGeometry().center().x() - area.center().x()) <= 1);
                 QVERIFY(qAbs(form.frameGeometry().center().y() - area.center().y()) <= 1);
                 QCOMPARE(QApplication::focusWidget(), form.disclaimerMemo);
                 checked = true;
                 form.agreeButtonClick();
             }),
             1);
    QVERIFY(checked);
}

void TestSplash::returnAndEscapeNeverEndIt()
{
    QCOMPARE(answerAfter([](tSplashForm& form) {
                 // Return right after opening starts a new line at the caret.
                 press(&form, Qt::Key_Return);
                 QVERIFY(form.isVisible());
                 QCOMPARE(form.disclaimerMemo->toPlainText(), u'\n' + expectedText);

                 press(&form, Qt::Key_Escape);
                 QVERIFY(form.isVisible());

                 // Escape on a button does nothing either.
                 press(&form, Qt::Key_Tab);
                 QCOMPARE(QApplication::focusWidget(), form.agreeButton);
                 press(&form, Qt::Key_Escape);
                 QVERIFY(form.isVisible());

                 // Return presses the button that has the focus.
                 press(&form, Qt::Key_Tab);
                 QCOMPARE(QApplication::focusWidget(), form.disagreeButton);
                 press(&form, Qt::Key_Return);
             }),
             2);
}

void TestSplash::acceleratorsGiveTheirAnswers()
{
    QCOMPARE(answerAfter([](tSplashForm& form) { press(&form, Qt::Key_A, Qt::AltModifier); }), 1);
    QCOMPARE(answerAfter([](tSplashForm& form) { press(&form, Qt::Key_D, Qt::AltModifier); }), 2);
    // Alt+D from the agree button answers Disagree, not the focused button.
    QCOMPARE(answerAfter([](tSplashForm& form) {
                 press(&form, Qt::Key_Tab);
                 QCOMPARE(QApplication::focusWidget(), form.agreeButton);
                 press(&form, Qt::Key_D, Qt::AltModifier);
             }),
             2);
    // Space presses the focused button.
    QCOMPARE(answerAfter([](tSplashForm& form) {
                 press(&form, Qt::Key_Tab);
                 press(&form, Qt::Key_Space);
             }),
             1);
}

void TestSplash::plainLettersOnlyWhileAButtonHasFocus()
{
    // In the text field the letters are typed, not taken as answers.
    QCOMPARE(answerAfter([](tSplashForm& form) {
                 type(&form, QStringLiteral("ad"));
                 // Alt with a letter that is no accelerator types nothing.
                 press(&form, Qt::Key_Z, Qt::AltModifier);
                 QVERIFY(form.isVisible());
                 QVERIFY(form.disclaimerMemo->toPlainText().startsWith(QStringLiteral("adBy clicking")));
                 press(&form, Qt::Key_Tab);
                 type(&form, QStringLiteral("d"));
             }),
             2);
    QCOMPARE(answerAfter([](tSplashForm& form) {
                 press(&form, Qt::Key_Backtab);
                 QCOMPARE(QApplication::focusWidget(), form.disagreeButton);
                 type(&form, QStringLiteral("a"));
             }),
             1);
}

void TestSplash::closeBoxAnswersDisagree()
{
    tSplashForm form;
    QCOMPARE(execWith(form, [&] { form.windowHandle()->close(); }), 2);
    QVERIFY(!form.isVisible());

    // Once answered, the same dialog can be shown again and agreed to.
    QCOMPARE(execWith(form, [&] { press(&form, Qt::Key_A, Qt::AltModifier); }), 1);
}

void TestSplash::typedTextIsNeverRead()
{
    QCOMPARE(answerAfter([](tSplashForm& form) {
                 press(&form, Qt::Key_A, Qt::ControlModifier);
                 type(&form, QStringLiteral("i disagree"));
                 press(&form, Qt::Key_Return);
                 QCOMPARE(form.disclaimerMemo->toPlainText(), QStringLiteral("i disagree\n"));
                 press(&form, Qt::Key_A, Qt::AltModifier);
             }),
             1);
    tSplashForm next;
    QCOMPARE(next.disclaimerMemo->toPlainText(), expectedText);
}

void TestSplash::gateDestroysTheDialogWhateverTheAnswer()
{
    QWidget owner;
    for (const bool agree : {true, false}) {
        QPointer<tSplashForm> seen;
        bool sawDialog = false;
        QTimer::singleShot(0, &owner, [&] {
            seen = splashForm;
            sawDialog = !seen.isNull() && seen->isVisible();
            if (!seen || !QTest::qWaitForWindowActive(seen))
                return;
            QCOMPARE(seen->parentWidget(), &owner);
            if (agree)
                press(seen, Qt::Key_A, Qt::AltModifier);
            else
                seen->windowHandle()->close();
        });
        QTimer::singleShot(5000, &owner, [&] {
            if (splashForm)
                splashForm->done(timedOut);
        });
        QCOMPARE(passDisclaimerGate(&owner), agree);
        QVERIFY(sawDialog);
        QVERIFY(seen.isNull());
        QVERIFY(splashForm == nullptr);
    }
}

QTEST_MAIN(TestSplash)
#include "tst_splash.moc"
