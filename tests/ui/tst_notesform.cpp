// The notes viewer driven with real keys: what it shows, where the focus starts,
// which keys close it and which do not.

#include "ui/dialogs/notesUnit.h"
#include "uiTestSupport.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace uiTest;

class NotesFormTest : public QObject {
    Q_OBJECT

private:
    // Runs action once the viewer is up in its modal loop, then returns exec()'s result.
    // A viewer the action leaves open is closed shortly after, and the returned flag
    // says so.
    struct Outcome {
        int result;
        bool closedByAction;
    };
    static Outcome execWith(tNotesForm& form, const std::function<void(tNotesForm&)>& action)
    {
        bool closedByAction = true;
        QTimer leftOpen;
        leftOpen.setSingleShot(true);
        QObject::connect(&leftOpen, &QTimer::timeout, &form, [&] {
            if (form.isVisible()) {
                closedByAction = false;
                form.done(timedOut);
            }
        });
        const int result = uiTest::execWith(form, [&] {
            action(form);
            leftOpen.start(300);
        });
        return {result, closedByAction};
    }

private slots:
    void showsNotesOneLinePerBreak()
    {
        tNotesForm form;
        form.setNotes(QStringLiteral("first line\r\nsecond line\r\n\r\nfourth"));
        QCOMPARE(form.notesMemo->document()->blockCount(), 4);
        QCOMPARE(form.notesMemo->toPlainText(), QStringLiteral("first line\nsecond line\n\nfourth"));
    }

    void layoutAndFocus()
    {
        tNotesForm form;
        QCOMPARE(form.windowTitle(), QStringLiteral("Notes"));
        QCOMPARE(form.size(), QSize(355, 217));
        QCOMPARE(form.buttonPanel->geometry(), QRect(0, 176, 355, 41));
        QCOMPARE(form.closeButton->geometry(), QRect(272, 8, 75, 25));
        QCOMPARE(form.notesMemo->geometry(), QRect(0, 0, 355, 176));
        QCOMPARE(form.notesMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(!form.notesMemo->isReadOnly());

        QWidget* focused = nullptr;
        execWith(form, [&](tNotesForm& f) {
            focused = QApplication::focusWidget();
            f.closeButtonClick();
        });
        QCOMPARE(focused, form.closeButton);
    }

    void enterOnCloseClosesButEscapeDoesNot()
    {
        tNotesForm form;
        Outcome escape = execWith(form, [](tNotesForm& f) {
            QTest::keyClick(f.closeButton, Qt::Key_Escape);
            QTest::keyClick(f.notesMemo, Qt::Key_Escape);
        });
        QVERIFY(!escape.closedByAction);

        Outcome enter = execWith(form, [](tNotesForm& f) {
            QTest::keyClick(f.closeButton, Qt::Key_Return);
        });
        QVERIFY(enter.closedByAction);
        QCOMPARE(enter.result, int(QDialog::Rejected));
    }

    void altCClosesFromTheText()
    {
        tNotesForm form;
        form.setNotes(QStringLiteral("abc"));
        Outcome outcome = execWith(form, [](tNotesForm& f) {
            f.notesMemo->setFocus();
            // Alt with a letter that is no accelerator types nothing.
            QTest::keyClick(f.notesMemo, Qt::Key_Z, Qt::AltModifier);
            QTest::keyClick(f.notesMemo, Qt::Key_C, Qt::AltModifier);
        });
        QVERIFY(outcome.closedByAction);
        QCOMPARE(form.notesMemo->toPlainText(), QStringLiteral("abc"));
    }

    void returnInTheTextStartsALine()
    {
        tNotesForm form;
        form.setNotes(QStringLiteral("abc"));
        Outcome outcome = execWith(form, [](tNotesForm& f) {
            f.notesMemo->setFocus();
            f.notesMemo->moveCursor(QTextCursor::End);
            QTest::keyClick(f.notesMemo, Qt::Key_Return);
            QTest::keyClicks(f.notesMemo, QStringLiteral("x"));
        });
        QVERIFY(!outcome.closedByAction);
        QCOMPARE(form.notesMemo->toPlainText(), QStringLiteral("abc\nx"));
    }

    void closeBoxClosesLikeClose()
    {
        tNotesForm form;
        Outcome outcome = execWith(form, [](tNotesForm& f) { f.close(); });
        QVERIFY(outcome.closedByAction);
        QCOMPARE(outcome.result, int(QDialog::Rejected));
    }

    void centredOverItsOwner()
    {
        QWidget owner;
        QVERIFY(showOwner(owner, {100, 100, 632, 440}));
        tNotesForm form(&owner);
        QPoint shownAt;
        execWith(form, [&](tNotesForm& f) {
            shownAt = f.frameGeometry().topLeft();
            f.closeButtonClick();
        });
        QCOMPARE(shownAt, centredOver(owner, form.frameGeometry().size()));
    }
};

QTEST_MAIN(NotesFormTest)
#include "tst_notesform.moc"
