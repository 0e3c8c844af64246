#pragma once
// The look every window of the program shares, and the placement of dialogs over
// their owner. Sizes are logical pixels at 96 dots per inch; Qt scales them with the
// screen's device pixel ratio.

class QFont;
class QWidget;

// "MS Sans Serif", 11 pixels high; where it is missing, a face of similar width
// ("Liberation Sans", "Arimo", "Arial") before the platform's general fallback.
QFont classicFont();

// Button-face background, the classic font and window-text colour, and a fixed client
// area of width x height that the user cannot resize.
void applyClassicLook(QWidget* window, int width, int height);

// Places a dialog that is about to be shown over the centre of its owner window:
// left = owner's left + (owner's width - dialog's width) / 2 (truncated), never below
// 0, and likewise for the top; widths and heights are outer sizes, frame included.
void centreOverOwner(QWidget* dialog, const QWidget* owner);
