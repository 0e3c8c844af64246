#include "placement.h"

#include "windowManager.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

QRect outerGeometry(const QWidget* window)
{
    return window->geometry().marginsAdded(windowFrame(window));
}

void moveOuterTo(QWidget* window, const QPoint& topLeft)
{
    // The client area is placed, frame width in from the corner: what move() means
    // depends on whether Qt has learnt the frame yet, setGeometry() never does.
    const QMargins frame = windowFrame(window);
    window->setGeometry(QRect(topLeft + QPoint(frame.left(), frame.top()), window->size()));
}

void centreOnScreen(QWidget* window)
{
    QScreen* screen = window->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize outer = outerGeometry(window).size();
    const int left = std::max(area.left(), area.left() + (area.width() - outer.width()) / 2);
    const int top = std::max(area.top(), area.top() + (area.height() - outer.height()) / 2);
    moveOuterTo(window, {left, top});
}
