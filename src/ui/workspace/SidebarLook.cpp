#include "ui/workspace/SidebarLook.h"

#include "ui/design/Strings.h"

namespace nerim::SidebarLook {

QList<ButtonSpec> buttons()
{
    return {
        {QStringLiteral("square.grid.2x2"), Strings::Sidebar::projects, true, true},
        {QStringLiteral("square.and.pencil"), Strings::Sidebar::notes, false, false},
        {QStringLiteral("sparkles"), Strings::Sidebar::extensions, false, false},
        {QStringLiteral("gearshape"), Strings::Sidebar::settings, false, false},
    };
}

double railHeight(int buttonCount)
{
    if (buttonCount <= 0)
        return 2 * verticalPadding;
    return buttonCount * rowHeight + (buttonCount - 1) * buttonSpacing + 2 * verticalPadding;
}

ButtonLook buttonLook(bool enabled, bool isActive, bool hovered)
{
    ButtonLook look;
    look.selectionBar = isActive ? TokenColor{NmColor::accent} : TokenColor{NmColor::accent, 0.0};
    if (!enabled) {
        look.weight = NmSymbolWeight::light;
        look.icon = {NmColor::inkSecondary, 0.55};
    } else if (isActive) {
        look.weight = NmSymbolWeight::medium;
        look.icon = {NmColor::ink};
    } else if (hovered) {
        look.weight = NmSymbolWeight::regular;
        look.icon = {NmColor::ink};
    } else {
        look.weight = NmSymbolWeight::light;
        look.icon = {NmColor::inkSecondary};
    }
    return look;
}

} // namespace nerim::SidebarLook
