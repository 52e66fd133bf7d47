// Gallery pages of the canvas panels: the Plans panel empty and with a plan,
// and the preview panel with each row of its status strip.
#include "ui/design/gallery/GalleryRegistry.h"

#include "plans/PlanState.h"
#include "preview/PreviewState.h"
#include "repair/RepairSessionState.h"
#include "ui/design/Colors.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panels/PlansPanelView.h"
#include "ui/panels/PreviewPanelView.h"

#include <QPainter>
#include <QVBoxLayout>

using namespace nerim;

namespace {

// The canvas paper behind a panel, with room around it.
QImage onPaper(QWidget *panel, QSize panelSize)
{
    QWidget backdrop;
    backdrop.setAutoFillBackground(true);
    QPalette palette = backdrop.palette();
    palette.setColor(QPalette::Window, qColor(NmColor::paper));
    backdrop.setPalette(palette);
    auto *layout = new QVBoxLayout(&backdrop);
    layout->setContentsMargins(24, 24, 24, 24);
    panel->setParent(&backdrop);
    panel->setFixedSize(panelSize);
    layout->addWidget(panel);
    return gallery::renderWidget(&backdrop, panelSize + QSize(48, 48));
}

QImage plans(bool withPlan)
{
    MotionPreferences::shared().setReduceMotion(true);
    PlanState state;
    if (withPlan) {
        state.setGoal(QStringLiteral("A recipe box for the family, with photos and a shopping list"));
        auto step = [](const QString &title, const QString &detail, PlanStep::Status status) {
            PlanStep s;
            s.id = QUuid::createUuid();
            s.title = title;
            s.detail = detail;
            s.status = status;
            return s;
        };
        state.setSteps({step(QStringLiteral("Set up the project"), QStringLiteral("Next.js with a SQLite database."),
                             PlanStep::Status::done),
                        step(QStringLiteral("Recipe pages"), QStringLiteral("List, detail and edit views."),
                             PlanStep::Status::inProgress),
                        step(QStringLiteral("Shopping list"), QString(), PlanStep::Status::pending)});
        PlanTurn user;
        user.id = QUuid::createUuid();
        user.role = PlanTurn::Role::user;
        user.content = QStringLiteral("Can the shopping list merge the same ingredient from two recipes?");
        PlanTurn agent;
        agent.id = QUuid::createUuid();
        agent.role = PlanTurn::Role::agent;
        agent.revisedPlan = true;
        agent.content = QStringLiteral("Yes — amounts are **added up** per unit.\n\n```ts\nmerge(a, b)\n```\n\n"
                                       "See <img src=x> and [the docs](https://example.com).");
        state.setConversation({user, agent});
        state.setWorkspaceFiles({{QStringLiteral("overview.md"), QStringLiteral("# Overview"), Timestamp()},
                                 {QStringLiteral("data-model.md"), QString(), Timestamp()}});
    }
    auto *panel = new PlansPanelView(&state, {});
    return onPaper(panel, QSize(300, withPlan ? 620 : 420));
}

QImage preview(const std::optional<RepairSessionState::Phase> &phase, std::optional<QString> error,
               bool repairable = true)
{
    MotionPreferences::shared().setReduceMotion(true);
    PreviewState state;
    state.setAddressBar(QStringLiteral("http://localhost:3000/"));
    state.setError(std::move(error));
    RepairSessionState repair;
    if (phase)
        repair.setPhase(*phase);
    RepairBannerCoordinator coordinator;
    coordinator.isRepairable = repairable;
    auto *panel = new PreviewPanelView(&state, &repair, coordinator,
                                       [](PreviewState *, QWidget *parent) {
                                           auto *page = new QWidget(parent);
                                           page->setAutoFillBackground(true);
                                           QPalette p = page->palette();
                                           p.setColor(QPalette::Window, Qt::white);
                                           page->setPalette(p);
                                           return page;
                                       });
    return onPaper(panel, QSize(640, 400));
}

} // namespace

NERIM_GALLERY_PAGE(plansEmpty, "panels-plans-empty") { return plans(false); }
NERIM_GALLERY_PAGE(plansWithPlan, "panels-plans-with-plan") { return plans(true); }
NERIM_GALLERY_PAGE(previewEmpty, "panels-preview-empty") { return preview(std::nullopt, std::nullopt); }
NERIM_GALLERY_PAGE(previewError, "panels-preview-error-row")
{
    return preview(RepairSessionState::Phase::idle(),
                   QStringLiteral("Your app crashed while starting.  Run npm install, then try again."));
}
NERIM_GALLERY_PAGE(previewProgress, "panels-preview-progress-row")
{
    return preview(RepairSessionState::Phase::repairing(2), std::nullopt);
}
NERIM_GALLERY_PAGE(previewSecret, "panels-preview-secret-row")
{
    return preview(RepairSessionState::Phase::awaitingSecret(
                       QStringLiteral("OPENAI_API_KEY"),
                       QStringLiteral("Your app needs an OpenAI key to answer questions. Paste it here."), 1),
                   std::nullopt);
}
NERIM_GALLERY_PAGE(previewFixed, "panels-preview-fixed-row")
{
    return preview(RepairSessionState::Phase::fixed(), QStringLiteral("old error"));
}
NERIM_GALLERY_PAGE(previewStuck, "panels-preview-stuck-row")
{
    return preview(RepairSessionState::Phase::stuck(QStringLiteral("The database port is taken by another program.")),
                   std::nullopt);
}
