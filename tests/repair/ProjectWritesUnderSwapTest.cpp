// Every file Nerim writes in a project, written again and again while another
// thread swaps the project's folders for links to a folder outside it (as a
// running app or a steered agent in the project could): nothing ever lands
// outside the project, whichever moment the swap hits, with the kernel's
// beneath resolution and with the step-by-step one.
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "agents/GitExcludes.h"
#include "panes-store/PanesChangeLog.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "persistence/ProjectDataFolder.h"
#include "canvas/PromptDraftKeeper.h"
#include "sessions/SystemAgentStepRecord.h"
#include "foundation/BeneathFolder.h"
#include "launcher/LaunchOverride.h"
#include "persistence/AtomicFileWriter.h"
#include "plans/PlanState.h"
#include "plans/PlansWorkspaceStore.h"
#include "repair/DotEnvFile.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include "PlantedFiles.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace nerim;

namespace {

QByteArray native(const QString &path) { return QFile::encodeName(path); }

// Swaps each folder for a link to `outside` and back, in a loop, until stopped.
class Swapper {
public:
    Swapper(const QString &project, const QStringList &folders, const QString &outside)
    {
        for (const QString &folder : folders)
            m_folders.append({native(project + QLatin1Char('/') + folder),
                              native(project + QLatin1Char('/') + folder + QStringLiteral(".real"))});
        m_outside = native(outside);
        m_thread = std::thread([this] { run(); });
    }
    ~Swapper()
    {
        m_stop = true;
        m_thread.join();
        // The real folders back in their places.
        for (const auto &[name, real] : m_folders) {
            ::unlink(name.constData());
            ::rename(real.constData(), name.constData());
        }
    }
    int swaps() const { return m_swaps.load(); }

private:
    void run()
    {
        while (!m_stop) {
            for (const auto &[name, real] : m_folders) {
                if (::rename(name.constData(), real.constData()) != 0)
                    continue;
                ::symlink(m_outside.constData(), name.constData());
                ++m_swaps;
                std::this_thread::yield();
                ::unlink(name.constData());
                ::rename(real.constData(), name.constData());
            }
        }
    }

    QList<std::pair<QByteArray, QByteArray>> m_folders;
    QByteArray m_outside;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_swaps{0};
    std::thread m_thread;
};

} // namespace

TEST(ProjectWritesUnderSwap, NothingLandsOutsideTheProjectWhateverIsSwappedAndWhen)
{
    for (const bool kernel : {true, false}) {
        SCOPED_TRACE(kernel ? "kernel resolution" : "step by step");
        detail::useKernelResolution(kernel);
        const QString project = test::makeTempDir(QStringLiteral("project"));
        const QString home = test::makeTempDir(QStringLiteral("home"));
        ASSERT_TRUE(test::writeFile(home + QStringLiteral("/.env.local"), "# the user's own\n"));
        // .env is a link to a file in a folder of the project, which the swapper
        // turns into a link to the home folder: the attack on the secret write.
        ASSERT_TRUE(test::writeFile(project + QStringLiteral("/realsub/.env.local"), "PORT=1\n"));
        ASSERT_TRUE(test::plantLink(project + QStringLiteral("/.env"), QStringLiteral("realsub/.env.local")));
        ASSERT_TRUE(QDir().mkpath(project + QStringLiteral("/.git/info")));
        ASSERT_TRUE(QDir().mkpath(project + QStringLiteral("/.nerim/plans")));

        // The panes, saved as a session saves them: mostly changes appended to
        // the log, written whole whenever the log has grown past its share
        // (kept small here) or an append was refused.
        const panesChangeLog::detail::ScopedFoldMinimum smallLog(1);
        PanesSnapshotStore panes(project + QStringLiteral("/.nerim/panes.json"));
        AgentPaneState pane(newUuid(), uuidText(newUuid()), QStringLiteral("Claude 1"), 1, false, AgentRole::code,
                            QString());
        PanesSnapshot shown;
        shown.nextAgentNumber = 2;
        SystemAgentStepRecord step;
        step.instance = SystemAgentStepRecord::currentInstance();
        step.step = QStringLiteral("deploy");
        PlanState plan;
        plan.setPersistenceURL(project + QStringLiteral("/.nerim/plan.json"));
        LaunchOverride override;
        override.shellCommand = QStringLiteral("npm run dev");
        override.writtenAt = QStringLiteral("2026-12-09T05:00:00Z");
        // The prompt draft, written and removed through its own keeper.
        PromptDraftKeeper draft(std::chrono::milliseconds(1000));
        draft.setDoor(ProjectDataFolder::open(project).folder);
        int written = 0;
        {
            const Swapper swapper(project, {QStringLiteral("realsub"), QStringLiteral(".nerim"),
                                            QStringLiteral(".nerim/plans"), QStringLiteral(".git")},
                                  home);
            for (int i = 0; i < 400; ++i) {
                if (!DotEnvFile::append(project, QStringLiteral("KEY_%1").arg(i), QStringLiteral("secret")))
                    ++written;
                try {
                    GitExcludes::addSecretLines(project + QStringLiteral("/.git/info/exclude"), project);
                    ++written;
                } catch (const std::exception &) {
                }
                try {
                    AtomicFileWriter::write(QByteArray::number(i), project + QStringLiteral("/.nerim/context.json"),
                                            project + QStringLiteral("/.nerim/context.json.bak"),
                                            AtomicFileWriter::inProject(project));
                    ++written;
                } catch (const MemoryError &) {
                }
                try {
                    override.save(project);
                    ++written;
                } catch (const std::exception &) {
                }
                if (PlansWorkspaceStore::writeFileIn(PlansWorkspaceStore::plansDirectoryFor(project),
                                                     QStringLiteral("overview.md"), QString::number(i)))
                    ++written;
                plan.setGoal(QString::number(i));
                plan.persist();
                pane.appendLine(OutputLine::Kind::stdout, QStringLiteral("line %1").arg(i));
                shown.panes = {snapshotOfPane(pane)};
                panes.save(shown);
                step.attempt = i;
                SystemAgentStepRecord::write(project, QStringLiteral("deploy-step.json"), step);
                try {
                    if (ProjectDataFolder::open(project).folder->canWrite())
                        ++written;
                } catch (const std::exception &) {
                }
                draft.schedule(QString::number(i));
                draft.flush();
                if (i % 2)
                    draft.clear();
                SerialFileWriter::shared().flush();
            }
            EXPECT_GT(swapper.swaps(), 100);
        }
        // The writes went on, and not one of them reached the home folder.
        EXPECT_GT(written, 100);
        EXPECT_EQ(QDir(home).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                  QStringList{QStringLiteral(".env.local")});
        EXPECT_EQ(test::readFile(home + QStringLiteral("/.env.local")), QByteArray("# the user's own\n"));
        // Once nothing is swapped, the secret goes where the link says.
        EXPECT_EQ(DotEnvFile::append(project, QStringLiteral("LAST"), QStringLiteral("v")), std::nullopt);
        EXPECT_TRUE(test::readFile(project + QStringLiteral("/realsub/.env.local")).endsWith("LAST=v\n"));
        pane.appendLine(OutputLine::Kind::stdout, QStringLiteral("last line"));
        shown.panes = {snapshotOfPane(pane)};
        panes.save(shown);
        SerialFileWriter::shared().flush();
        // A link seen in `.nerim`'s place is set aside and a new `.nerim`
        // made, which the swapper's folder then cannot replace; the door that
        // held the old one refuses from then on (and the panes reach their
        // files through it), so there is nothing of theirs to read back then.
        // Otherwise the panes as last saved are read back from the project.
        const std::shared_ptr<ProjectDataFolder> door = ProjectDataFolder::openDoorOf(project + QStringLiteral("/.nerim"));
        if (!door || door->canWrite()) {
            const std::optional<PanesSnapshot> read = PanesSnapshotStore(panes.path()).load();
            ASSERT_TRUE(read.has_value());
            ASSERT_EQ(read->panes.size(), 1);
            EXPECT_FALSE(read->panes.first().outputLines.isEmpty());
        }
    }
    detail::useKernelResolution(true);
}
