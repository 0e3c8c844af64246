// The shared message box: its two kinds, the answers each way of closing it gives,
// and where it appears.

#include "ui/dialogs/MessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {

// What a test saw of a box while it was open.
struct SeenBox {
    bool shown = false;
    QString caption, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    QString defaultButton, escapeButton;
    bool hasParent = true;
    Qt::WindowModality modality = Qt::NonModal;
    QRect frame;
};

// Once a message box is the active modal window, records it and runs answer on it.
// A box that does not appear within five seconds leaves seen.shown false; one that
// stays open after answer is closed, so no test can hang in exec().
void answerBox(SeenBox& seen, std::function<void(QMessageBox*)> answer)
{
    auto* poll = new QTimer;
    const QDeadlineTimer deadline(5000);
    QObject::connect(poll, &QTimer::timeout, [poll, deadline, &seen, answer] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) {
            if (deadline.hasExpired())
                poll->deleteLater();
            return;
        }
        poll->deleteLater();
        seen.shown = true;
        seen.caption = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        for (QAbstractButton* button : box->buttons())
            seen.buttons << button->text();
        seen.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
        seen.escapeButton = box->escapeButton() ? box->escapeButton()->text() : QString();
        seen.hasParent = box->parentWidget() != nullptr;
        seen.modality = box->windowModality();
        seen.frame = box->frameGeometry();
        answer(box);
        QTimer::singleShot(2000, box, [box] { box->done(0); });
    });
    poll->start(10);
}

QAbstractButton* buttonWithText(QMessageBox* box, const QString& text)
{
    for (QAbstractButton* button : box->buttons())
        if (button->text() == text)
            return button;
    return nullptr;
}

void pressKey(QMessageBox* box, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : box;
    QTest::keyClick(target, key, modifiers);
}

} // namespace

class TestMessageBox : public QObject {
    Q_OBJECT
private slots:
    void errorBoxLooksAsRequired();
    void errorBoxEndsWithOkWhicheverWayItIsClosed_data();
    void errorBoxEndsWithOkWhicheverWayItIsClosed();
    void showErrorUsesTheGivenCaption();
    void confirmationLooksAsRequired();
    void onlyYesCountsAsYes_data();
    void onlyYesCountsAsYes();
};

void TestMessageBox::errorBoxLooksAsRequired()
{
    SeenBox seen;
    answerBox(seen, [](QMessageBox* box) { pressKey(box, Qt::Key_Return); });
    const MessageBox::Answer answer = MessageBox::show(MessageBox::Kind::Error, QStringLiteral("Entry already exists."));

    QVERIFY(seen.shown);
    QCOMPARE(answer, MessageBox::Answer::Ok);
    QCOMPARE(seen.caption, QStringLiteral("Error"));
    QCOMPARE(seen.text, QStringLiteral("Entry already exists."));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QCOMPARE(seen.buttons, QStringList{QStringLiteral("OK")});
    QCOMPARE(seen.defaultButton, QStringLiteral("OK"));
    QCOMPARE(seen.escapeButton, QStringLiteral("OK"));
    // Centred on the screen, blocking the whole program.
    QVERIFY(!seen.hasParent);
    QCOMPARE(seen.modality, Qt::ApplicationModal);
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    QVERIFY2((seen.frame.center() - screenCentre).manhattanLength() <= 2,
             qPrintable(QStringLiteral("box centre %1,%2").arg(seen.frame.center().x()).arg(seen.frame.center().y())));
}

void TestMessageBox::errorBoxEndsWithOkWhicheverWayItIsClosed_data()
{
    QTest::addColumn<int>("way");
    QTest::newRow("Escape") << 0;
    QTest::newRow("close box") << 1;
    QTest::newRow("click OK") << 2;
}

void TestMessageBox::errorBoxEndsWithOkWhicheverWayItIsClosed()
{
    QFETCH(int, way);
    SeenBox seen;
    answerBox(seen, [way](QMessageBox* box) {
        if (way == 0)
            pressKey(box, Qt::Key_Escape);
        else if (way == 1)
            box->close();
        else
            QTest::mouseClick(buttonWithText(box, QStringLiteral("OK")), Qt::LeftButton);
    });
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(MessageBox::show(MessageBox::Kind::Error, QStringLiteral("x")), MessageBox::Answer::Ok);
    QVERIFY(seen.shown);
    QVERIFY2(clock.elapsed() < 1500, "the box did not close on the user's action");
}

void TestMessageBox::showErrorUsesTheGivenCaption()
{
    SeenBox seen;
    answerBox(seen, [](QMessageBox* box) { pressKey(box, Qt::Key_Escape); });
    MessageBox::showError(QStringLiteral("Passwords"), QStringLiteral("Disk full."));
    QVERIFY(seen.shown);
    QCOMPARE(seen.caption, QStringLiteral("Passwords"));
    QCOMPARE(seen.text, QStringLiteral("Disk full."));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QCOMPARE(seen.buttons, QStringList{QStringLiteral("OK")});
}

void TestMessageBox::confirmationLooksAsRequired()
{
    SeenBox seen;
    answerBox(seen, [](QMessageBox* box) { pressKey(box, Qt::Key_Return); });
    const MessageBox::Answer answer =
        MessageBox::show(MessageBox::Kind::Confirmation, QStringLiteral("Delete \"Bank - jo\"?"));

    QVERIFY(seen.shown);
    QCOMPARE(answer, MessageBox::Answer::Yes);  // Enter takes the default button
    QCOMPARE(seen.caption, QStringLiteral("Confirm"));
    QCOMPARE(seen.text, QStringLiteral("Delete \"Bank - jo\"?"));
    QCOMPARE(seen.icon, QMessageBox::Question);
    seen.buttons.sort();
    QCOMPARE(seen.buttons, (QStringList{QStringLiteral("&No"), QStringLiteral("&Yes")}));
    QCOMPARE(seen.defaultButton, QStringLiteral("&Yes"));
    QCOMPARE(seen.escapeButton, QStringLiteral("&No"));
    QVERIFY(!seen.hasParent);
}

void TestMessageBox::onlyYesCountsAsYes_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<bool>("yes");
    QTest::newRow("click Yes") << "click &Yes" << true;
    QTest::newRow("click No") << "click &No" << false;
    QTest::newRow("Escape") << "Escape" << false;
    QTest::newRow("close box") << "close" << false;
    QTest::newRow("letter y") << "y" << true;
    QTest::newRow("letter n") << "n" << false;
    QTest::newRow("Alt+N") << "Alt+N" << false;
}

void TestMessageBox::onlyYesCountsAsYes()
{
    QFETCH(QString, way);
    QFETCH(bool, yes);
    SeenBox seen;
    answerBox(seen, [way](QMessageBox* box) {
        if (way.startsWith(QStringLiteral("click ")))
            QTest::mouseClick(buttonWithText(box, way.mid(6)), Qt::LeftButton);
        else if (way == QStringLiteral("Escape"))
            pressKey(box, Qt::Key_Escape);
        else if (way == QStringLiteral("close"))
            box->close();
        else if (way == QStringLiteral("y"))
            pressKey(box, Qt::Key_Y);
        else if (way == QStringLiteral("n"))
            pressKey(box, Qt::Key_N);
        else
            pressKey(box, Qt::Key_N, Qt::AltModifier);
    });
    QElapsedTimer clock;
    clock.start();
    const MessageBox::Answer answer = MessageBox::show(MessageBox::Kind::Confirmation, QStringLiteral("Sure?"));
    QVERIFY(seen.shown);
    QVERIFY2(clock.elapsed() < 1500, "the box did not close on the user's action");
    QCOMPARE(answer, yes ? MessageBox::Answer::Yes : MessageBox::Answer::No);
}

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
