#pragma once
// Placement of top-level windows by their outer size, frame included.

class QPoint;
class QRect;
class QWidget;

// Where window stands with its frame, also before the window manager has framed it.
QRect outerGeometry(const QWidget* window);

// Moves window so that its frame's top-left corner comes to topLeft.
void moveOuterTo(QWidget* window, const QPoint& topLeft);

// Moves a top-level window, frame included, to the centre of the available area of its
// screen, never above or left of that area.
void centreOnScreen(QWidget* window);
