// Gallery pages of the deploy interface: the pill's faces, the provider
// picker, the overlay with each card, and the Live menu.
#include "ui/design/gallery/GalleryRegistry.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/deploy/DeployPaneCards.h"
#include "ui/deploy/DeployPill.h"
#include "ui/deploy/DeployProviderPickerSheet.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"

#include <QLabel>
#include <QTemporaryDir>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using namespace nerim;
using Phase = DeploySessionState::Phase;

namespace {

// A controller over a throwaway folder; nothing runs in it.
std::unique_ptr<ProjectCanvasViewModel> galleryCanvas(const QString &path)
{
    return std::make_unique<ProjectCanvasViewModel>(u"gallery"_s, path, u"Recipe Box"_s, nullptr, nullptr,
                                                    CanvasServices{});
}

QWidget *paperPage(QSize size)
{
    auto *page = new QWidget;
    page->setAutoFillBackground(true);
    QPalette palette = page->palette();
    palette.setColor(QPalette::Window, qColor(NmColor::paper));
    page->setPalette(palette);
    page->resize(size);
    return page;
}

} // namespace

NERIM_GALLERY_PAGE(deployPill, "deploy-pill")
{
    QTemporaryDir project;
    DeployConfig saved;
    saved.frontendURL = u"https://recipe-box.vercel.app"_s;
    DeployConfig::save(saved, QUrl::fromLocalFile(project.path()));
    const DeploySessionState::TerminalSnapshot snapshot{u"https://recipe-box.vercel.app"_s, std::nullopt};
    const QList<std::pair<QString, Phase>> faces = {
        {u"Deploy button (unlocked)"_s, Phase::idle()},
        {u"Preparing"_s, Phase::preparing()},
        {u"Token"_s, Phase::awaitingToken(u"VERCEL_TOKEN"_s, QString(), DeployProvider::vercel)},
        {u"Provisioning"_s, Phase::buildingBackend(DeployProvider::supabase)},
        {u"Secret"_s, Phase::awaitingSecret(u"STRIPE_SECRET_KEY"_s, QString())},
        {u"Verifying"_s, Phase::customDomainVerifying(snapshot, u"recipes.example.com"_s, {}, 30)},
        {u"Rollback"_s, Phase::runningOperation(ProviderTask::rollback(u"dpl_1"_s, u"t"_s), DeployProvider::vercel, snapshot)},
        {u"Stuck"_s, Phase::stuck(u"r"_s)},
        {u"Live"_s, Phase::live(u"https://recipe-box.vercel.app/"_s, std::nullopt)},
        {u"Live on a domain"_s, Phase::customDomainVerified(u"recipes.example.com"_s)},
    };
    std::vector<std::unique_ptr<ProjectCanvasViewModel>> canvases;
    std::unique_ptr<QWidget> page(paperPage(QSize(520, 460)));
    auto *layout = new QVBoxLayout(page.get());
    layout->setContentsMargins(24, 20, 24, 20);
    for (const auto &[name, phase] : faces) {
        canvases.push_back(galleryCanvas(project.path()));
        canvases.back()->deployState().setPhase(phase);
        auto *row = new QHBoxLayout;
        auto *label = new QLabel(name, page.get());
        label->setFont(NmFont::caption());
        label->setFixedWidth(180);
        row->addWidget(label);
        row->addWidget(new DeployPill(canvases.back().get(), page.get()));
        row->addStretch(1);
        layout->addLayout(row);
    }
    const QImage image = gallery::renderWidget(page.get(), QSize(520, 460));
    page.reset();
    return image;
}

NERIM_GALLERY_PAGE(deployPicker, "deploy-picker")
{
    DeployProviderPickerSheet sheet({DeployProvider::vercel, DeployProvider::supabase});
    return gallery::renderWidget(&sheet, QSize(480, 400));
}

NERIM_GALLERY_PAGE(deployCards, "deploy-cards")
{
    QTemporaryDir project;
    const DeploySessionState::TerminalSnapshot snapshot{u"https://recipe-box.vercel.app"_s, std::nullopt};
    const QList<Phase> phases = {
        Phase::awaitingToken(u"VERCEL_TOKEN"_s, u"Create one at vercel.com/account/tokens and paste it here."_s,
                             DeployProvider::vercel),
        Phase::awaitingSecret(u"STRIPE_SECRET_KEY"_s, u"Payments need your Stripe secret key & nothing else."_s),
        Phase::envVarChecklist(DeployProvider::vercel),
        Phase::customDomainInput(snapshot),
        Phase::customDomainVerifying(
            snapshot, u"recipes.example.com"_s,
            {DomainRecord{u"A"_s, u"@"_s, u"76.76.21.21"_s, 3600},
             DomainRecord{u"CNAME"_s, u"www"_s, u"cname.vercel-dns.com"_s, std::nullopt}},
            30),
    };
    std::vector<std::unique_ptr<ProjectCanvasViewModel>> canvases;
    std::unique_ptr<QWidget> page(paperPage(QSize(560, 900)));
    auto *layout = new QVBoxLayout(page.get());
    layout->setContentsMargins(16, 12, 16, 12);
    for (const Phase &phase : phases) {
        canvases.push_back(galleryCanvas(project.path()));
        ProjectCanvasViewModel &canvas = *canvases.back();
        DeployContext context;
        context.providersInOrder = {DeployProvider::vercel};
        context.envVarNames = {u"DATABASE_URL"_s, u"STRIPE_SECRET_KEY"_s, u"DEBUG"_s};
        canvas.deployState().setContext(context);
        const QUuid paneId = QUuid::createUuid();
        canvas.deployState().setDeployPaneID(paneId);
        canvas.deployState().setPhase(phase);
        auto *overlay = new DeployPaneOverlay(&canvas, paneId, page.get());
        if (phase.kind() == Phase::Kind::envVarChecklist && overlay->card())
            overlay->card()->choiceBox(u"DEBUG"_s)->setCurrentIndex(1);
        if (phase.kind() == Phase::Kind::customDomainInput && overlay->card())
            overlay->card()->field()->setText(u"recipes.example.com"_s);
        layout->addWidget(overlay);
    }
    layout->addStretch(1);
    const QImage image = gallery::renderWidget(page.get(), QSize(560, 900));
    page.reset();
    return image;
}

NERIM_GALLERY_PAGE(deployLiveMenu, "deploy-live-menu")
{
    QTemporaryDir project;
    const QUrl url = QUrl::fromLocalFile(project.path());
    DeployConfig saved;
    saved.providers = {DeployProvider::vercel};
    saved.frontendURL = u"https://recipe-box.vercel.app"_s;
    saved.autoDeployOnPush = true;
    DeployConfig::save(saved, url);
    QDir().mkpath(project.path() + u"/.nerim"_s);
    QByteArray lines;
    for (int i = 1; i <= 3; ++i) {
        DeployHistoryEntry entry;
        entry.timestamp = u"2026-12-0%1T10:1%1:00Z"_s.arg(i);
        entry.providers = {u"vercel"_s};
        entry.frontendURL = u"https://recipe-box-%1.vercel.app"_s.arg(i);
        entry.deploymentID = u"dpl_%1"_s.arg(i);
        entry.outcome = u"live"_s;
        entry.kind = u"fresh"_s;
        lines += entry.jsonLine() + '\n';
    }
    QFile history(DeployHistoryEntry::historyPath(project.path()));
    history.open(QIODevice::WriteOnly);
    history.write(lines);
    history.close();
    auto canvas = galleryCanvas(project.path());
    canvas->deployState().setPhase(Phase::live(u"https://recipe-box.vercel.app"_s, std::nullopt));
    QMenu menu;
    buildLiveMenu(&menu, canvas.get());
    return gallery::renderWidget(&menu, menu.sizeHint());
}
