// The shared message box: how each kind looks, where it appears, and the answer each
// way of closing it gives.

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
    QString caption, text, buttons, defaultButton, escapeButton;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool centredAndModal = false;
};

// Once a message box is the active modal window, records it and runs answer on it.
// A box that stays open two seconds after the answer is closed, so no test hangs.
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
        QStringList buttons;
        for (QAbstractButton* button : box->buttons())
            buttons << button->text();
        buttons.sort();
        seen.buttons = buttons.join(u'|');
        seen.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
        seen.escapeButton = box->escapeButton() ? box->escapeButton()->text() : QString();
        const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
        seen.centredAndModal = !box->parentWidget() && box->windowModality() == Qt::ApplicationModal
            && (box->frameGeometry().center() - screenCentre).manhattanLength() <= 2;
        answer(box);
        QTimer::singleShot(2000, box, [box] { box->done(0); });
    });
    poll->start(10);
}

MessageBox::Answer showBox(const QString& kind, const QString& text)
{
    if (kind == QStringLiteral("confirmation"))
        return MessageBox::show(MessageBox::Kind::Confirmation, text);
    if (kind == QStringLiteral("error"))
        return MessageBox::show(MessageBox::Kind::Error, text);
    MessageBox::showError(kind, text);
    return MessageBox::Answer::Ok;
}

} // namespace

class TestMessageBox : public QObject {
    Q_OBJECT
private slots:
    void boxesLookAsRequired_data();
    void boxesLookAsRequired();
    void answers_data();
    void answers();
};

void TestMessageBox::boxesLookAsRequired_data()
{
    QTest::addColumn<QString>("kind");  // "error", "confirmation" or showError's caption
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("buttons");
    QTest::addColumn<QString>("defaultButton");
    QTest::addColumn<QString>("escapeButton");
    QTest::newRow("error") << "error" << "Error" << int(QMessageBox::Critical) << "OK" << "OK" << "OK";
    QTest::newRow("confirmation") << "confirmation" << "Confirm" << int(QMessageBox::Question) << "&No|&Yes"
                                  << "&Yes" << "&No";
    QTest::newRow("error under a title") << "Passwords" << "Passwords" << int(QMessageBox::Critical) << "OK"
                                         << "OK" << "OK";
}

void TestMessageBox::boxesLookAsRequired()
{
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    QFETCH(int, icon);
    QFETCH(QString, buttons);
    QFETCH(QString, defaultButton);
    QFETCH(QString, escapeButton);
    SeenBox seen;
    answerBox(seen, [](QMessageBox* box) { box->close(); });
    showBox(kind, QStringLiteral("Delete \"Bank - jo\"?"));

    QVERIFY(seen.shown);
    QCOMPARE(seen.caption, caption);
    QCOMPARE(seen.text, QStringLiteral("Delete \"Bank - jo\"?"));
    QCOMPARE(int(seen.icon), icon);
    QCOMPARE(seen.buttons, buttons);
    QCOMPARE(seen.defaultButton, defaultButton);
    QCOMPARE(seen.escapeButton, escapeButton);
    QVERIFY(seen.centredAndModal);
}

void TestMessageBox::answers_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("way");
    QTest::addColumn<int>("answer");
    const int ok = int(MessageBox::Answer::Ok);
    const int yes = int(MessageBox::Answer::Yes);
    const int no = int(MessageBox::Answer::No);
    QTest::newRow("error, Enter") << "error" << "Enter" << ok;
    QTest::newRow("error, Escape") << "error" << "Escape" << ok;
    QTest::newRow("error, close box") << "error" << "close" << ok;
    QTest::newRow("error, click OK") << "error" << "click OK" << ok;
    QTest::newRow("confirm, Enter") << "confirmation" << "Enter" << yes;
    QTest::newRow("confirm, click Yes") << "confirmation" << "click &Yes" << yes;
    QTest::newRow("confirm, y") << "confirmation" << "y" << yes;
    QTest::newRow("confirm, click No") << "confirmation" << "click &No" << no;
    QTest::newRow("confirm, Escape") << "confirmation" << "Escape" << no;
    QTest::newRow("confirm, close box") << "confirmation" << "close" << no;
    QTest::newRow("confirm, n") << "confirmation" << "n" << no;
    QTest::newRow("confirm, Alt+N") << "confirmation" << "Alt+N" << no;
}

void TestMessageBox::answers()
{
    QFETCH(QString, kind);
    QFETCH(QString, way);
    QFETCH(int, answer);
    SeenBox seen;
    answerBox(seen, [way](QMessageBox* box) {
        QWidget* keys = QApplication::focusWidget() ? QApplication::focusWidget() : box;
        if (way.startsWith(QStringLiteral("click "))) {
            for (QAbstractButton* button : box->buttons())
                if (button->text() == way.mid(6))
                    QTest::mouseClick(button, Qt::LeftButton);
        } else if (way == QStringLiteral("close")) {
            box->close();
        } else {
            const QHash<QString, std::pair<Qt::Key, Qt::KeyboardModifiers>> keyOf{
                {"Enter", {Qt::Key_Return, {}}}, {"Escape", {Qt::Key_Escape, {}}}, {"y", {Qt::Key_Y, {}}},
                {"n", {Qt::Key_N, {}}},          {"Alt+N", {Qt::Key_N, Qt::AltModifier}}};
            QTest::keyClick(keys, keyOf[way].first, keyOf[way].second);
        }
    });
    QElapsedTimer clock;
    clock.start();
    const MessageBox::Answer given = showBox(kind, QStringLiteral("Sure?"));
    QVERIFY(seen.shown);
    QVERIFY2(clock.elapsed() < 1500, "the box did not close on the user's action");
    QCOMPARE(int(given), answer);
}

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
