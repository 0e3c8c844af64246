// The shared message box: how each kind looks, where it appears, and the answer each
// way of closing it gives.

#include "ui/shared/MessageBox.h"
#include "uiTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

using namespace uiTest;

namespace {

// How a box looked while it was open.
struct BoxLook {
    QString buttons, defaultButton, escapeButton;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool centredAndModal = false;
};

BoxLook lookOf(const QMessageBox* box)
{
    BoxLook look;
    look.icon = box->icon();
    QStringList buttons;
    for (QAbstractButton* button : box->buttons())
        buttons << button->text();
    buttons.sort();
    look.buttons = buttons.join(u'|');
    look.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
    look.escapeButton = box->escapeButton() ? box->escapeButton()->text() : QString();
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    look.centredAndModal = !box->parentWidget() && box->windowModality() == Qt::ApplicationModal
        && (box->frameGeometry().center() - screenCentre).manhattanLength() <= 2;
    return look;
}

MessageBox::Answer showBox(const QString& kind, const QString& text)
{
    if (kind == QStringLiteral("confirmation"))
        return MessageBox::show(MessageBox::Kind::Confirmation, text);
    if (kind == QStringLiteral("error"))
        return MessageBox::show(MessageBox::Kind::Error, text);
    if (kind == QStringLiteral("information"))
        return MessageBox::show(MessageBox::Kind::Information, text);
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
    QTest::addColumn<QString>("kind");  // "error", "information", "confirmation" or showError's caption
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("buttons");
    QTest::addColumn<QString>("defaultButton");
    QTest::addColumn<QString>("escapeButton");
    QTest::newRow("error") << "error" << "Error" << int(QMessageBox::Critical) << "OK" << "OK" << "OK";
    QTest::newRow("information") << "information" << "Information" << int(QMessageBox::Information) << "OK"
                                 << "OK" << "OK";
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
    BoxLook look;
    const SeenBox seen = answeringBox([&] { showBox(kind, QStringLiteral("Delete \"Bank - jo\"?")); },
                                      [&look](QWidget* box) {
                                          look = lookOf(qobject_cast<QMessageBox*>(box));
                                          box->close();
                                      });

    QVERIFY(seen.shown);
    QCOMPARE(seen.caption, caption);
    QCOMPARE(seen.text, QStringLiteral("Delete \"Bank - jo\"?"));
    QCOMPARE(int(look.icon), icon);
    QCOMPARE(look.buttons, buttons);
    QCOMPARE(look.defaultButton, defaultButton);
    QCOMPARE(look.escapeButton, escapeButton);
    QVERIFY(look.centredAndModal);
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
    Answer act = [](QWidget* box) { box->close(); };
    if (way.startsWith(QStringLiteral("click "))) {
        act = answer::click(way.mid(6));
    } else if (way != QStringLiteral("close")) {
        const QHash<QString, std::pair<Qt::Key, Qt::KeyboardModifiers>> keyOf{
            {"Enter", {Qt::Key_Return, {}}}, {"Escape", {Qt::Key_Escape, {}}}, {"y", {Qt::Key_Y, {}}},
            {"n", {Qt::Key_N, {}}},          {"Alt+N", {Qt::Key_N, Qt::AltModifier}}};
        act = answer::press(keyOf[way].first, keyOf[way].second);
    }
    QElapsedTimer clock;
    clock.start();
    MessageBox::Answer given = MessageBox::Answer::Ok;
    const SeenBox seen = answeringBox([&] { given = showBox(kind, QStringLiteral("Sure?")); }, act);
    QVERIFY(seen.shown);
    QVERIFY2(clock.elapsed() < 1500, "the box did not close on the user's action");
    QCOMPARE(int(given), answer);
}

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
