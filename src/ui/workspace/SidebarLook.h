#pragma once

#include "ui/design/NmIcons.h"
#include "ui/panes/TokenColor.h"

#include <QList>
#include <QString>

namespace nerim {

// The rules of the canvas's sidebar rail, as plain functions.
namespace SidebarLook {

inline constexpr double rowHeight = 48;
inline constexpr double buttonSpacing = 6;
inline constexpr double verticalPadding = 10;
inline constexpr double railWidth = 56;
inline constexpr double selectionBarWidth = 3;
inline constexpr double buttonIndent = 6;
inline constexpr double buttonSide = 32;
inline constexpr double iconSize = 18;

// One button of the rail: its symbol, help text, whether it is the selected
// one and whether it can be clicked.
struct ButtonSpec {
    QString symbol;
    QString tooltip;
    bool isActive = false;
    bool enabled = false;
};
// The four buttons, top to bottom: projects (the only working one), then
// notes, extensions and settings, which are still to come.
QList<ButtonSpec> buttons();
// The rail's height: the rows, the gaps between them and the padding.
double railHeight(int buttonCount);

struct ButtonLook {
    NmSymbolWeight weight;
    TokenColor icon;
    TokenColor selectionBar;
};
// The first rule that matches: disabled, active, hovered, at rest.
ButtonLook buttonLook(bool enabled, bool isActive, bool hovered);

} // namespace SidebarLook

} // namespace nerim
