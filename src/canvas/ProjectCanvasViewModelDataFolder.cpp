// The project's data folder door as the canvas holds it: handed to every
// writer of the canvas once the start-up load has opened it (and taken back
// when the memory fails and at the teardown), and what it tells of failed,
// recovered and refused writes, said in the panes.
#include "canvas/ProjectCanvasViewModel.h"

#include "agents/ModelPreferenceState.h"
#include "canvas/PromptDraftKeeper.h"
#include "panes-store/PanesSnapshotStore.h"
#include "plans/PlanState.h"
#include "plans/PlansWorkspaceStore.h"

#include <QPointer>

namespace nerim {

void ProjectCanvasViewModel::setDataFolder(std::shared_ptr<ProjectDataFolder> door)
{
    if (m_dataFolder && m_dataFolder != door)
        m_dataFolder->setListener({});
    m_dataFolder = door;
    m_plan->setDataFolder(door);
    m_modelPreference->setDataFolder(door);
    m_draft->setDoor(door);
    plansWorkspace().setDataFolder(door);
    if (!door)
        return;
    // Told on the writer's thread, handled on this one (dropped once the canvas is gone).
    QPointer<ProjectCanvasViewModel> self(this);
    door->setListener([self](const ProjectDataFolder::Event &event) {
        QMetaObject::invokeMethod(
            self.data(),
            [self, event] {
                if (self)
                    self->dataFolderEvent(event);
            },
            Qt::QueuedConnection);
    });
}

void ProjectCanvasViewModel::dataFolderEvent(const ProjectDataFolder::Event &event)
{
    if (m_tornDown)
        return;
    const QString what = ProjectDataFolder::describe(event.kind);
    switch (event.type) {
    case ProjectDataFolder::Event::Type::failing:
        tellPanes(QStringLiteral("[Nerim couldn't save %1: %2. It keeps trying, and says so here once that works.]")
                      .arg(what, event.reason));
        return;
    case ProjectDataFolder::Event::Type::saved:
        tellPanes(QStringLiteral("[Nerim saved %1 again.]").arg(what));
        return;
    case ProjectDataFolder::Event::Type::lockLost:
        // Another Nerim may hold the project now: the panes stop saving too.
        m_panesStore->setReadOnly();
        m_dataFolderUsable = false;
        tellPanes(QStringLiteral("[This project's lock file was deleted or replaced, so another Nerim may be writing "
                                 "it now: nothing done here is saved with the project from now on. Close this "
                                 "project and open it again to work on it.]"));
        return;
    case ProjectDataFolder::Event::Type::notWritten:
        // A project shown while another Nerim holds it already says so once.
        if (m_openElsewhere && event.kind != ProjectDataFolder::Kind::dotEnv)
            return;
        tellPanes(QStringLiteral("[Nerim didn't save %1: %2.]").arg(what, event.reason));
        return;
    }
}

} // namespace nerim
