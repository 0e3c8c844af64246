#include "MessageBox.h"

#include <QMessageBox>
#include <QPushButton>

namespace {

// One error box: the given caption, the error icon and a single "OK" button that
// both Enter and Escape (and the close box) answer with.
void runErrorBox(const QString& caption, const QString& text)
{
    QMessageBox box;  // no parent: the platform centres it on the screen
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(caption);
    box.setIcon(QMessageBox::Critical);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
}

} // namespace

MessageBox::Answer MessageBox::show(Kind kind, const QString& text)
{
    if (kind == Kind::Error) {
        runErrorBox(QStringLiteral("Error"), text);
        return Answer::Ok;
    }

    QMessageBox box;
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(QStringLiteral("Confirm"));
    box.setIcon(QMessageBox::Question);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    QPushButton* yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    // Escape and the close box both press the escape button, so they answer No.
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes ? Answer::Yes : Answer::No;
}

void MessageBox::showError(const QString& caption, const QString& text)
{
    runErrorBox(caption, text);
}
