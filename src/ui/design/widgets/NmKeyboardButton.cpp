#include "ui/design/widgets/NmKeyboardButton.h"

#include <QAbstractButton>
#include <QKeyEvent>
#include <QVariant>

namespace nerim::NmKeyboardButton {

namespace {

// Watches one button's key presses for Return and Enter (with no modifier
// but the keypad's).
class ReturnPresses : public QObject {
public:
    explicit ReturnPresses(QAbstractButton *button) : QObject(button), m_button(button) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != m_button || event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            return false;
        if (key->modifiers() & ~Qt::KeypadModifier)
            return false;
        if (!key->isAutoRepeat() && m_button->isEnabled())
            m_button->click();
        return true;
    }

private:
    QAbstractButton *m_button;
};

} // namespace

void enable(QAbstractButton *button)
{
    // Once per button: a second filter would press it twice.
    static const char *const kEnabled = "nmKeyboardButton";
    if (!button || button->property(kEnabled).toBool())
        return;
    button->setProperty(kEnabled, true);
    button->setFocusPolicy(Qt::TabFocus);
    button->installEventFilter(new ReturnPresses(button));
}

} // namespace nerim::NmKeyboardButton
