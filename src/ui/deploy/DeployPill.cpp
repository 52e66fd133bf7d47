#include "ui/deploy/DeployPill.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/deploy/DeployProviderPickerSheet.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/Strings.h"
#include "ui/panes/DetachedTask.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

namespace nerim {

namespace {

using Face = DeployLook::PillFace;

constexpr qreal padH = 11;
constexpr qreal padV = 6;
constexpr qreal leadSide = 12;

QFont pillFont()
{
    QFont font = Font::tracked(NmFont::captionMedium(), 0.08);
    font.setCapitalization(QFont::AllUppercase);
    return font;
}

QString liveURLFor(ProjectCanvasViewModel *canvas)
{
    const DeploySessionState::Phase &phase = canvas->deployState().phase();
    if (phase.kind() == DeploySessionState::Phase::Kind::live ||
        phase.kind() == DeploySessionState::Phase::Kind::customDomainVerified)
        return DeployLook::liveURLOfPhase(phase);
    if (const std::optional<DeployConfig> config = DeployConfig::load(canvas->projectURL())) {
        if (config->customDomain)
            return QStringLiteral("https://") + *config->customDomain;
        if (config->frontendURL)
            return *config->frontendURL;
    }
    return QString();
}

} // namespace

DeployPill::DeployPill(ProjectCanvasViewModel *canvas, QWidget *parent)
    : QWidget(parent)
    , m_canvas(canvas)
{
    setObjectName(QStringLiteral("DeployPill"));
    setCursor(Qt::PointingHandCursor);
    m_pickerFactory = [](const QSet<DeployProvider> &seed, QWidget *parent) {
        return new DeployProviderPickerSheet(seed, parent);
    };
    m_menu = new QMenu(this);
    connect(m_menu, &QMenu::aboutToShow, this, [this] {
        if (m_canvas)
            buildLiveMenu(m_menu, m_canvas);
    });
    if (canvas) {
        connect(&canvas->deployState(), &DeploySessionState::phaseChanged, this, &DeployPill::refresh);
        connect(&canvas->devServerRunner(), &DevServerRunner::statusChanged, this, &DeployPill::refresh);
    }
    refresh();
}

bool DeployPill::unlocked() const
{
    if (!m_canvas)
        return false;
    const bool running = m_canvas->devServerRunner().status().is(DevServerStatus::Kind::running);
    return DeployLook::deployUnlocked(running, running ? std::nullopt : DeployConfig::load(m_canvas->projectURL()));
}

void DeployPill::refresh()
{
    if (!m_canvas)
        return;
    const DeploySessionState::Phase &phase = m_canvas->deployState().phase();
    m_face = DeployLook::pillFace(phase, unlocked());
    m_text = DeployLook::pillText(m_face, phase);
    switch (m_face) {
    case Face::deployButton: setToolTip(Strings::Deploy::deployButtonHelp); break;
    case Face::inProgress: setToolTip(Strings::Deploy::inProgressHelp); break;
    case Face::stuck: setToolTip(Strings::Deploy::stuckHelp); break;
    default: setToolTip(QString()); break;
    }
    setVisible(m_face != Face::hidden);
    updateGeometry();
    update();
}

QSize DeployPill::sizeHint() const
{
    if (m_face == Face::hidden)
        return QSize(0, 0);
    const QFontMetricsF metrics(pillFont());
    const qreal text = metrics.horizontalAdvance(m_text.toUpper());
    const qreal spacing = m_face == Face::inProgress ? 8 : 6;
    const qreal trailing = m_face == Face::live ? 6 + 9 : 0;
    return QSize(int(std::ceil(padH * 2 + leadSide + spacing + text + trailing)),
                 int(std::ceil(padV * 2 + std::max(metrics.height(), leadSide))));
}

void DeployPill::paintEvent(QPaintEvent *)
{
    if (m_face == Face::hidden)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor fill, stroke;
    switch (m_face) {
    case Face::deployButton:
        fill = qColor(NmColor::paperBright, 0.92);
        stroke = qColor(NmColor::hairline, 0.55);
        break;
    case Face::inProgress:
        fill = qColor(NmColor::accentSoft, 0.6);
        stroke = qColor(NmColor::accent, 0.55);
        break;
    case Face::stuck:
        fill = qColor(NmColor::warning, 0.14);
        stroke = qColor(NmColor::warning, 0.55);
        break;
    default:
        fill = qColor(NmColor::success, 0.14);
        stroke = qColor(NmColor::success, 0.55);
        break;
    }
    const QPainterPath capsule = NmPainter::capsulePath(box);
    painter.fillPath(capsule, fill);
    painter.setPen(QPen(stroke, 0.75));
    painter.drawPath(capsule);

    qreal x = padH;
    const qreal cy = height() / 2.0;
    const QRectF lead(x, cy - leadSide / 2, leadSide, leadSide);
    switch (m_face) {
    case Face::deployButton:
        NmIcons::paint(painter, lead, u"arrow.up.circle", NmSymbolWeight::medium, 11, qColor(NmColor::ink));
        x += leadSide + 6;
        break;
    case Face::inProgress: {
        // A still progress ring: the pill redraws on every phase change, not on a timer.
        painter.setPen(QPen(qColor(NmColor::accent, 0.25), 1.6));
        painter.drawEllipse(lead.adjusted(1.5, 1.5, -1.5, -1.5));
        painter.setPen(QPen(qColor(NmColor::accent), 1.6, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(lead.adjusted(1.5, 1.5, -1.5, -1.5), 90 * 16, -110 * 16);
        x += leadSide + 8;
        break;
    }
    case Face::stuck:
        NmIcons::paint(painter, lead, u"exclamationmark.triangle.fill", NmSymbolWeight::medium, 10,
                       qColor(NmColor::warning));
        x += leadSide + 6;
        break;
    default: {
        painter.setPen(Qt::NoPen);
        painter.setBrush(qColor(NmColor::success));
        painter.drawEllipse(QRectF(x + 2, cy - 4, 8, 8));
        x += leadSide + 6;
        break;
    }
    }
    painter.setFont(pillFont());
    painter.setPen(qColor(NmColor::ink));
    const qreal trailing = m_face == Face::live ? 15 : 0;
    const QRectF textBox(x, 0, width() - x - padH - trailing, height());
    painter.drawText(textBox, Qt::AlignVCenter | Qt::AlignLeft,
                     QFontMetricsF(pillFont()).elidedText(m_text.toUpper(), Qt::ElideMiddle, textBox.width()));
    if (m_face == Face::live)
        NmIcons::paint(painter, QRectF(width() - padH - 9, cy - 4.5, 9, 9), u"chevron.down", NmSymbolWeight::semibold, 8,
                       qColor(NmColor::inkSecondary));
}

void DeployPill::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        activate();
}

void DeployPill::activate()
{
    if (!m_canvas)
        return;
    switch (m_face) {
    case Face::hidden: return;
    case Face::deployButton: openPicker(); return;
    case Face::inProgress: focusDeployPane(); return;
    case Face::stuck: startDetached(this, m_canvas->retryDeploy()); return;
    case Face::live: m_menu->popup(mapToGlobal(QPoint(0, height() + 4))); return;
    }
}

void DeployPill::openPicker()
{
    if (!unlocked() || m_picker)
        return;
    m_picker = m_pickerFactory(DeployProviderPickerSheet::seedFor(*m_canvas), this);
    m_picker->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<ProjectCanvasViewModel> canvas = m_canvas;
    connect(m_picker, &DeployProviderPickerSheet::committed, this, [this, canvas](QList<DeployProvider> providers) {
        if (canvas)
            startDetached(this, canvas->beginDeploy(providers, DeployKind::fresh));
    });
    m_picker->open();
}

void DeployPill::focusDeployPane()
{
    if (m_canvas && m_canvas->deployState().deployPaneID())
        m_canvas->focusPane(*m_canvas->deployState().deployPaneID());
}

void buildLiveMenu(QMenu *menu, ProjectCanvasViewModel *canvas)
{
    menu->clear();
    if (!canvas)
        return;
    QPointer<ProjectCanvasViewModel> guard(canvas);
    const QUrl projectURL = canvas->projectURL();
    const std::optional<DeployConfig> config = DeployConfig::load(projectURL);
    const QList<DeployHistoryEntry> candidates =
        DeployLook::rollbackCandidates(DeployHistoryEntry::recentLive(projectURL, 6));
    const auto icon = [](const QString &symbol) {
        return symbol.isEmpty() ? QIcon()
                                : QIcon(QPixmap::fromImage(NmIcons::image(symbol, NmSymbolWeight::regular, 13,
                                                                          qColor(NmColor::ink), 2.0)));
    };
    for (const DeployLook::LiveMenuItem &item :
         DeployLook::liveMenuItems(config && config->autoDeployOnPush.value_or(false), candidates)) {
        if (!item.section.isEmpty())
            menu->addSection(item.section); // section titles take no mnemonic
        const QString title = DeployLook::menuTitle(item.title);
        if (item.kind == DeployLook::LiveMenuItem::Kind::submenu) {
            QMenu *sub = menu->addMenu(icon(item.symbol), title);
            for (const DeployHistoryEntry &entry : item.entries)
                sub->addAction(DeployLook::menuTitle(DeployLook::rollbackTitle(entry)), menu, [guard, entry, menu] {
                    if (guard)
                        startDetached(menu, guard->beginRollback(entry));
                });
            continue;
        }
        QAction *action = menu->addAction(icon(item.symbol), title);
        action->setObjectName(item.id);
        if (item.kind == DeployLook::LiveMenuItem::Kind::disabled) {
            action->setEnabled(false);
            continue;
        }
        if (item.kind == DeployLook::LiveMenuItem::Kind::toggle) {
            action->setCheckable(true);
            action->setChecked(item.checked);
        }
        const QString id = item.id;
        QObject::connect(action, &QAction::triggered, menu, [guard, id, menu, projectURL](bool checked) {
            if (!guard)
                return;
            const QString url = liveURLFor(guard);
            if (id == QLatin1String("open")) {
                if (DeployLook::isOpenableLiveURL(url))
                    QDesktopServices::openUrl(QUrl(url));
            } else if (id == QLatin1String("copy")) {
                QGuiApplication::clipboard()->clear();
                QGuiApplication::clipboard()->setText(url);
            } else if (id == QLatin1String("redeploy")) {
                startDetached(menu, guard->beginDeploy(DeployLook::redeployProviders(guard->deployState().context(),
                                                                                     DeployConfig::load(projectURL)),
                                                       DeployKind::redeploy));
            } else if (id == QLatin1String("transcript")) {
                if (guard->deployState().deployPaneID())
                    guard->focusPane(*guard->deployState().deployPaneID());
            } else if (id == QLatin1String("env")) {
                if (guard->openEnvVarChecklist() && guard->deployState().deployPaneID())
                    guard->focusPane(*guard->deployState().deployPaneID());
            } else if (id == QLatin1String("domain")) {
                if (guard->openCustomDomainInput() && guard->deployState().deployPaneID())
                    guard->focusPane(*guard->deployState().deployPaneID());
            } else if (id == QLatin1String("push")) {
                guard->saveDeployConfig([checked](DeployConfig &config) { config.autoDeployOnPush = checked; });
                startDetached(menu, guard->beginGitConnect(checked));
            } else if (id == QLatin1String("unpin")) {
                guard->saveDeployConfig([](DeployConfig &config) {
                    config.frontendURL.reset();
                    config.customDomain.reset();
                });
                guard->deployState().setPhase(DeploySessionState::Phase::idle());
            }
        });
    }
}

} // namespace nerim
