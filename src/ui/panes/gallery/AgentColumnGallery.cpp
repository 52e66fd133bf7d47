// Gallery pages of the agent column: three stacked panes (one with a code
// block), one pane expanded with the switch chips, and the spawn popover.
#include "ui/design/gallery/GalleryRegistry.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/panes/AgentColumnView.h"
#include "ui/panes/SpawnPopover.h"

#include <QHBoxLayout>
#include <QTemporaryDir>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using namespace nerim;

namespace {

using Kind = OutputLine::Kind;

// A controller over a throwaway folder with three panes in different states.
struct SampleCanvas {
    QTemporaryDir folder;
    std::unique_ptr<ProjectCanvasViewModel> canvas;

    AgentPaneState *builder = nullptr;

    SampleCanvas()
    {
        canvas = std::make_unique<ProjectCanvasViewModel>(u"gallery"_s, folder.path(), u"Gallery"_s);
        builder = canvas->spawnPane(u"Landing page"_s, AgentRole::designer);
        AgentPaneState *backend = canvas->spawnPane(u"Signup API"_s, AgentRole::backend);
        AgentPaneState *fresh = canvas->spawnPane(QString(), AgentRole::unspecified);
        builder->setAgentName(u"Atlas"_s);
        backend->setAgentName(u"Juniper"_s);
        finishBackend(backend);

        fresh->setStatus(AgentStatus::idle);
        canvas->focusPane(builder->id());
    }

    // The first pane's task, arriving while the column is on screen.
    void streamBuilder()
    {
        builder->appendLine(Kind::userPrompt, u"Add a signup form to the landing page"_s);
        for (const QString &line :
             {u"I'll add a **signup form** under the hero, posting to `/api/signup`."_s, u"```html"_s,
              u"<form class=\"signup\" action=\"/api/signup\" method=\"post\">"_s,
              u"  <input type=\"email\" name=\"email\" placeholder=\"you@example.com\"> <!-- required -->"_s,
              u"  <button>Join the waitlist</button>"_s, u"</form>"_s, u"```"_s,
              u"Next I'll style it to match the hero."_s})
            builder->appendLine(Kind::stdout, line);
        builder->setStatus(AgentStatus::working);
    }

    void finishBackend(AgentPaneState *backend)
    {
        backend->appendLine(Kind::userPrompt, u"Store signups in a table"_s);
        backend->appendLine(Kind::stdout, u"Created `signups` with an email column and a unique index."_s);
        backend->appendLine(Kind::stderr, u"warning: no .env file found, using defaults"_s);
        backend->appendLine(Kind::taskComplete, u"Signups are saved to the database"_s);
        backend->appendLine(Kind::system, u"Juniper exited · code 0"_s);
        backend->setStatus(AgentStatus::done);
    }
};

QImage renderColumn(SampleCanvas &sample, QSize size)
{
    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *row = new QHBoxLayout(&view);
    row->setContentsMargins(24, 24, 24, 8);
    auto *column = new AgentColumnView(sample.canvas.get(), &view);
    row->addWidget(column, 0, Qt::AlignTop);
    sample.streamBuilder();
    return gallery::renderWidget(&view, size);
}

} // namespace

NERIM_GALLERY_PAGE(agentColumnStacked, "panes-column-three")
{
    MotionPreferences::shared().setReduceMotion(true);
    SampleCanvas sample;
    return renderColumn(sample, QSize(460, 560));
}

NERIM_GALLERY_PAGE(agentColumnExpanded, "panes-column-expanded")
{
    MotionPreferences::shared().setReduceMotion(true);
    SampleCanvas sample;
    sample.canvas->toggleExpandedPane(sample.canvas->panes().at(0)->id());
    return renderColumn(sample, QSize(860, 560));
}

NERIM_GALLERY_PAGE(agentColumnEmpty, "panes-column-empty")
{
    MotionPreferences::shared().setReduceMotion(true);
    QTemporaryDir folder;
    ProjectCanvasViewModel canvas(u"gallery"_s, folder.path(), u"Gallery"_s);
    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *row = new QHBoxLayout(&view);
    row->setContentsMargins(24, 24, 24, 8);
    row->addWidget(new AgentColumnView(&canvas, &view), 0, Qt::AlignTop);
    return gallery::renderWidget(&view, QSize(460, 480));
}

NERIM_GALLERY_PAGE(spawnPopover, "panes-spawn-popover")
{
    MotionPreferences::shared().setReduceMotion(true);
    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *row = new QVBoxLayout(&view);
    row->setContentsMargins(0, 0, 0, 0);
    auto *popover = new SpawnPopover;
    popover->setParent(&view, Qt::Widget);
    popover->showDraft(u"UI build"_s, AgentRole::designer);
    row->addWidget(popover, 0, Qt::AlignCenter);
    return gallery::renderWidget(&view, QSize(360, 420));
}

// A long answer is drawn in chunks; the seams must not show.
NERIM_GALLERY_PAGE(agentLongAnswer, "panes-long-answer")
{
    MotionPreferences::shared().setReduceMotion(true);
    QTemporaryDir folder;
    ProjectCanvasViewModel canvas(u"gallery"_s, folder.path(), u"Gallery"_s);
    AgentPaneState *pane = canvas.spawnPane(u"Long answer"_s, AgentRole::research);
    pane->appendLine(Kind::userPrompt, u"Summarise the notes"_s);
    for (int i = 1; i <= 30; ++i)
        pane->appendLine(Kind::stdout, i == 15 ? QString()
                                               : u"Line %1 of the answer, with *some* words and `code` in it."_s.arg(i));
    canvas.toggleExpandedPane(pane->id());
    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *row = new QHBoxLayout(&view);
    row->setContentsMargins(24, 24, 24, 8);
    row->addWidget(new AgentColumnView(&canvas, &view));
    return gallery::renderWidget(&view, QSize(620, 900));
}

namespace {

// Two panes in the column, then `change`; the column before, part of the way
// and after (with the standard spring).
QImage columnMotion(const std::function<void(ProjectCanvasViewModel &, AgentPaneState *, AgentPaneState *)> &change,
                    QSize size)
{
    MotionPreferences::shared().setReduceMotion(false);
    QTemporaryDir folder;
    ProjectCanvasViewModel canvas(u"gallery"_s, folder.path(), u"Gallery"_s);
    AgentPaneState *first = canvas.spawnPane(u"Landing page"_s, AgentRole::designer);
    AgentPaneState *second = canvas.spawnPane(u"Signup API"_s, AgentRole::backend);
    first->setAgentName(u"Atlas"_s);
    second->setAgentName(u"Juniper"_s);
    first->appendLine(Kind::userPrompt, u"Add a signup form to the landing page"_s);
    second->appendLine(Kind::userPrompt, u"Store signups in a table"_s);
    canvas.focusPane(first->id());

    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *row = new QHBoxLayout(&view);
    row->setContentsMargins(24, 24, 24, 8);
    row->addWidget(new AgentColumnView(&canvas, &view), 0, Qt::AlignLeft | Qt::AlignTop);
    std::vector<std::pair<QString, QImage>> frames;
    frames.emplace_back(u"Before"_s, gallery::renderWidget(&view, size));
    change(canvas, first, second);
    gallery::seekAnimations(&view, 0.12);
    frames.emplace_back(u"On the way"_s, view.grab().toImage());
    gallery::seekAnimations(&view, 1.0);
    frames.emplace_back(u"After"_s, view.grab().toImage());
    MotionPreferences::shared().setReduceMotion(true);
    return gallery::frameStrip(frames);
}

} // namespace

NERIM_GALLERY_PAGE(columnSpawnMotion, "motion-column-spawn")
{
    return columnMotion([](ProjectCanvasViewModel &canvas, AgentPaneState *, AgentPaneState *) {
        canvas.spawnPane(u"Reviewer"_s, AgentRole::research);
    }, QSize(460, 520));
}

NERIM_GALLERY_PAGE(columnCloseMotion, "motion-column-close")
{
    return columnMotion([](ProjectCanvasViewModel &canvas, AgentPaneState *first, AgentPaneState *) {
        QCoro::Task<> closing = canvas.closePane(first->id());
        Q_UNUSED(closing);
    }, QSize(460, 520));
}

NERIM_GALLERY_PAGE(columnExpandMotion, "motion-column-expand")
{
    return columnMotion([](ProjectCanvasViewModel &canvas, AgentPaneState *first, AgentPaneState *) {
        canvas.toggleExpandedPane(first->id());
    }, QSize(760, 520));
}
