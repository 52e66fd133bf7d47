#pragma once

class QAction;

namespace nerim {

// Menus of the design system.
namespace NmMenus {
// Marks `action` (an action of a QMenu) as one that destroys something: its
// menu draws its title in the danger colour. The mark is the action's
// property "destructive".
void markDestructive(QAction *action);
bool isDestructive(const QAction *action);
} // namespace NmMenus

} // namespace nerim
