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

bool carriesPrintableText(const QKeyEvent* key)
{
    const QString text = key->text();
    return !text.isEmpty() && text.at(0).isPrint();
}

// Eats the key presses with Alt held that a field would otherwise take as typing.
class AltTypesNothing : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

bool AltTypesNothing::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool altTyping =
        (key->modifiers() & Qt::AltModifier) && carriesPrintableText(key) && !typesCharacter(key);
    return altTyping || QObject::eventFilter(watched, event);
}

}  // namespace

bool typesCharacter(const QKeyEvent* key)
{
    if (!carriesPrintableText(key))
        return false;
    const Qt::KeyboardModifiers mods = key->modifiers();
    const bool ctrl = mods & Qt::ControlModifier;
    const bool alt = mods & Qt::AltModifier;
    return !(mods & Qt::MetaModifier) && ctrl == alt;
}

void keepAltFromTyping(QWidget* field)
{
    field->installEventFilter(new AltTypesNothing(field));
}

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
