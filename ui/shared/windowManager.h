#pragma once
// What the program asks of the window manager about a top-level window, and what it
// learns from it about the window's frame. On X11 the manager is asked directly where
// Qt has no call for it; elsewhere Qt's own knowledge of the frame serves.

#include <QMargins>

class QWidget;

// The frame the window manager puts around window, also before its first showing: on
// X11 a window not framed yet has the manager work its frame out ahead of the showing.
// Empty where the platform draws no frame or the manager tells nothing.
QMargins windowFrame(const QWidget* window);

// A fixed dialog frame whose title bar holds only a close box: the window type is a
// dialog and nothing else, and the manager is asked to offer moving and closing only
// (no resizing, minimising or maximising). Asked again before every showing, as Qt
// writes its own hints when it creates the native window.
void askForCloseBoxOnly(QWidget* dialog);
