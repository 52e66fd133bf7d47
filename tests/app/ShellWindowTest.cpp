// The window as the user meets it: the shell's routes on the background, the
// error banner, double clicks, and one whole road from adding a folder to a
// finished prompt and back, with the stand-in `claude` on PATH.
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "agents/ClaudeBinary.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesLoadResult.h"
#include "app/AppShellViewModel.h"
#include "app/MainWindow.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "support/fake-agent-provider/FakeAgentProvider.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/FileCalls.h"
#include "persistence/AppStateActor.h"
#include "support/claude-standin/ClaudeStandin.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/panes/AgentColumnButtons.h"
#include "ui/panes/AgentColumnView.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/SpawnPopover.h"
#include "ui/panes/StatusPill.h"
#include "ui/panes/TranscriptLook.h"
#include "ui/panes/TranscriptView.h"
#include "ui/workspace/ActionTiles.h"
#include "ui/workspace/ProjectCard.h"
#include "ui/workspace/PromptBarField.h"
#include "ui/workspace/PromptBarNotice.h"
#include "ui/workspace/PromptBarView.h"
#include "ui/workspace/SidebarView.h"
#include "ui/workspace/WorkspacePainting.h"

#include <QAbstractButton>
#include <QDialog>
#include <QPointer>
#include <QScopeGuard>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace nerim;
using namespace nerim::test;

namespace {

template <typename F>
bool waitFor(F condition, int timeoutMs = 15000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void clickCentre(QWidget *widget)
{
    QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
}

class ShellWindowTest : public ::testing::Test {
protected:
    void SetUp() override { MotionPreferences::shared().setReduceMotion(true); }

    void open(AppShellView::Options options = {})
    {
        window = std::make_unique<MainWindow>(std::move(options));
        window->setAttribute(Qt::WA_DontShowOnScreen);
        window->show();
        window->showStartupOutcome(await(loadApplicationState()));
        ASSERT_TRUE(waitFor([this] { return window->shellView()->overview(); }));
    }

    void TearDown() override
    {
        window.reset();
        QApplication::processEvents();
    }

    std::unique_ptr<MainWindow> window;
};

} // namespace

TEST_F(ShellWindowTest, RoutesSitOnTheBackgroundAndErrorsShowAsPlainText)
{
    open();
    AppShellView *view = window->shellView();
    EXPECT_TRUE(view->background()->isVisible());
    EXPECT_EQ(view->screen()->geometry(), view->background()->geometry());
    EXPECT_FALSE(view->errorBanner() && view->errorBanner()->isVisible());

    const QString message = u"Write failed at /home/<b>me</b>/app.json: disk full"_s;
    window->shell()->setLastError(message);
    ASSERT_TRUE(view->errorBanner()->isVisible());
    QLabel *text = view->errorBanner()->textLabel();
    EXPECT_EQ(text->textFormat(), Qt::PlainText);
    EXPECT_EQ(text->text(), message);
    auto *dismiss = view->errorBanner()->findChild<QToolButton *>(u"dismissButton"_s);
    EXPECT_EQ(dismiss->toolTip(), u"Dismiss"_s);
    clickCentre(dismiss);
    EXPECT_FALSE(window->shell()->lastError());
    EXPECT_FALSE(view->errorBanner()->isVisible());
}

TEST_F(ShellWindowTest, AFailedStartupKeepsItsMessageOnTheBackground)
{
    window = std::make_unique<MainWindow>();
    window->setAttribute(Qt::WA_DontShowOnScreen);
    window->show();
    StartupOutcome failed;
    failed.errorMessage = u"Nerim's saved state at /x/app.json was written by a newer version of Nerim."_s;
    window->showStartupOutcome(failed);
    QApplication::processEvents();
    EXPECT_FALSE(window->shellView()->screen());
    EXPECT_TRUE(window->shellView()->startupMessage()->isVisible());
    EXPECT_EQ(window->shellView()->startupMessage()->text(), failed.errorMessage);
}

// A double click on a card opens its project once; a removal goes through the
// alert and reaches the shell once.
TEST_F(ShellWindowTest, ADoubleClickOpensOnceAndRemovalAsksFirst)
{
    const QString folder = makeTempDir(u"Twice"_s);
    const QString other = makeTempDir(u"Other"_s);
    {
        auto actor = await(AppStateActor::load());
        await(actor->registerProject(folder, u"Twice"_s, Timestamp(200)));
        await(actor->registerProject(other, u"Other"_s, Timestamp(100)));
    }
    int alerts = 0;
    int controllers = 0;
    AppShellView::Options options;
    options.removalAlert = [&](QWidget *, const QString &, const QString &,
                               std::function<void(ProjectsOverviewView::AlertChoice)> done) {
        ++alerts;
        QTimer::singleShot(0, [done] { done(ProjectsOverviewView::AlertChoice::remove); });
    };
    options.controllerFactory = [&](const QString &id, const QString &path, const QString &name) {
        ++controllers;
        return std::make_shared<ProjectCanvasViewModel>(id, path, name);
    };
    open(options);

    ProjectsOverviewView *overview = window->shellView()->overview();
    const QString otherId = window->shell()->projects().at(1).id;
    ProjectCard *card = overview->cardFor(otherId);
    ASSERT_TRUE(card);
    QTest::mouseClick(card, Qt::LeftButton, {}, card->rect().center());
    QTest::mouseClick(card, Qt::LeftButton, {}, card->rect().center());
    QTest::mouseDClick(card, Qt::LeftButton, {}, card->rect().center());
    ASSERT_TRUE(waitFor([this] { return window->shellView()->canvasScreen(); }));
    ProjectCanvasView *screen = window->shellView()->canvasScreen();
    ASSERT_TRUE(waitFor([screen] { return screen->phase() == ProjectCanvasView::Phase::ready; }));
    QApplication::processEvents();
    EXPECT_EQ(controllers, 1);
    EXPECT_EQ(window->shell()->route().projectId(), otherId);

    // Back on the overview the list is read again: the opened project leads.
    screen->leaveProject();
    ASSERT_TRUE(waitFor([this] { return window->shellView()->overview(); }));
    EXPECT_EQ(window->shell()->projects().first().id, otherId);

    overview = window->shellView()->overview();
    card = overview->cardFor(otherId);
    QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), card->mapToGlobal(QPointF(10, 10)));
    QApplication::sendEvent(card, &enter);
    QApplication::processEvents();
    clickCentre(card->removeButton());
    ASSERT_TRUE(waitFor([this] { return window->shell()->projects().size() == 1; }));
    EXPECT_EQ(alerts, 1);
    EXPECT_EQ(await(window->shell()->appStateActor()->state()).projects.size(), 1);
    EXPECT_TRUE(QFileInfo(other).isDir());
}

// The overview's own dialogs (the desktop's folder picker, then the removal
// alert) are open when a project opens meanwhile, as an open or add started
// before would: the shell replaces the overview, the dialog goes with it and
// the process goes on; the dialog's late answer changes nothing.
TEST_F(ShellWindowTest, AScreenReplacedUnderItsOpenDialogTakesTheDialogAlong)
{
    const QString folder = makeTempDir(u"Meanwhile"_s);
    {
        auto actor = await(AppStateActor::load());
        await(actor->registerProject(folder, u"Meanwhile"_s, Timestamp(200)));
    }
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs, true);
    AppShellView::Options options;
    options.controllerFactory = [](const QString &id, const QString &path, const QString &name) {
        return std::make_shared<ProjectCanvasViewModel>(id, path, name);
    };
    open(options);
    const AppState::ProjectRegistryEntry entry = window->shell()->projects().first();

    // Whatever modal dialog is still up once the canvas shows is answered
    // (cancelled), so that a dialog run in a nested loop ends too.
    QTimer closer;
    closer.setInterval(20);
    QObject::connect(&closer, &QTimer::timeout, [this] {
        if (!window->shellView()->canvasScreen())
            return;
        if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
            dialog->reject();
    });
    closer.start();

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "folder picker" : "removal alert");
        QPointer<ProjectsOverviewView> overview = window->shellView()->overview();
        ASSERT_TRUE(overview);
        QTimer::singleShot(60, window.get(), [this, entry] {
            QCoro::Task<> opening = window->shell()->openProject(entry);
            Q_UNUSED(opening);
        });
        if (round == 0)
            clickCentre(overview->addProjectCard());
        else
            overview->requestRemoval(entry);
        // The tile's action runs from the event loop.
        QApplication::processEvents();
        // The dialog is open and waits on the event loop, not in a nested one.
        ASSERT_TRUE(overview);
        EXPECT_TRUE(overview->isDialogOpen());
        ASSERT_TRUE(waitFor([this] { return window->shellView()->canvasScreen() != nullptr; }));
        ASSERT_TRUE(waitFor([&overview] { return overview.isNull(); }));
        QApplication::processEvents();
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        for (QWidget *top : QApplication::topLevelWidgets())
            EXPECT_FALSE(qobject_cast<QDialog *>(top) && top->isVisible()) << top->metaObject()->className();
        EXPECT_EQ(window->shell()->route().projectId(), entry.id);
        EXPECT_EQ(window->shell()->projects().size(), 1);

        ProjectCanvasView *screen = window->shellView()->canvasScreen();
        ASSERT_TRUE(waitFor([screen] { return screen->phase() == ProjectCanvasView::Phase::ready; }));
        screen->leaveProject();
        ASSERT_TRUE(waitFor([this] { return window->shellView()->overview() != nullptr; }));
    }
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs, false);
}

// The whole road: add a folder through the add card (it opens), spawn an
// agent from the popover, send it a prompt with Return, see its reply and
// "DONE", go back to the overview and find the pane saved in panes.json.
TEST_F(ShellWindowTest, AddAFolderRunAPromptAndComeBack)
{
    const QString path = qEnvironmentVariable("PATH");
    qputenv("PATH", (claudeStandin::folder() + u":"_s + path).toUtf8());
    const std::optional<QString> found = resolveClaudeBinary();
    if (found != claudeStandin::path())
        GTEST_SKIP() << "a claude program at " << found.value_or(QString()).toStdString()
                     << " would be found before the stand-in; not running it";
    claudeStandin::setCommands(u"out Hello from the stand-in agent.\nout TASK_COMPLETE: Said hello.\nexit 0"_s);

    const QString project = makeTempDir(u"Greeting"_s);
    AppShellView::Options options;
    options.folderPicker = [project](QWidget *, std::function<void(std::optional<QString>)> done) {
        QTimer::singleShot(0, [project, done] { done(project); });
    };
    open(options);

    clickCentre(window->shellView()->overview()->addProjectCard());
    ASSERT_TRUE(waitFor([this] { return window->shellView()->canvasScreen(); }));
    ProjectCanvasView *screen = window->shellView()->canvasScreen();
    ASSERT_TRUE(waitFor([screen] { return screen->phase() == ProjectCanvasView::Phase::ready; }));

    // A new installation shows highlights; the reply shows in the full transcript.
    auto *fullTranscript = screen->findChild<QWidget *>(u"segment-verbose"_s);
    ASSERT_TRUE(fullTranscript);
    clickCentre(fullTranscript);
    ASSERT_TRUE(waitFor([screen] { return screen->canvas()->outputMode() == AppState::OutputMode::verbose; }));

    AgentColumnView *column = screen->agentColumn();
    clickCentre(column->spawnButton());
    auto *commit = column->findChild<QAbstractButton *>(u"spawnCommitButton"_s);
    ASSERT_TRUE(commit && commit->isVisible());
    clickCentre(commit);
    ProjectCanvasViewModel *canvas = screen->canvas();
    ASSERT_EQ(canvas->panes().size(), 1);
    AgentPaneState *pane = canvas->panes().first();

    PromptBarField *field = screen->promptBar()->field();
    field->setFocus();
    QTest::keyClicks(field, u"say hello"_s);
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_TRUE(waitFor([pane] { return pane->status() == AgentStatus::done; }));

    AgentPaneView *paneView = column->paneView(pane->id());
    ASSERT_TRUE(paneView);
    auto *status = paneView->findChild<StatusPill *>(u"statusPill"_s);
    ASSERT_TRUE(waitFor([status] { return status->status() == AgentStatus::done; }));
    EXPECT_EQ(statusLook(status->status()).shownLabel(), u"DONE"_s);
    auto *transcript = paneView->findChild<TranscriptView *>();
    ASSERT_TRUE(transcript);
    // The transcript shows the reply once it has taken the new lines in.
    const auto replyShown = [transcript] {
        const QList<RenderGroup> &groups = transcript->groups();
        const QList<TranscriptView::Row> &rows = transcript->rowItems();
        for (int i = 0; i < rows.size(); ++i) {
            const RenderGroup &group = groups.at(rows[i].group);
            const auto *run = group.asStdoutRun();
            const auto *single = group.asSingle();
            const QString text = run ? run->text.toString() : single ? single->line.text : QString();
            if (text.contains(u"Hello from the stand-in agent."_s) && transcript->rows()->builtRow(i))
                return true;
        }
        return false;
    };
    EXPECT_TRUE(waitFor(replyShown));

    SidebarButton *projects = screen->sidebar()->buttons().first();
    QTest::mouseClick(projects, Qt::LeftButton, {}, projects->clickArea().center());
    ASSERT_TRUE(waitFor([this] { return window->shellView()->overview(); }));
    ASSERT_EQ(window->shell()->projects().size(), 1);
    const QString id = window->shell()->projects().first().id;
    EXPECT_TRUE(window->shellView()->overview()->cardFor(id));
    EXPECT_EQ(window->shell()->projects().first().path, project);

    const std::optional<PanesSnapshot> saved = loadPanesSnapshot(project + u"/.nerim/panes.json"_s);
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->panes.size(), 1);
    bool replySaved = false;
    for (const OutputLine &line : saved->panes.first().outputLines)
        replySaved |= line.text == u"Hello from the stand-in agent."_s;
    EXPECT_TRUE(replySaved);
}

// A quit while the disk is full: the window stays open with the panes shown
// and says what could not be saved and why; trying again while still full
// asks again, and once there is room "try again" saves every line and the
// window closes.
TEST_F(ShellWindowTest, AQuitWhileTheDiskIsFullSaysSoAndTryAgainSavesTheLines)
{
    const QString folder = makeTempDir(u"Full disk"_s);
    {
        auto actor = await(AppStateActor::load());
        await(actor->registerProject(folder, u"Full disk"_s, Timestamp(200)));
    }
    auto provider = std::make_shared<FakeAgentProvider>();
    struct Asked {
        QString title;
        QString message;
        std::function<void(bool)> done;
    };
    QList<Asked> asked;
    AppShellView::Options options;
    options.controllerFactory = [provider](const QString &id, const QString &path, const QString &name) {
        CanvasServices services;
        services.panesOutputSaveDelay = std::chrono::milliseconds(20);
        services.panesSaveRetryDelay = std::chrono::milliseconds(20);
        services.panesTeardownRetryWindow = std::chrono::milliseconds(100);
        return std::make_shared<ProjectCanvasViewModel>(id, path, name, provider, nullptr, services);
    };
    options.unsavedPanesAlert = [&asked](QWidget *, const QString &title, const QString &message,
                                         std::function<void(bool)> done) { asked.append({title, message, done}); };
    open(options);
    QCoro::Task<> opening = window->shell()->openProject(window->shell()->projects().first());
    Q_UNUSED(opening);
    ASSERT_TRUE(waitFor([this] { return window->shellView()->canvasScreen(); }));
    ProjectCanvasView *screen = window->shellView()->canvasScreen();
    ASSERT_TRUE(waitFor([screen] { return screen->phase() == ProjectCanvasView::Phase::ready; }));
    ProjectCanvasViewModel *canvas = screen->canvas();
    provider->enqueue(FakeAgentProvider::running());
    canvas->spawnAgents(1);
    ASSERT_EQ(canvas->panes().size(), 1);
    AgentPaneState *pane = canvas->panes().first();
    await(canvas->sendToPane(pane, u"print"_s, ContextEntry::PromptSource::text));
    const QUuid session = provider->sessionIds().first();
    const QString panesFile = folder + u"/.nerim/panes.json"_s;
    const auto linesOnDisk = [&] {
        SerialFileWriter::shared().flush();
        const std::optional<PanesSnapshot> saved = readPanesFile(panesFile).snapshot;
        if (!saved || saved->panes.isEmpty())
            return qsizetype(0);
        const QList<OutputLine> lines = saved->panes.first().outputLines.toList();
        return qsizetype(std::count_if(lines.begin(), lines.end(),
                                       [](const OutputLine &line) { return line.text.startsWith(u"line "_s); }));
    };
    const auto print = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            provider->yieldEvent(session, AgentOutput::stdoutLine(u"line %1"_s.arg(i)));
    };
    print(0, 200);
    ASSERT_TRUE(waitFor([&] { return linesOnDisk() == 200; }));

    std::atomic<bool> full{true};
    fileCalls::detail::setHook([&full](fileCalls::Call, int, const char *, qint64) { return !full.load(); });
    const auto unhook = qScopeGuard([] { fileCalls::detail::setHook({}); });
    const auto linesShown = [&] {
        const QList<OutputLine> shown = canvas->panes().first()->outputLines().toList();
        return std::count_if(shown.begin(), shown.end(),
                             [](const OutputLine &line) { return line.text.startsWith(u"line "_s); });
    };
    print(200, 500);
    ASSERT_TRUE(waitFor([&] { return linesShown() == 500; }));
    window->close();
    ASSERT_TRUE(waitFor([&] { return asked.size() == 1; }));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(asked[0].title, u"Nerim couldn't save this project's panes"_s);
    EXPECT_TRUE(asked[0].message.contains(u"\u201cFull disk\u201d"_s)) << asked[0].message.toStdString();
    // Why, as the failed write put it (the disk's error, or the step that met it).
    EXPECT_TRUE(asked[0].message.contains(QString::fromLocal8Bit(std::strerror(EIO))) ||
                asked[0].message.contains(u"could not create temp file"_s))
        << asked[0].message.toStdString();
    ASSERT_EQ(window->shellView()->canvasScreen(), screen);
    ASSERT_EQ(canvas->panes().size(), 1);
    EXPECT_EQ(linesShown(), 500);
    EXPECT_EQ(linesOnDisk(), 200);

    asked[0].done(true); // still full: asked again
    ASSERT_TRUE(waitFor([&] { return asked.size() == 2; }));
    EXPECT_TRUE(window->isVisible());
    full = false;
    asked[1].done(true);
    ASSERT_TRUE(waitFor([&] { return !window->isVisible(); }));
    EXPECT_EQ(linesOnDisk(), 500);
    EXPECT_EQ(asked.size(), 2);
}
