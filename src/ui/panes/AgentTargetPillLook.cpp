#include "ui/panes/AgentTargetPillLook.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/design/Strings.h"

namespace nerim {

TokenColor MenuPillLook::tintColor() { return {NmColor::accent, tintOpacity}; }

namespace AgentTargetPillLook {

namespace S = Strings::PromptTargetPill;

namespace {
const QString paneSymbol = QStringLiteral("person.crop.circle");
const QString autoSymbol = QStringLiteral("wand.and.stars");
const QString plansSymbol = QStringLiteral("list.bullet.rectangle");
} // namespace

QList<Pane> panesOf(const ProjectCanvasViewModel &canvas)
{
    QList<Pane> panes;
    panes.reserve(canvas.panes().size());
    for (const AgentPaneState *pane : canvas.panes())
        panes.append({pane->id(), pane->agentName(), pane->isSystemPane()});
    return panes;
}

QString targetLabel(const PromptTarget &target, const QList<Pane> &panes)
{
    switch (target.kind()) {
    case PromptTarget::Kind::pane:
        for (const Pane &pane : panes)
            if (pane.id == target.paneId())
                return pane.agentName;
        return S::automatic;
    case PromptTarget::Kind::automatic: return S::automatic;
    case PromptTarget::Kind::plans: return S::plans;
    }
    return S::automatic;
}

QString targetIcon(const PromptTarget &target)
{
    switch (target.kind()) {
    case PromptTarget::Kind::pane: return paneSymbol;
    case PromptTarget::Kind::automatic: return autoSymbol;
    case PromptTarget::Kind::plans: return plansSymbol;
    }
    return autoSymbol;
}

MenuPillLook look(const PromptTarget &target, const QList<Pane> &panes)
{
    return {targetIcon(target), targetLabel(target, panes), !(target == PromptTarget::automatic())};
}

QList<MenuEntry> menuEntries(const QList<Pane> &panes)
{
    using K = MenuEntry::Kind;
    QList<MenuEntry> entries{
        {K::item, S::automatic, autoSymbol, PromptTarget::automatic()},
        {K::divider, {}, {}, PromptTarget::automatic()},
        {K::item, S::plans, plansSymbol, PromptTarget::plans()},
    };
    bool sectionStarted = false;
    for (const Pane &pane : panes) {
        if (pane.isSystemPane)
            continue;
        if (!sectionStarted) {
            entries.append({K::divider, {}, {}, PromptTarget::automatic()});
            entries.append({K::section, S::taskAgents, {}, PromptTarget::automatic()});
            sectionStarted = true;
        }
        entries.append({K::item, pane.agentName, paneSymbol, PromptTarget::pane(pane.id)});
    }
    return entries;
}

QString tooltip() { return S::help; }

} // namespace AgentTargetPillLook

} // namespace nerim
