#include "ui/design/widgets/NmMenus.h"

#include "ui/design/Colors.h"

#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>

#include <algorithm>

namespace nerim {

namespace {

constexpr const char *kDestructive = "destructive";

// Draws the titles of a menu's destructive actions in the danger colour and
// everything else as the application's style does.
class DestructiveMenuStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget) const override
    {
        const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option);
        const auto *menu = qobject_cast<const QMenu *>(widget);
        if (element == CE_MenuItem && item && menu && isDestructiveItem(menu, *item)) {
            QStyleOptionMenuItem marked(*item);
            const QColor danger = qColor(NmColor::danger);
            for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
                for (QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
                    marked.palette.setColor(group, role, danger);
            QProxyStyle::drawControl(element, &marked, painter, widget);
            return;
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }

private:
    static bool isDestructiveItem(const QMenu *menu, const QStyleOptionMenuItem &item)
    {
        // The option names no action: find it by its title (the text before
        // any shortcut).
        const QString title = item.text.section(QLatin1Char('\t'), 0, 0);
        const auto actions = menu->actions();
        return std::any_of(actions.cbegin(), actions.cend(), [&](const QAction *action) {
            return action->text() == title && NmMenus::isDestructive(action);
        });
    }
};

} // namespace

void NmMenus::markDestructive(QAction *action)
{
    if (!action)
        return;
    action->setProperty(kDestructive, true);
    auto *menu = qobject_cast<QMenu *>(action->parent());
    if (!menu || menu->findChild<DestructiveMenuStyle *>(QString(), Qt::FindDirectChildrenOnly))
        return;
    auto *style = new DestructiveMenuStyle;
    style->setParent(menu); // a widget does not own the style it is given
    menu->setStyle(style);
}

bool NmMenus::isDestructive(const QAction *action)
{
    return action && action->property(kDestructive).toBool();
}

} // namespace nerim
