#include "MessageBox.h"

#include "placement.h"
#include "windowManager.h"

#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>

namespace {

// A box that is centred on the screen once it has its final size: the toolkit sizes
// a box to its text only as its showing begins, after placing it for another size.
class CentredBox : public QMessageBox {
protected:
    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event);
        if (event->spontaneous())
            return;
        askForCloseBoxOnly(this);
        centreOnScreen(this);
    }
};

// What every box shares: application modal, the caption, the icon and plain text.
// Boxes have no parent: they stand in the centre of the screen.
void prepareBox(QMessageBox& box, const QString& caption, QMessageBox::Icon icon,
                const QString& text)
{
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(caption);
    box.setIcon(icon);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
}

// One box with the given caption and icon and a single "OK" button that both Enter
// and Escape (and the close box) answer with.
void runOkBox(const QString& caption, QMessageBox::Icon icon, const QString& text)
{
    CentredBox box;
    prepareBox(box, caption, icon, text);
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
}

} // namespace

MessageBox::Answer MessageBox::show(Kind kind, const QString& text)
{
    if (kind == Kind::Error) {
        runOkBox(QStringLiteral("Error"), QMessageBox::Critical, text);
        return Answer::Ok;
    }
    if (kind == Kind::Information) {
        runOkBox(QStringLiteral("Information"), QMessageBox::Information, text);
        return Answer::Ok;
    }

    CentredBox box;
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
    runOkBox(caption, QMessageBox::Critical, text);
}
