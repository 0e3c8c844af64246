#pragma once
// The look every window of the program shares, and the placement of dialogs over
// their owner. Sizes are logical pixels at 96 dots per inch; Qt scales them with the
// screen's device pixel ratio.

#include <QString>
#include <Qt>

class QFont;
class QWidget;

// face ("MS Sans Serif" unless said), 11 pixels high; where it is missing, a face of
// the same width ("Liberation Sans", "Arimo", "Arial") before the platform's general
// fallback, which is far wider and would cut captions.
QFont classicFont(const QString& face = QStringLiteral("MS Sans Serif"));

// Button-face background, the classic font and window-text colour, and a fixed client
// area of width x height that the user cannot resize.
void applyClassicLook(QWidget* window, int width, int height);

// A dialog's frame: fixed size, a title bar with only a close box (the window manager
// is asked for exactly that at every showing), and any extra flags given.
void useDialogFrame(QWidget* dialog, Qt::WindowFlags extra = {});

// Places a dialog that is about to be shown over the centre of its owner window:
// left = owner's left + (owner's width - dialog's width) / 2 (truncated), never below
// 0, and likewise for the top; widths and heights are outer sizes, frame included,
// also before the window manager has framed the dialog.
void centreOverOwner(QWidget* dialog, const QWidget* owner);
