#include "ui/workspace/HeaderToggles.h"

#include "plans/PlanState.h"
#include "preview/PreviewState.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/NmKeyboardButton.h"
#include "ui/design/widgets/NmText.h"
#include "ui/design/widgets/ReducibleAnimation.h"
#include "ui/workspace/WorkspacePainting.h"

#include <QFontMetricsF>
#include <QPainter>
#include <cmath>

namespace nerim {

namespace {

constexpr double kHorizontalPadding = 11;
constexpr double kVerticalPadding = 6;
constexpr double kSpacing = 6;
constexpr double kIconSize = 12;
constexpr double kCountLeading = 2;

} // namespace

HeaderToggle::HeaderToggle(QWidget *parent)
    : QAbstractButton(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    NmKeyboardButton::enable(this);
}

void HeaderToggle::applyLooks(const HeaderControlsLook::Toggle &hidden, const HeaderControlsLook::Toggle &shown,
                        bool visible)
{
    m_hiddenLook = hidden;
    m_shownLook = shown;
    m_look = visible ? shown : hidden;
    NmText::setPlainToolTip(this, m_look.help);
    const double target = visible ? 1.0 : 0.0;
    if (!m_initialised || m_visible == visible) {
        m_initialised = true;
        m_visible = visible;
        ReducibleAnimation::stop(this, "visible");
        m_progress = target;
    } else {
        m_visible = visible;
        ReducibleAnimation::animateValue(this, "visible", m_progress, target, NmMotion::quick(), [this](double value) {
            m_progress = value;
            update();
        });
    }
    updateGeometry();
    update();
}

QSize HeaderToggle::sizeHint() const
{
    const QFontMetricsF metrics(WorkspacePainting::pillLabelFont());
    double width = kHorizontalPadding * 2 + NmIcons::boxSide(kIconSize) + kSpacing +
                   metrics.horizontalAdvance(m_look.label.toUpper());
    if (m_look.count)
        width += kSpacing + kCountLeading + metrics.horizontalAdvance(*m_look.count);
    const double height = std::max(metrics.height(), NmIcons::boxSide(kIconSize)) + kVerticalPadding * 2;
    return QSize(int(std::ceil(width)), int(std::ceil(height)));
}

void HeaderToggle::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = rect();
    WorkspacePainting::paintHeaderPillBackground(painter, bounds);
    NmPainter::fill(painter, NmShape::capsule(), bounds,
                    WorkspacePainting::mix(m_hiddenLook.fill, m_shownLook.fill, m_progress));
    const QColor foreground = WorkspacePainting::mix(m_hiddenLook.foreground, m_shownLook.foreground, m_progress);

    double x = kHorizontalPadding;
    const double icon = NmIcons::boxSide(kIconSize);
    NmIcons::paint(painter, QRectF(x, (height() - icon) / 2, icon, icon), m_look.symbol, NmSymbolWeight::medium,
                   kIconSize, foreground);
    x += icon + kSpacing;
    const QFont font = WorkspacePainting::pillLabelFont();
    const QFontMetricsF metrics(font);
    painter.setFont(font);
    painter.setPen(foreground);
    const QString label = m_look.label.toUpper();
    painter.drawText(QRectF(x, 0, width() - x, height()), Qt::AlignVCenter | Qt::AlignLeft, label);
    if (m_look.count) {
        x += metrics.horizontalAdvance(label) + kSpacing + kCountLeading;
        painter.setPen(WorkspacePainting::color(HeaderControlsLook::planCountColor));
        painter.drawText(QRectF(x, 0, width() - x, height()), Qt::AlignVCenter | Qt::AlignLeft, *m_look.count);
    }
    WorkspacePainting::paintHeaderPillOutline(painter, bounds);
}

PlanToggle::PlanToggle(PlanState *plan, QWidget *parent)
    : HeaderToggle(parent)
    , m_plan(plan)
{
    setObjectName(QStringLiteral("PlanToggle"));
    if (plan) {
        connect(plan, &PlanState::isVisibleChanged, this, &PlanToggle::refresh);
        connect(plan, &PlanState::stepsChanged, this, &PlanToggle::refresh);
    }
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_plan)
            m_plan->toggleVisibility();
    });
    refresh();
}

void PlanToggle::refresh()
{
    const qsizetype steps = m_plan ? m_plan->steps().size() : 0;
    const bool visible = m_plan && m_plan->isVisible();
    applyLooks(HeaderControlsLook::planToggle(false, steps), HeaderControlsLook::planToggle(true, steps), visible);
}

PreviewToggle::PreviewToggle(PreviewState *preview, QWidget *parent)
    : HeaderToggle(parent)
    , m_preview(preview)
{
    setObjectName(QStringLiteral("PreviewToggle"));
    if (preview)
        connect(preview, &PreviewState::isVisibleChanged, this, &PreviewToggle::refresh);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_preview)
            m_preview->toggleVisibility();
    });
    refresh();
}

void PreviewToggle::refresh()
{
    const bool visible = m_preview && m_preview->isVisible();
    applyLooks(HeaderControlsLook::previewToggle(false), HeaderControlsLook::previewToggle(true), visible);
}

} // namespace nerim
