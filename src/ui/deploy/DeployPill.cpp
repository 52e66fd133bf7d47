#include "ui/deploy/DeployPill.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/deploy/DeployControls.h"
#include "ui/deploy/DeployProviderPickerSheet.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/NmIconImage.h"
#include "ui/panes/DetachedTask.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidgetAction>
#include <QLabel>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>
#include <QUrl>

namespace nerim {

namespace {

using Face = DeployLook::PillFace;

constexpr qreal padH = 11;
constexpr qreal padV = 6;
constexpr qreal leadSide = 12;
// The in-progress ring: one turn a second, drawn at about 60 frames a second.
constexpr int ringFrameMs = 16;
constexpr qreal ringDegreesPerFrame = 360.0 * ringFrameMs / 1000.0;

QFont pillFont()
{
    QFont font = Font::tracked(NmFont::captionMedium(), 0.08);
    font.setCapitalization(QFont::AllUppercase);
    return font;
}

QString liveURLFor(ProjectCanvasViewModel *canvas)
{
    const DeploySessionState::Phase &phase = canvas->deploySession().state().phase();
    if (phase.kind() == DeploySessionState::Phase::Kind::live ||
        phase.kind() == DeploySessionState::Phase::Kind::customDomainVerified)
        return DeployLook::liveURLOfPhase(phase);
    // Only an address in the shape Nerim saves it: the file may have been planted.
    if (const std::optional<DeployConfig> config = DeployConfig::load(canvas->projectURL()))
        return config->liveURL().value_or(QString());
    return QString();
}

} // namespace

DeployPill::DeployPill(ProjectCanvasViewModel *canvas, QWidget *parent)
    : QWidget(parent)
    , m_canvas(canvas)
{
    setObjectName(QStringLiteral("DeployPill"));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    m_ringTimer.setInterval(ringFrameMs);
    connect(&m_ringTimer, &QTimer::timeout, this, [this] {
        m_ringAngle = std::fmod(m_ringAngle + ringDegreesPerFrame, 360.0);
        update();
    });
    m_pickerFactory = [](const QSet<DeployProvider> &seed, QWidget *parent) {
        return new DeployProviderPickerSheet(seed, parent);
    };
    m_menu = new QMenu(this);
    connect(m_menu, &QMenu::aboutToShow, this, [this] {
        if (m_canvas)
            buildLiveMenu(m_menu, m_canvas);
    });
    if (canvas) {
        connect(&canvas->deploySession().state(), &DeploySessionState::phaseChanged, this, &DeployPill::refresh);
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
    const DeploySessionState::Phase &phase = m_canvas->deploySession().state().phase();
    m_face = DeployLook::pillFace(phase, unlocked());
    m_text = DeployLook::pillText(m_face, phase);
    setToolTip(DeployLook::pillChrome(m_face).help);
    setAccessibleName(m_text);
    setVisible(m_face != Face::hidden);
    updateRing();
    updateGeometry();
    update();
}

void DeployPill::updateRing()
{
    // The ring turns whenever the in-progress face is on screen, Reduce Motion
    // or not: a still ring would look like a deploy that has stopped.
    const bool turns = DeployLook::pillChrome(m_face).ringTurns && isVisible();
    if (turns && !m_ringTimer.isActive())
        m_ringTimer.start();
    else if (!turns)
        m_ringTimer.stop();
}

void DeployPill::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    updateRing();
}

void DeployPill::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    updateRing();
}

QSize DeployPill::sizeHint() const
{
    if (m_face == Face::hidden)
        return QSize(0, 0);
    const QFontMetricsF metrics(pillFont());
    const qreal text = metrics.horizontalAdvance(m_text.toUpper());
    const DeployLook::PillChrome chrome = DeployLook::pillChrome(m_face);
    const qreal spacing = chrome.spacing;
    const qreal trailing = chrome.chevron ? 6 + 9 : 0;
    return QSize(int(std::ceil(padH * 2 + leadSide + spacing + text + trailing)),
                 int(std::ceil(padV * 2 + std::max(metrics.height(), leadSide))));
}

void DeployPill::paintEvent(QPaintEvent *)
{
    if (m_face == Face::hidden)
        return;
    const DeployLook::PillChrome chrome = DeployLook::pillChrome(m_face);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QPainterPath capsule = NmPainter::capsulePath(box);
    painter.fillPath(capsule, tintColor(chrome.fill));
    painter.setPen(QPen(tintColor(chrome.stroke), 0.75));
    painter.drawPath(capsule);
    if (hasFocus()) {
        painter.setPen(QPen(qColor(NmColor::accent, 0.8), 1.5));
        painter.drawPath(NmPainter::capsulePath(box.adjusted(1, 1, -1, -1)));
    }

    qreal x = padH;
    const qreal cy = height() / 2.0;
    const QRectF lead(x, cy - leadSide / 2, leadSide, leadSide);
    switch (chrome.lead) {
    case DeployLook::PillChrome::Lead::symbol:
        NmIcons::paint(painter, lead, chrome.symbol, NmSymbolWeight::medium, chrome.symbolSize, tintColor(chrome.leadTint));
        break;
    case DeployLook::PillChrome::Lead::ring: {
        const QRectF ring = lead.adjusted(1.5, 1.5, -1.5, -1.5);
        painter.setPen(QPen(qColor(chrome.leadTint.color, 0.25), 1.6));
        painter.drawEllipse(ring);
        painter.setPen(QPen(tintColor(chrome.leadTint), 1.6, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(ring, int((90 - m_ringAngle) * 16), -110 * 16);
        break;
    }
    case DeployLook::PillChrome::Lead::dot:
        painter.setPen(Qt::NoPen);
        painter.setBrush(tintColor(chrome.leadTint));
        painter.drawEllipse(QRectF(x + 2, cy - 4, 8, 8));
        break;
    case DeployLook::PillChrome::Lead::none: break;
    }
    x += leadSide + chrome.spacing;
    painter.setFont(pillFont());
    painter.setPen(qColor(NmColor::ink));
    const qreal trailing = chrome.chevron ? 15 : 0;
    const QRectF textBox(x, 0, width() - x - padH - trailing, height());
    painter.drawText(textBox, Qt::AlignVCenter | Qt::AlignLeft,
                     QFontMetricsF(pillFont()).elidedText(m_text.toUpper(), Qt::ElideMiddle, textBox.width()));
    if (chrome.chevron)
        NmIcons::paint(painter, QRectF(width() - padH - 9, cy - 4.5, 9, 9), u"chevron.down", NmSymbolWeight::semibold, 8,
                       qColor(NmColor::inkSecondary));
}

void DeployPill::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        activate();
}

void DeployPill::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        activate();
    else
        QWidget::keyPressEvent(event);
}

void DeployPill::activate()
{
    if (!m_canvas)
        return;
    switch (m_face) {
    case Face::hidden: return;
    case Face::deployButton: openPicker(); return;
    case Face::inProgress: focusDeployPane(); return;
    case Face::stuck: startDetached(this, m_canvas->deploySession().retry()); return;
    case Face::live: m_menu->popup(mapToGlobal(QPoint(0, height() + 4))); return;
    }
}

void DeployPill::openPicker()
{
    if (!unlocked() || m_picker || m_openingPicker)
        return;
    m_openingPicker = true;
    // The seed reads package.json off the GUI thread; the sheet opens with it.
    auto opening = [](QPointer<DeployPill> self) -> QCoro::Task<> {
        QCoro::Task<QSet<DeployProvider>> seeding = DeployProviderPickerSheet::seedFor(self->m_canvas);
        const QSet<DeployProvider> seed = co_await std::move(seeding);
        if (!self)
            co_return;
        self->m_openingPicker = false;
        if (!self->m_canvas || self->m_face != Face::deployButton || !self->unlocked() || self->m_picker)
            co_return;
        self->m_picker = self->m_pickerFactory(seed, self);
        self->m_picker->setAttribute(Qt::WA_DeleteOnClose);
        connect(self->m_picker, &DeployProviderPickerSheet::committed, self, &DeployPill::commitPicker);
        self->m_picker->open();
    };
    startDetached(this, opening(this));
}

void DeployPill::commitPicker(const QSet<DeployProvider> &providers)
{
    m_picker = nullptr;
    if (providers.isEmpty() || !m_canvas)
        return;
    startDetached(this, m_canvas->deploySession().begin(DeployProvider::deployOrder(providers), DeployKind::fresh));
}

void DeployPill::focusDeployPane()
{
    if (m_canvas && m_canvas->deploySession().state().deployPaneID())
        m_canvas->focusPane(*m_canvas->deploySession().state().deployPaneID());
}

namespace {

// The Live menu's toggle keeps its symbol and shows its state with a check
// mark at the end of the row (the plain style would only sink the symbol).
class LiveMenuStyle : public QProxyStyle {
public:
    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget) const override
    {
        const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option);
        if (element != CE_MenuItem || !item || item->checkType == QStyleOptionMenuItem::NotCheckable ||
            item->icon.isNull()) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        QStyleOptionMenuItem plain(*item);
        plain.checkType = QStyleOptionMenuItem::NotCheckable;
        plain.checked = false;
        QProxyStyle::drawControl(element, &plain, painter, widget);
        if (item->checked) {
            const QRectF box(item->rect.right() - 24, item->rect.center().y() - 7, 14, 14);
            NmIcons::paint(*painter, box, u"checkmark", NmSymbolWeight::semibold, 11, qColor(NmColor::ink));
        }
    }
    QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
                           const QWidget *widget) const override
    {
        QSize result = QProxyStyle::sizeFromContents(type, option, size, widget);
        const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option);
        if (type == CT_MenuItem && item && item->checkType != QStyleOptionMenuItem::NotCheckable)
            result.rwidth() += 24;
        return result;
    }
};

} // namespace

static void addLiveMenuSection(QMenu *menu, const QString &title)
{
    if (!menu->isEmpty())
        menu->addSeparator();
    // A section heading: small secondary text, not an item.
    auto *heading = new QWidgetAction(menu);
    heading->setObjectName(QStringLiteral("section:") + title);
    heading->setText(title);
    heading->setEnabled(false);
    auto *label = new QLabel(title);
    label->setTextFormat(Qt::PlainText);
    label->setFont(NmFont::captionMedium());
    label->setContentsMargins(12, 4, 12, 2);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, qColor(NmColor::inkSecondary));
    label->setPalette(palette);
    heading->setDefaultWidget(label);
    menu->addAction(heading);
}

void buildLiveMenu(QMenu *menu, ProjectCanvasViewModel *canvas)
{
    menu->clear();
    if (!dynamic_cast<const LiveMenuStyle *>(menu->style())) {
        auto *style = new LiveMenuStyle;
        style->setParent(menu);
        menu->setStyle(style);
    }
    if (!canvas)
        return;
    QPointer<ProjectCanvasViewModel> guard(canvas);
    const QUrl projectURL = canvas->projectURL();
    const std::optional<DeployConfig> config = DeployConfig::load(projectURL);
    const QList<DeployHistoryEntry> choices = DeployHistoryEntry::recentLive(projectURL, 6);
    const auto icon = [](const QString &symbol, NmRgb color) {
        return NmIcons::icon(symbol, NmSymbolWeight::regular, 13, qColor(color));
    };
    QString section;
    for (const DeployLook::LiveMenuItem &item :
         DeployLook::liveMenuItems(config && config->autoDeployOnPush.value_or(false), choices,
                                   canvas->deploySession().retryStepTitle())) {
        if (item.section != section) {
            section = item.section;
            addLiveMenuSection(menu, section);
        }
        const QString title = DeployLook::menuTitle(item.title);
        if (item.kind == DeployLook::LiveMenuItem::Kind::submenu) {
            QMenu *sub = menu->addMenu(icon(item.symbol, NmColor::ink), title);
            sub->menuAction()->setObjectName(item.id);
            const QStringList titles = DeployLook::rollbackTitles(item.entries);
            for (qsizetype i = 0; i < item.entries.size(); ++i)
                sub->addAction(DeployLook::menuTitle(titles.at(i)), menu, [guard, entry = item.entries.at(i), menu] {
                    if (guard)
                        startDetached(menu, guard->deploySession().beginRollback(entry));
                });
            continue;
        }
        QAction *action = menu->addAction(icon(item.symbol, item.destructive ? NmColor::danger : NmColor::ink), title);
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
            if (id == QLatin1String("retry")) {
                startDetached(menu, guard->deploySession().retry());
            } else if (id == QLatin1String("open")) {
                if (DeployLook::isOpenableLiveURL(url))
                    QDesktopServices::openUrl(QUrl(url));
            } else if (id == QLatin1String("copy")) {
                QGuiApplication::clipboard()->clear();
                QGuiApplication::clipboard()->setText(url);
            } else if (id == QLatin1String("redeploy")) {
                startDetached(menu, guard->deploySession().begin(DeployLook::redeployProviders(guard->deploySession().state().context(),
                                                                                     DeployConfig::load(projectURL)),
                                                       DeployKind::redeploy));
            } else if (id == QLatin1String("transcript")) {
                if (guard->deploySession().state().deployPaneID())
                    guard->focusPane(*guard->deploySession().state().deployPaneID());
            } else if (id == QLatin1String("env")) {
                if (guard->deploySession().openEnvVarChecklist() && guard->deploySession().state().deployPaneID())
                    guard->focusPane(*guard->deploySession().state().deployPaneID());
            } else if (id == QLatin1String("domain")) {
                if (guard->deploySession().openCustomDomainInput() && guard->deploySession().state().deployPaneID())
                    guard->focusPane(*guard->deploySession().state().deployPaneID());
            } else if (id == QLatin1String("push")) {
                // The setting is saved once the git change went through, never before.
                startDetached(menu, guard->deploySession().beginGitConnect(checked));
            } else if (id == QLatin1String("unpin")) {
                guard->deploySession().unpin();
            }
        });
    }
}

} // namespace nerim
