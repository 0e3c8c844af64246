#pragma once
// Placement of top-level windows on the screen.

class QWidget;

// Moves a top-level window to the centre of the available area of its screen, never
// above or left of that area. Where the frame is only known once the window is on the
// screen, the client area is centred instead.
void centreOnScreen(QWidget* window);
