#include "windowLook.h"

#include "placement.h"
#include "windowManager.h"

#include <QEvent>
#include <QFont>
#include <QPalette>
#include <QWidget>

QFont classicFont(const QString& face)
{
    QFont font(face);
    QStringList families{face};
    for (const char* similar : {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arimo", "Arial"}) {
        if (!families.contains(QLatin1String(similar)))
            families << QLatin1String(similar);
    }
    font.setFamilies(families);
    font.setPixelSize(11);
    return font;
}

void applyClassicLook(QWidget* window, int width, int height)
{
    window->setFont(classicFont());
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Button));
    window->setPalette(palette);
    window->setAutoFillBackground(true);
    window->setFixedSize(width, height);
}

namespace {

// Asks for the close box alone as each showing begins, before the dialog is placed.
class CloseBoxOnlyAtShow : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && !event->spontaneous())
            askForCloseBoxOnly(static_cast<QWidget*>(watched));
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

void useDialogFrame(QWidget* dialog, Qt::WindowFlags extra)
{
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                           | Qt::WindowCloseButtonHint | extra);
    dialog->installEventFilter(new CloseBoxOnlyAtShow(dialog));
}

void centreOverOwner(QWidget* dialog, const QWidget* owner)
{
    if (!owner)
        return;
    const QRect ownerOuter = outerGeometry(owner);
    const QSize dialogOuter = outerGeometry(dialog).size();
    const int left = std::max(0, ownerOuter.left() + (ownerOuter.width() - dialogOuter.width()) / 2);
    const int top = std::max(0, ownerOuter.top() + (ownerOuter.height() - dialogOuter.height()) / 2);
    moveOuterTo(dialog, {left, top});
}
