#include "placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

void centreOnScreen(QWidget* window)
{
    // A created window knows its frame on platforms that tell it before the first
    // showing, so the whole window, frame included, comes to the centre.
    if (!window->testAttribute(Qt::WA_WState_Created))
        window->winId();
    QScreen* screen = window->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize outer = window->frameGeometry().size().expandedTo(window->size());
    const int left = std::max(area.left(), area.left() + (area.width() - outer.width()) / 2);
    const int top = std::max(area.top(), area.top() + (area.height() - outer.height()) / 2);
    window->move(left, top);
}
