#include "ui/workspace/SidebarView.h"

#include "ui/design/widgets/NmSurfaceModifier.h"
#include "ui/design/widgets/NmText.h"
#include "ui/workspace/WorkspacePainting.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <cmath>

namespace nerim {

SidebarButton::SidebarButton(SidebarLook::ButtonSpec spec, std::function<void()> action, QWidget *parent)
    : NmHoverWidget(parent)
    , m_spec(std::move(spec))
    , m_action(std::move(action))
{
    setHoverEnabled(m_spec.enabled);
    setFixedHeight(int(SidebarLook::rowHeight));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    NmText::setPlainToolTip(this, m_spec.tooltip);
    // Only a working button is a stop for Tab; a click never takes the focus.
    if (m_spec.enabled) {
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
    }
}

SidebarLook::ButtonLook SidebarButton::look() const
{
    return SidebarLook::buttonLook(m_spec.enabled, m_spec.isActive, isHovered());
}

QRect SidebarButton::clickArea() const
{
    const int side = int(SidebarLook::buttonSide);
    return QRect(int(SidebarLook::selectionBarWidth + SidebarLook::buttonIndent), (height() - side) / 2, side, side);
}

QSize SidebarButton::sizeHint() const
{
    return QSize(int(SidebarLook::selectionBarWidth + SidebarLook::buttonIndent + SidebarLook::buttonSide),
                 int(SidebarLook::rowHeight));
}

void SidebarButton::mousePressEvent(QMouseEvent *event)
{
    m_pressed = event->button() == Qt::LeftButton && clickArea().contains(event->position().toPoint());
    event->accept();
}

void SidebarButton::mouseReleaseEvent(QMouseEvent *event)
{
    const bool clicked = m_pressed && event->button() == Qt::LeftButton &&
                         clickArea().contains(event->position().toPoint());
    m_pressed = false;
    event->accept();
    if (clicked && m_spec.enabled && m_action)
        m_action();
}

void SidebarButton::keyPressEvent(QKeyEvent *event)
{
    if (!WorkspacePainting::isActivationKey(event->key()) || (event->modifiers() & ~Qt::KeypadModifier)) {
        NmHoverWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    if (!event->isAutoRepeat() && m_spec.enabled && m_action)
        m_action();
}

void SidebarButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const SidebarLook::ButtonLook rest = SidebarLook::buttonLook(m_spec.enabled, m_spec.isActive, false);
    const SidebarLook::ButtonLook hovered = SidebarLook::buttonLook(m_spec.enabled, m_spec.isActive, true);
    painter.fillRect(QRectF(0, 0, SidebarLook::selectionBarWidth, height()),
                     WorkspacePainting::color(rest.selectionBar));
    const double progress = hoverProgress();
    const NmSymbolWeight weight = progress >= 0.5 ? hovered.weight : rest.weight;
    NmIcons::paint(painter, QRectF(clickArea()), m_spec.symbol, weight, SidebarLook::iconSize,
                   WorkspacePainting::mix(rest.icon, hovered.icon, progress));
    // Only Tab gives the button the focus: the ring around its square.
    if (hasFocus())
        WorkspacePainting::paintFocusRing(painter, QRectF(clickArea()).adjusted(-3, -3, 3, 3), 9);
}

SidebarView::SidebarView(std::function<void()> onProjectsTapped, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("SidebarView"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, int(SidebarLook::verticalPadding), 0, int(SidebarLook::verticalPadding));
    layout->setSpacing(int(SidebarLook::buttonSpacing));
    const QList<SidebarLook::ButtonSpec> specs = SidebarLook::buttons();
    for (qsizetype i = 0; i < specs.size(); ++i) {
        // Only the first button works; the others do nothing.
        std::function<void()> action = i == 0 ? onProjectsTapped : std::function<void()>([] {});
        auto *button = new SidebarButton(specs[i], std::move(action), this);
        button->setObjectName(QStringLiteral("sidebar-") + specs[i].symbol);
        layout->addWidget(button);
        m_buttons.append(button);
    }
    setFixedSize(int(SidebarLook::railWidth), int(std::lround(SidebarLook::railHeight(int(specs.size())))));
    NmPaneSurfaceModifier::apply(this, false);
}

} // namespace nerim
