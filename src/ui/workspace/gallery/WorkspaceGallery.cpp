// Gallery pages of the workspace screens: the projects overview (with the
// debug scratch card, and empty) and a project's canvas, each also at the two
// window sizes the screens are checked at (1280 × 800 and 1600 × 1000), and
// the settings window and the removal alert.
#include "ui/design/gallery/GalleryRegistry.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/workspace/ProjectCanvasView.h"
#include "ui/settings/NerimSettingsView.h"
#include "ui/workspace/ProjectCard.h"
#include "ui/workspace/ProjectsOverviewView.h"
#include "preview/PreviewState.h"
#include "plans/PlanState.h"

#include <QApplication>
#include <QMessageBox>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using namespace nerim;

namespace {

// A fixed moment, so the "Last opened" phrases do not change between runs.
const Timestamp kNow(800000000.0);

AppState::ProjectRegistryEntry entry(const QString &id, const QString &name, const QString &path, double hoursAgo)
{
    const Timestamp opened = kNow.addingSeconds(-hoursAgo * 3600);
    return {id, path, name, opened, opened};
}

QImage renderOverview(const QList<AppState::ProjectRegistryEntry> &projects, QSize size)
{
    MotionPreferences::shared().setReduceMotion(true);
    AtmosphereView background;
    background.setClock([] { return 0.0; });
    auto *layout = new QVBoxLayout(&background);
    layout->setContentsMargins(0, 0, 0, 0);
    ProjectsOverviewView::Callbacks callbacks;
    callbacks.onStartBlank = [] {};
    ProjectsOverviewView::Options options;
    options.now = [] { return kNow; };
    layout->addWidget(new ProjectsOverviewView(projects, callbacks, options, &background));
    return gallery::renderWidget(&background, size);
}

void waitUntil(const std::function<bool()> &condition)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

// A project's canvas screen on the background, off screen and ready, for a page.
struct CanvasScene {
    QTemporaryDir project;
    AtmosphereView background;
    ProjectCanvasView *screen = nullptr;

    explicit CanvasScene(QSize size, const QString &name = u"Recipe Box"_s)
    {
        MotionPreferences::shared().setReduceMotion(true);
        background.setClock([] { return 0.0; });
        auto *layout = new QVBoxLayout(&background);
        layout->setContentsMargins(0, 0, 0, 0);
        screen = new ProjectCanvasView(u"gallery"_s, QUrl::fromLocalFile(project.path()), name, nullptr, [] {}, {},
                                       &background);
        layout->addWidget(screen);
        background.setAttribute(Qt::WA_DontShowOnScreen);
        background.resize(size);
        background.show();
        ProjectCanvasView *view = screen;
        waitUntil([view] { return view->phase() == ProjectCanvasView::Phase::ready; });
    }
};

} // namespace

NERIM_GALLERY_PAGE(workspaceOverview, "workspace-overview")
{
    return renderOverview(
        {
            entry(u"A1"_s, u"Recipe Box"_s, u"/home/ada/Documents/Nerim Projects/Recipe Box"_s, 0.5),
            entry(u"scratch-debug"_s, u"nerim-scratch"_s, u"/home/ada/Documents/nerim-scratch"_s, 3),
            entry(u"B2"_s, u"Book club site with a very long name that will not fit"_s,
                  u"/home/ada/code/clients/2026/book-club/website-redesign/frontend/app"_s, 30),
            entry(u"C3"_s, u"<b>Invoices</b>"_s, u"/home/ada/Invoices"_s, 24 * 40),
        },
        QSize(1180, 760));
}

NERIM_GALLERY_PAGE(workspaceOverviewEmpty, "workspace-overview-empty")
{
    return renderOverview({}, QSize(900, 600));
}

NERIM_GALLERY_PAGE(workspaceCanvas, "workspace-canvas")
{
    CanvasScene scene(QSize(1180, 760));
    AtmosphereView &background = scene.background;
    ProjectCanvasView *screen = scene.screen;

    ProjectCanvasViewModel *canvas = screen->canvas();
    using Kind = OutputLine::Kind;
    if (AgentPaneState *pane = canvas->spawnPane(u"UI build"_s, AgentRole::designer)) {
        pane->appendLine(Kind::userPrompt, u"Make the recipe cards look like index cards"_s);
        pane->appendLine(Kind::stdout, u"I'll give each card a **paper texture**, a red rule and rounded corners."_s);
        pane->appendLine(Kind::taskComplete, u"Recipe cards restyled"_s);
    }
    if (AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::backend)) {
        pane->appendLine(Kind::userPrompt, u"Save recipes to a local database"_s);
        pane->appendLine(Kind::stdout, u"Adding a small SQLite store with a `recipes` table."_s);
    }
    const QImage image = gallery::renderWidget(&background, QSize(1180, 760));
    QCoro::Task<> tearingDown = canvas->teardown();
    waitUntil([canvas] { return canvas->isTornDown(); });
    return image;
}

// Emoji in colour wherever names and agent text are shown: the header's
// project name, a transcript's prompt and answer, the task-complete chip,
// and (under the canvas) a project card.
NERIM_GALLERY_PAGE(workspaceEmoji, "workspace-emoji")
{
    const QString name = u"Pizza Night \U0001F355"_s;
    CanvasScene scene(QSize(1180, 620), name);
    ProjectCanvasViewModel *canvas = scene.screen->canvas();
    using Kind = OutputLine::Kind;
    if (AgentPaneState *pane = canvas->spawnPane(u"Party \U0001F389"_s, AgentRole::designer)) {
        pane->appendLine(Kind::userPrompt, u"Put a \U0001F355 and a \u2764\uFE0F in the header"_s);
        pane->appendLine(Kind::stdout, u"Added \U0001F355 and \u2764\uFE0F to the header \u2705 \U0001F469\u200D\U0001F4BB \U0001F44D\U0001F3FD"_s);
        pane->appendLine(Kind::taskComplete, u"Header has \U0001F355 now \U0001F389"_s);
    }
    const QImage canvasImage = gallery::renderWidget(&scene.background, QSize(1180, 620));
    QCoro::Task<> tearingDown = canvas->teardown();
    waitUntil([canvas] { return canvas->isTornDown(); });
    const QImage overview = renderOverview({entry(u"A1"_s, name, u"/home/ada/Pizza Night"_s, 0.5)}, QSize(1180, 420));
    return gallery::frameStrip({{u"Canvas"_s, canvasImage}, {u"Overview"_s, overview}});
}

// A project whose memory could not be prepared: the canvas stays usable, with
// the failure at the bottom and the spawn button alone in the agent column.
NERIM_GALLERY_PAGE(workspaceCanvasFailed, "workspace-canvas-failed")
{
    MotionPreferences::shared().setReduceMotion(true);
    QTemporaryDir parent;
    // A project folder that is gone by the time it opens.
    const QString missing = parent.path() + u"/Moved Away"_s;
    AtmosphereView background;
    background.setClock([] { return 0.0; });
    auto *layout = new QVBoxLayout(&background);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *screen = new ProjectCanvasView(u"gallery"_s, QUrl::fromLocalFile(missing), u"Moved Away"_s, nullptr, [] {},
                                         {}, &background);
    layout->addWidget(screen);
    background.setAttribute(Qt::WA_DontShowOnScreen);
    background.resize(1180, 760);
    background.show();
    waitUntil([screen] { return screen->phase() == ProjectCanvasView::Phase::failed; });
    const QImage image = gallery::renderWidget(&background, QSize(1180, 760));
    QCoro::Task<> tearingDown = screen->canvas()->teardown();
    waitUntil([screen] { return screen->canvas()->isTornDown(); });
    return image;
}

// The canvas's row when the Plans panel is expanded (`plans`) or an agent
// pane is: the panels move to their new frames with the standard spring.
QImage canvasExpandMotion(bool plans)
{
    CanvasScene scene(QSize(1180, 760));
    AtmosphereView &background = scene.background;
    ProjectCanvasView *screen = scene.screen;
    ProjectCanvasViewModel *canvas = screen->canvas();
    AgentPaneState *pane = canvas->spawnPane(u"UI build"_s, AgentRole::designer);
    pane->appendLine(OutputLine::Kind::userPrompt, u"Make the recipe cards look like index cards"_s);
    if (plans)
        canvas->plan().setIsVisible(true);
    gallery::seekAnimations(&background, 1.0);

    std::vector<std::pair<QString, QImage>> frames;
    const auto shoot = [&](const QString &title) {
        QImage image = background.grab().toImage();
        // Half size, so that the three frames fit one page.
        image = image.scaled(image.size() / 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        frames.emplace_back(title, image);
    };
    shoot(u"Tiled"_s);
    MotionPreferences::shared().setReduceMotion(false);
    if (plans)
        canvas->plan().toggleExpanded();
    else
        canvas->toggleExpandedPane(pane->id());
    gallery::seekAnimations(&background, 0.12);
    shoot(u"Expanding"_s);
    gallery::seekAnimations(&background, 1.0);
    shoot(u"Expanded"_s);
    MotionPreferences::shared().setReduceMotion(true);

    QCoro::Task<> tearingDown = canvas->teardown();
    waitUntil([canvas] { return canvas->isTornDown(); });
    return gallery::frameStrip(frames);
}

NERIM_GALLERY_PAGE(workspacePlansExpandMotion, "motion-canvas-plans-expand") { return canvasExpandMotion(true); }
NERIM_GALLERY_PAGE(workspacePaneExpandMotion, "motion-canvas-pane-expand") { return canvasExpandMotion(false); }

namespace {

QList<AppState::ProjectRegistryEntry> someProjects()
{
    return {
        entry(u"A1"_s, u"Recipe Box"_s, u"/home/ada/Documents/Nerim Projects/Recipe Box"_s, 0.5),
        entry(u"B2"_s, u"Book Club"_s, u"/home/ada/Documents/Nerim Projects/Book Club"_s, 30),
        entry(u"C3"_s, u"Invoices"_s, u"/home/ada/Invoices"_s, 24 * 40),
        entry(u"D4"_s, u"Garden Planner"_s, u"/home/ada/Documents/Garden Planner"_s, 24 * 3),
    };
}

// The canvas with three idle panes, the Plans panel and the preview (empty).
QImage renderFullCanvas(QSize size)
{
    CanvasScene scene(size);
    AtmosphereView &background = scene.background;
    ProjectCanvasView *screen = scene.screen;
    ProjectCanvasViewModel *canvas = screen->canvas();
    using Kind = OutputLine::Kind;
    const QStringList names{u"UI build"_s, u"Data"_s, u"Reviewer"_s};
    for (int p = 0; p < 3; ++p) {
        if (AgentPaneState *pane = canvas->spawnPane(names[p], AgentRole::code)) {
            pane->appendLine(Kind::userPrompt, u"Make the recipe cards look like index cards"_s);
            for (int i = 0; i < 8; ++i)
                pane->appendLine(Kind::stdout, u"Line %1: gave each card a **paper texture** and a red rule."_s.arg(i + 1));
        }
    }
    canvas->plan().setIsVisible(true);
    canvas->preview().setVisible(true);
    // The panels' entrances and the web view's first frame.
    QElapsedTimer settling;
    settling.start();
    waitUntil([&settling] { return settling.elapsed() > 1500; });
    const QImage image = gallery::renderWidget(&background, size);
    QCoro::Task<> tearingDown = canvas->teardown();
    waitUntil([canvas] { return canvas->isTornDown(); });
    return image;
}

} // namespace

NERIM_GALLERY_PAGE(workspaceOverviewSmall, "workspace-overview-1280x800")
{
    return renderOverview(someProjects(), QSize(1280, 800));
}

NERIM_GALLERY_PAGE(workspaceOverviewLarge, "workspace-overview-1600x1000")
{
    return renderOverview(someProjects(), QSize(1600, 1000));
}

NERIM_GALLERY_PAGE(workspaceCanvasFullSmall, "workspace-canvas-panels-1280x800")
{
    return renderFullCanvas(QSize(1280, 800));
}

// The narrowest usual window: the row's panels at their least widths.
NERIM_GALLERY_PAGE(workspaceCanvasFullNarrow, "workspace-canvas-panels-1024x700")
{
    return renderFullCanvas(QSize(1024, 700));
}

NERIM_GALLERY_PAGE(workspaceCanvasFullLarge, "workspace-canvas-panels-1600x1000")
{
    return renderFullCanvas(QSize(1600, 1000));
}

// The overview's first card with keyboard focus (its ring).
NERIM_GALLERY_PAGE(workspaceOverviewFocus, "workspace-overview-focus")
{
    MotionPreferences::shared().setReduceMotion(true);
    AtmosphereView background;
    background.setClock([] { return 0.0; });
    auto *layout = new QVBoxLayout(&background);
    layout->setContentsMargins(0, 0, 0, 0);
    ProjectsOverviewView::Callbacks callbacks;
    callbacks.onStartBlank = [] {};
    ProjectsOverviewView::Options options;
    options.now = [] { return kNow; };
    auto *overview = new ProjectsOverviewView(someProjects(), callbacks, options, &background);
    layout->addWidget(overview);
    background.setAttribute(Qt::WA_DontShowOnScreen);
    background.resize(1280, 800);
    background.show();
    QApplication::setActiveWindow(&background);
    waitUntil([overview] { return overview->cardFor(u"A1"_s) != nullptr; });
    if (ProjectCard *card = overview->cardFor(u"A1"_s))
        card->setFocus(Qt::TabFocusReason);
    return gallery::renderWidget(&background, QSize(1280, 800));
}

NERIM_GALLERY_PAGE(settingsWindow, "settings-window")
{
    NerimSettingsView view;
    return gallery::renderWidget(&view, view.size());
}

NERIM_GALLERY_PAGE(removalAlert, "workspace-removal-alert")
{
    QWidget host;
    host.setAttribute(Qt::WA_DontShowOnScreen);
    host.resize(800, 600);
    host.show();
    ProjectsOverviewView::desktopRemovalAlert()(&host, u"Remove this project?"_s,
                                                  u"Recipe Box will be removed from your projects list. The folder and "
                                                  "any .nerim/ context stay on disk — you can re-add it later."_s,
                                                  [](ProjectsOverviewView::AlertChoice) {});
    QMessageBox *box = host.findChild<QMessageBox *>();
    if (!box)
        return {};
    box->setAttribute(Qt::WA_DontShowOnScreen);
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    const QImage image = box->grab().toImage();
    box->close();
    return image;
}

namespace {

// A maximised 1280 × 800 window (its canvas 750 high) with three panes, the
// last carrying the deploy card of `phase`: the card's title and its button
// or checking line stay in view, its middle scrolls.
QImage renderDeployCardOnCanvas(const DeploySessionState::Phase &phase, const QStringList &envNames)
{
    const QSize size(1280, 750);
    CanvasScene scene(size);
    ProjectCanvasViewModel *canvas = scene.screen->canvas();
    using Kind = OutputLine::Kind;
    AgentPaneState *last = nullptr;
    for (const QString &name : {u"UI build"_s, u"Data"_s, u"Release"_s}) {
        if (AgentPaneState *pane = canvas->spawnPane(name, AgentRole::code)) {
            pane->appendLine(Kind::userPrompt, u"Make the recipe cards look like index cards"_s);
            for (int i = 0; i < 8; ++i)
                pane->appendLine(Kind::stdout, u"Line %1: gave each card a **paper texture** and a red rule."_s.arg(i + 1));
            last = pane;
        }
    }
    DeployContext context;
    context.providersInOrder = {DeployProvider::vercel};
    context.envVarNames = envNames;
    canvas->deploySession().state().setContext(context);
    if (last)
        canvas->deploySession().state().setDeployPaneID(last->id());
    canvas->deploySession().state().setPhase(phase);
    QElapsedTimer settling;
    settling.start();
    waitUntil([&settling] { return settling.elapsed() > 500; });
    const QImage image = gallery::renderWidget(&scene.background, size);
    QCoro::Task<> tearingDown = canvas->teardown();
    waitUntil([canvas] { return canvas->isTornDown(); });
    return image;
}

} // namespace

NERIM_GALLERY_PAGE(workspaceDeployChecklistSmall, "deploy-checklist-canvas-1280x800")
{
    QStringList names;
    for (const char *name : {"DATABASE_URL", "STRIPE_SECRET_KEY", "NEXT_PUBLIC_SITE_URL", "RESEND_API_KEY",
                             "SENTRY_DSN", "OPENAI_API_KEY", "DEBUG", "ANALYTICS_WRITE_KEY"})
        names.append(QString::fromLatin1(name));
    return renderDeployCardOnCanvas(DeploySessionState::Phase::envVarChecklist(DeployProvider::vercel), names);
}

NERIM_GALLERY_PAGE(workspaceDeployVerifySmall, "deploy-verify-canvas-1280x800")
{
    const DeploySessionState::TerminalSnapshot live{u"https://recipe-box.vercel.app"_s, std::nullopt};
    QList<DomainRecord> records{{u"A"_s, u"@"_s, u"76.76.21.21"_s, std::nullopt},
                                {u"CNAME"_s, u"www"_s, u"cname.vercel-dns.com"_s, std::nullopt}};
    for (int i = 1; i <= 5; ++i)
        records.append({u"TXT"_s, u"_verify%1"_s.arg(i), u"vc-domain-verify=recipes.example.com,%1"_s.arg(i), 60});
    return renderDeployCardOnCanvas(
        DeploySessionState::Phase::customDomainVerifying(live, u"recipes.example.com"_s, records, 27), {});
}
