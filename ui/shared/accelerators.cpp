#include "accelerators.h"

#include <QAbstractButton>
#include <QKeyEvent>
#include <QWidget>

namespace {

// The accelerator letter of a caption ("E&xit" gives 'x'), lower case, or a null
// character when the caption marks none ("&&" is a literal ampersand).
QChar acceleratorLetter(const QString& caption)
{
    for (qsizetype i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != u'&')
            continue;
        if (caption[i + 1] == u'&') {
            ++i;  // "&&" is a literal ampersand
            continue;
        }
        return caption[i + 1].toLower();
    }
    return {};
}

// The enabled, visible button of window whose caption's accelerator is letter, or null.
QAbstractButton* buttonForAccelerator(QWidget* window, QChar letter)
{
    const QChar wanted = letter.toLower();
    const auto buttons = window->findChildren<QAbstractButton*>();
    for (QAbstractButton* button : buttons) {
        if (button->window() == window && button->isEnabled() && button->isVisible()
            && acceleratorLetter(button->text()) == wanted)
            return button;
    }
    return nullptr;
}

}  // namespace

PlainLetterAccelerators::PlainLetterAccelerators(QWidget* window)
    : QObject(window), window_(window)
{
}

void PlainLetterAccelerators::watch(QWidget* control)
{
    control->installEventFilter(this);
}

bool PlainLetterAccelerators::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers blocking = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    const QString text = key->text();
    if ((key->modifiers() & blocking) || text.size() != 1 || !text[0].isLetter())
        return QObject::eventFilter(watched, event);
    if (QAbstractButton* button = buttonForAccelerator(window_, text[0])) {
        button->click();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
