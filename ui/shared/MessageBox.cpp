#include "MessageBox.h"

#include <QMessageBox>
#include <QPushButton>

namespace {

// What every box shares: application modal, the caption, the icon and plain text.
// Boxes have no parent: the platform centres them on the screen.
void prepareBox(QMessageBox& box, const QString& caption, QMessageBox::Icon icon,
                const QString& text)
{
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(caption);
    box.setIcon(icon);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
}

// One error box: the given caption, the error icon and a single "OK" button that
// both Enter and Escape (and the close box) answer with.
void runErrorBox(const QString& caption, const QString& text)
{
    QMessageBox box;
    prepareBox(box, caption, QMessageBox::Critical, text);
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
    prepareBox(box, QStringLiteral("Confirm"), QMessageBox::Question, text);
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
