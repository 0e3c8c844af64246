#include "windowLook.h"

#include <QFont>
#include <QPalette>
#include <QWidget>

#include <algorithm>

QFont classicFont()
{
    QFont font(QStringLiteral("MS Sans Serif"));
    // Where it is missing, a face of the same width keeps captions inside the pixel
    // layouts; the platform's general fallback is much wider.
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                      QStringLiteral("Arial")});
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

void centreOverOwner(QWidget* dialog, const QWidget* owner)
{
    if (!owner)
        return;
    const QRect ownerFrame = owner->frameGeometry();
    // Before its first showing a dialog has no frame yet; the owner's frame is the best
    // estimate of the one the window manager will give it.
    QSize frameExtra = dialog->frameGeometry().size() - dialog->geometry().size();
    if (!dialog->testAttribute(Qt::WA_WState_Created) || frameExtra.isNull())
        frameExtra = ownerFrame.size() - owner->geometry().size();
    const QSize dialogOuter = dialog->size() + frameExtra;

    const int left = std::max(0, ownerFrame.left() + (ownerFrame.width() - dialogOuter.width()) / 2);
    const int top = std::max(0, ownerFrame.top() + (ownerFrame.height() - dialogOuter.height()) / 2);
    dialog->move(left, top);
}
