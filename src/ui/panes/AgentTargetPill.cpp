#include "ui/panes/AgentTargetPill.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/design/Colors.h"
#include "ui/design/widgets/NmIconImage.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panes/AgentTargetPillLook.h"

#include <QMenu>

namespace nerim {

AgentTargetPill::AgentTargetPill(ProjectCanvasViewModel *canvas, QWidget *parent)
    : MenuPill(parent)
    , m_canvas(canvas)
{
    setObjectName(QStringLiteral("agentTargetPill"));
    NmText::setPlainToolTip(this, AgentTargetPillLook::tooltip());
    setMenuBuilder([this](QWidget *menuParent) { return makeMenu(menuParent); });
    connect(canvas, &ProjectCanvasViewModel::promptTargetChanged, this, &AgentTargetPill::refresh);
    connect(canvas, &ProjectCanvasViewModel::panesChanged, this, [this] {
        watchPanes();
        refresh();
    });
    watchPanes();
    refresh();
}

void AgentTargetPill::watchPanes()
{
    for (const QMetaObject::Connection &connection : std::as_const(m_paneConnections))
        disconnect(connection);
    m_paneConnections.clear();
    if (!m_canvas)
        return;
    for (AgentPaneState *pane : m_canvas->panes())
        m_paneConnections.append(connect(pane, &AgentPaneState::agentNameChanged, this, &AgentTargetPill::refresh));
}

void AgentTargetPill::refresh()
{
    if (!m_canvas)
        return;
    setLook(AgentTargetPillLook::look(m_canvas->promptTarget(), AgentTargetPillLook::panesOf(*m_canvas)));
}

QMenu *AgentTargetPill::makeMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("agentTargetMenu"));
    menu->setSeparatorsCollapsible(false);
    if (!m_canvas)
        return menu;
    const QList<AgentTargetPillLook::MenuEntry> entries =
        AgentTargetPillLook::menuEntries(AgentTargetPillLook::panesOf(*m_canvas));
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const AgentTargetPillLook::MenuEntry &entry = entries.at(i);
        switch (entry.kind) {
        case AgentTargetPillLook::MenuEntry::Kind::divider:
            // A section draws its own dividing line with its title.
            if (i + 1 < entries.size() && entries.at(i + 1).kind == AgentTargetPillLook::MenuEntry::Kind::section)
                break;
            menu->addSeparator();
            break;
        case AgentTargetPillLook::MenuEntry::Kind::section:
            menu->addSection(MenuPill::menuEntryText(entry.title));
            break;
        case AgentTargetPillLook::MenuEntry::Kind::item: {
            QAction *action = menu->addAction(NmIcons::icon(entry.symbol, NmSymbolWeight::regular, 13, qColor(NmColor::ink)),
                                              MenuPill::menuEntryText(entry.title));
            const PromptTarget target = entry.target;
            QPointer<ProjectCanvasViewModel> canvas = m_canvas;
            connect(action, &QAction::triggered, this, [canvas, target] {
                if (canvas)
                    canvas->selectPromptTarget(target);
            });
            break;
        }
        }
    }
    return menu;
}

} // namespace nerim
