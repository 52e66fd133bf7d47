#pragma once

#include "persistence/PromptTarget.h"
#include "ui/panes/MenuPillLook.h"

#include <QList>
#include <QString>
#include <QUuid>

namespace nerim {

class ProjectCanvasViewModel;

// The prompt-target pill: where the next prompt goes (the router, the Plans
// agent or one pane), and the menu that changes it.
namespace AgentTargetPillLook {

// What the pill reads of each open pane.
struct Pane {
    QUuid id;
    QString agentName;
    bool isSystemPane = false;
};

// The controller's panes, in order.
QList<Pane> panesOf(const ProjectCanvasViewModel &canvas);

// The name of the targeted pane (system panes included), "Auto" when no open
// pane has the id; "Auto" and "Plans" for those targets.
QString targetLabel(const PromptTarget &target, const QList<Pane> &panes);
// "person.crop.circle", "wand.and.stars" or "list.bullet.rectangle", by the
// target's kind alone (a pane that has gone keeps the person).
QString targetIcon(const PromptTarget &target);
// The capsule: tinted for every target but Auto.
MenuPillLook look(const PromptTarget &target, const QList<Pane> &panes);

// One row of the menu.
struct MenuEntry {
    enum class Kind { item, divider, section };
    Kind kind = Kind::item;
    // item and section.
    QString title;
    // item only.
    QString symbol;
    PromptTarget target = PromptTarget::automatic();

    friend bool operator==(const MenuEntry &, const MenuEntry &) = default;
};

// Auto, a divider, Plans; then, when there are task panes, a divider and the
// "Task agents" section with one entry per task pane in pane order. System
// panes are never offered; nothing marks the current target.
QList<MenuEntry> menuEntries(const QList<Pane> &panes);

QString tooltip();

} // namespace AgentTargetPillLook

} // namespace nerim
