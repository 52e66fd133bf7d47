// Gallery pages of the deploy interface: the pill's faces, the provider
// picker, the overlay with each card, and the Live menu.
#include "ui/design/gallery/GalleryRegistry.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/deploy/DeployControls.h"
#include "ui/deploy/DeployPaneCards.h"
#include "ui/deploy/DeployPill.h"
#include "ui/deploy/DeployProviderPickerSheet.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"

#include <QHBoxLayout>
#include <QLabel>
#include <functional>
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
        canvases.back()->deploySession().state().setPhase(phase);
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
    // Seeded for a Vite app with the Supabase client; then every row off.
    std::unique_ptr<QWidget> page(paperPage(QSize(1000, 440)));
    auto *layout = new QHBoxLayout(page.get());
    layout->setContentsMargins(10, 10, 10, 10);
    auto *seeded = new DeployProviderPickerSheet({DeployProvider::vercel, DeployProvider::supabase}, page.get());
    auto *empty = new DeployProviderPickerSheet({}, page.get());
    for (auto *sheet : {seeded, empty}) {
        sheet->setWindowFlags(Qt::Widget);
        sheet->setFixedSize(480, 420);
        layout->addWidget(sheet);
    }
    const QImage image = gallery::renderWidget(page.get(), QSize(1000, 440));
    page.reset();
    return image;
}

NERIM_GALLERY_PAGE(deployPickerThree, "deploy-picker-three")
{
    DeployProviderPickerSheet sheet({DeployProvider::vercel, DeployProvider::railway, DeployProvider::supabase});
    return gallery::renderWidget(&sheet, QSize(460, 420));
}

namespace {

// The cards as the Deploy pane shows them: 360 points wide.
constexpr int paneWidth = 360;

// The overlay of `phase` on a pane `width` wide, as tall as it asks to be there.
DeployPaneOverlay *paneOverlay(ProjectCanvasViewModel &canvas, const Phase &phase, const QStringList &envNames,
                               bool envFileTooLarge, QWidget *page)
{
    DeployContext context;
    context.providersInOrder = {DeployProvider::vercel};
    context.envVarNames = envNames;
    context.envFileTooLarge = envFileTooLarge;
    canvas.deploySession().state().setContext(context);
    const QUuid paneId = QUuid::createUuid();
    canvas.deploySession().state().setDeployPaneID(paneId);
    canvas.deploySession().state().setPhase(phase);
    auto *overlay = new DeployPaneOverlay(&canvas.deploySession(), paneId, page);
    return overlay;
}

// Stacks `overlays` at `width` with 14 points between them.
QImage renderStacked(QWidget *page, const QList<DeployPaneOverlay *> &overlays, int width)
{
    int y = 12;
    for (DeployPaneOverlay *overlay : overlays) {
        const int height = overlay->heightForWidth(width);
        overlay->setGeometry(16, y, width, height);
        y += height + 14;
    }
    const QSize size(width + 32, y);
    page->resize(size);
    return gallery::renderWidget(page, size);
}

} // namespace

NERIM_GALLERY_PAGE(deployCards, "deploy-cards")
{
    QTemporaryDir project;
    struct Shown {
        Phase phase;
        QStringList envNames;
        std::function<void(DeployCard *)> setUp;
        bool envFileTooLarge = false;
    };
    const QStringList names{u"DATABASE_URL"_s, u"STRIPE_SECRET_KEY"_s, u"NEXT_PUBLIC_ANALYTICS_WRITE_KEY"_s, u"DEBUG"_s};
    const QList<Shown> shown = {
        {Phase::awaitingToken(u"VERCEL_TOKEN"_s,
                              u"Nerim needs a Vercel access token to publish your app. Create one at "
                              u"vercel.com/account/tokens (scope: your account) and paste it here."_s,
                              DeployProvider::vercel),
         {}, [](DeployCard *card) { card->field()->setText(u"abc"_s); }},
        {Phase::awaitingSecret(u"SUPABASE_SERVICE_ROLE_KEY_FOR_PRODUCTION"_s,
                               u"Payments need your Stripe secret key & nothing else."_s), {}, {}},
        {Phase::envVarChecklist(DeployProvider::vercel), names,
         [](DeployCard *card) {
             auto *checklist = static_cast<EnvVarChecklistCard *>(card);
             checklist->choice(u"DEBUG"_s)->choose(u"skip"_s);
             checklist->choice(u"STRIPE_SECRET_KEY"_s)->choose(u"custom"_s);
             checklist->customField(u"STRIPE_SECRET_KEY"_s)->setText(u"sk_live_123"_s);
         }},
        {Phase::envVarChecklist(DeployProvider::railway), {}, {}},
        {Phase::envVarChecklist(DeployProvider::vercel), {}, {}, true},
    };
    std::vector<std::unique_ptr<ProjectCanvasViewModel>> canvases;
    std::unique_ptr<QWidget> page(paperPage(QSize(paneWidth + 32, 900)));
    QList<DeployPaneOverlay *> overlays;
    for (const Shown &item : shown) {
        canvases.push_back(galleryCanvas(project.path()));
        auto *overlay = paneOverlay(*canvases.back(), item.phase, item.envNames, item.envFileTooLarge, page.get());
        if (item.setUp && overlay->card())
            item.setUp(overlay->card());
        overlays.append(overlay);
    }
    const QImage image = renderStacked(page.get(), overlays, paneWidth);
    page.reset();
    return image;
}

// An expanded Deploy pane has room for each checklist row on one line.
NERIM_GALLERY_PAGE(deployChecklistWide, "deploy-checklist-wide")
{
    QTemporaryDir project;
    auto canvas = galleryCanvas(project.path());
    std::unique_ptr<QWidget> page(paperPage(QSize(700, 300)));
    auto *overlay = paneOverlay(*canvas, Phase::envVarChecklist(DeployProvider::vercel),
                                {u"DATABASE_URL"_s, u"STRIPE_SECRET_KEY"_s, u"NEXT_PUBLIC_ANALYTICS_WRITE_KEY"_s},
                                false, page.get());
    auto *checklist = static_cast<EnvVarChecklistCard *>(overlay->card());
    checklist->choice(u"STRIPE_SECRET_KEY"_s)->choose(u"custom"_s);
    const QImage image = renderStacked(page.get(), {overlay}, 640);
    page.reset();
    return image;
}

NERIM_GALLERY_PAGE(deployDomainCards, "deploy-domain-cards")
{
    QTemporaryDir project;
    const DeploySessionState::TerminalSnapshot snapshot{u"https://recipe-box.vercel.app"_s, std::nullopt};
    const QList<std::pair<Phase, QString>> shown = {
        {Phase::customDomainInput(snapshot), QString()},
        {Phase::customDomainInput(snapshot), u"Recipes.Example.com"_s},
        {Phase::customDomainVerifying(snapshot, u"recipes.example.com"_s, {}, 30), QString()},
        {Phase::customDomainVerifying(
             snapshot, u"recipes.example.com"_s,
             {DomainRecord{u"A"_s, u"@"_s, u"76.76.21.21"_s, 3600},
              DomainRecord{u"CNAME"_s, u"www"_s, u"cname.vercel-dns.com"_s, std::nullopt},
              DomainRecord{u"TXT"_s, u"_vercel"_s,
                           u"vc-domain-verify=recipes.example.com,4f1c9e2b7a3d8e6f0a1b2c3d4e5f6a7b8c9d0e1f"_s,
                           std::nullopt}},
             1),
         QString()},
        {Phase::customDomainVerifying(
             snapshot, u"shopfrontforthebestrecipesintown.recipeboxexamplecompany.com"_s,
             {DomainRecord{u"CNAME"_s, u"shopfrontforthebestrecipesintown"_s, u"cname.vercel-dns.com"_s, std::nullopt}},
             12),
         QString()},
    };
    std::vector<std::unique_ptr<ProjectCanvasViewModel>> canvases;
    std::unique_ptr<QWidget> page(paperPage(QSize(paneWidth + 32, 900)));
    QList<DeployPaneOverlay *> overlays;
    for (const auto &[phase, draft] : shown) {
        canvases.push_back(galleryCanvas(project.path()));
        auto *overlay = paneOverlay(*canvases.back(), phase, {}, false, page.get());
        if (!draft.isEmpty() && overlay->card())
            overlay->card()->field()->setText(draft);
        overlays.append(overlay);
    }
    const QImage image = renderStacked(page.get(), overlays, paneWidth);
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
    canvas->deploySession().state().setPhase(Phase::live(u"https://recipe-box.vercel.app"_s, std::nullopt));
    QMenu menu;
    buildLiveMenu(&menu, canvas.get());
    return gallery::renderWidget(&menu, menu.sizeHint());
}
