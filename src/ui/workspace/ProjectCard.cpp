#include "ui/workspace/ProjectCard.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmPainter.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmMenus.h"
#include "ui/design/widgets/NmSurfaceModifier.h"
#include "ui/design/widgets/NmText.h"
#include "ui/design/widgets/ReducibleTransition.h"
#include "ui/workspace/WorkspacePainting.h"

#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QMenu>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <cmath>

namespace nerim {

namespace {

constexpr double kPadding = 20;
constexpr double kStackSpacing = 10;
constexpr double kRowSpacing = 8;
constexpr double kIconSize = 14;
constexpr double kRemoveSide = 20;
constexpr double kRemoveInset = 8;

} // namespace

ProjectCard::ProjectCard(AppState::ProjectRegistryEntry project, std::function<void()> onOpen,
                         std::function<void()> onRemove, std::function<Timestamp()> now, QWidget *parent)
    : NmHoverWidget(parent)
    , m_project(std::move(project))
    , m_onOpen(std::move(onOpen))
    , m_onRemove(std::move(onRemove))
    , m_now(now ? std::move(now) : std::function<Timestamp()>(&Timestamp::now))
{
    setObjectName(QStringLiteral("ProjectCard"));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    NmPaneSurfaceModifier::apply(this, false);

    IconCircleButton::Look remove;
    remove.symbol = QStringLiteral("xmark");
    remove.weight = NmSymbolWeight::semibold;
    remove.pointSize = 9;
    remove.iconColor = {NmColor::inkSecondary};
    remove.side = kRemoveSide;
    remove.fill = {NmColor::paperBright, 0.9};
    remove.stroke = {NmColor::hairline, 0.5};
    m_remove = new IconCircleButton(remove, this);
    m_remove->setObjectName(QStringLiteral("removeButton"));
    NmText::setPlainToolTip(m_remove, Strings::Overview::removeButtonHelp);
    m_remove->hide();
    connect(m_remove, &QAbstractButton::clicked, this, [this] {
        if (m_onRemove)
            m_onRemove();
    });
    connect(this, &NmHoverWidget::hoveredChanged, this, &ProjectCard::hoverChanged);
}

OverviewLook::ProjectCardLook ProjectCard::look() const
{
    return OverviewLook::projectCardLook(m_project, isHovered(), m_now());
}

void ProjectCard::hoverChanged(bool hovered)
{
    if (auto *surface = NmSurfaceModifier::of(this))
        surface->setFocused(hovered);
    const bool showRemove = look().showsRemoveButton;
    if (showRemove && m_remove->isHidden())
        ReducibleTransition::insert(m_remove, NmMotion::opacity(), NmMotion::quick());
    else if (!showRemove && !m_remove->isHidden())
        ReducibleTransition::remove(m_remove, NmMotion::opacity(), NmMotion::quick());
    update();
}

QRectF ProjectCard::contentRect() const
{
    return QRectF(rect()).adjusted(kPadding, kPadding, -kPadding, -kPadding);
}

QString ProjectCard::shownName() const
{
    const QRectF content = contentRect();
    const double available = content.width() - NmIcons::boxSide(kIconSize) - kRowSpacing;
    const QFontMetricsF metrics(NmFont::bodyMedium());
    return OverviewLook::projectCardName(m_project.displayName, available,
                                         [&metrics](const QString &text) { return metrics.horizontalAdvance(text); });
}

QStringList ProjectCard::shownPathLines() const
{
    return NmText::wrappedLines(m_project.path, NmFont::monoSmall(), contentRect().width(), 2);
}

void ProjectCard::keyPressEvent(QKeyEvent *event)
{
    if (!event->isAutoRepeat() && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier
        && WorkspacePainting::isActivationKey(event->key())) {
        event->accept();
        if (m_onOpen)
            m_onOpen();
        return;
    }
    NmHoverWidget::keyPressEvent(event);
}

void ProjectCard::focusInEvent(QFocusEvent *event)
{
    NmHoverWidget::focusInEvent(event);
    update();
}

void ProjectCard::focusOutEvent(QFocusEvent *event)
{
    NmHoverWidget::focusOutEvent(event);
    update();
}

bool ProjectCard::hits(const QPointF &point) const
{
    return NmPainter::continuousRoundedRectPath(QRectF(rect()), OverviewLook::cardCornerRadius).contains(point);
}

void ProjectCard::resizeEvent(QResizeEvent *event)
{
    NmHoverWidget::resizeEvent(event);
    m_remove->move(int(width() - kRemoveInset - kRemoveSide), int(kRemoveInset));
}

void ProjectCard::mousePressEvent(QMouseEvent *event)
{
    m_pressed = event->button() == Qt::LeftButton && hits(event->position());
    event->accept();
}

void ProjectCard::mouseReleaseEvent(QMouseEvent *event)
{
    const bool clicked = m_pressed && event->button() == Qt::LeftButton && hits(event->position());
    m_pressed = false;
    event->accept();
    if (clicked && m_onOpen)
        m_onOpen();
}

QMenu *ProjectCard::buildContextMenu(QWidget *parent)
{
    if (!look().offersContextMenu)
        return nullptr;
    auto *menu = new QMenu(parent);
    QPointer<ProjectCard> self(this);
    menu->addAction(Strings::Overview::openMenuItem, menu, [self] {
        if (self && self->m_onOpen)
            self->m_onOpen();
    });
    menu->addSeparator();
    QAction *remove = menu->addAction(Strings::Overview::removeMenuItem, menu, [self] {
        if (self && self->m_onRemove)
            self->m_onRemove();
    });
    remove->setObjectName(QStringLiteral("removeAction"));
    // Menus have no destructive role here: the danger colour marks it.
    NmMenus::markDestructive(remove);
    return menu;
}

void ProjectCard::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = buildContextMenu(this);
    if (!menu) {
        event->ignore();
        return;
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
    event->accept();
}

void ProjectCard::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const OverviewLook::ProjectCardLook cardLook = look();
    const QRectF content = contentRect();

    // Name row: icon and name, centred on one line.
    const QFontMetricsF nameMetrics(NmFont::bodyMedium());
    const double iconSide = NmIcons::boxSide(kIconSize);
    const double rowHeight = std::max(nameMetrics.height(), iconSide);
    NmIcons::paint(painter, QRectF(content.left(), content.top() + (rowHeight - iconSide) / 2, iconSide, iconSide),
                   cardLook.symbol, NmSymbolWeight::regular, kIconSize, WorkspacePainting::color(cardLook.iconColor));
    painter.setFont(NmFont::bodyMedium());
    painter.setPen(qColor(NmColor::ink));
    const double nameLeft = content.left() + iconSide + kRowSpacing;
    painter.drawText(QRectF(nameLeft, content.top(), content.right() - nameLeft, rowHeight),
                     Qt::AlignVCenter | Qt::AlignLeft, shownName());

    // Path: at most two lines.
    painter.setFont(NmFont::monoSmall());
    painter.setPen(qColor(NmColor::inkSecondary));
    const QFontMetricsF pathMetrics(NmFont::monoSmall());
    double y = content.top() + rowHeight + kStackSpacing;
    for (const QString &line : shownPathLines()) {
        painter.drawText(QRectF(content.left(), y, content.width(), pathMetrics.height()), Qt::AlignLeft | Qt::AlignTop,
                         line);
        y += pathMetrics.lineSpacing();
    }

    // Footer at the bottom. Its "Last opened …" phrase moves on with the
    // clock, while the card is often repainted a strip at a time (the
    // background's drift repaints what lies over it): a strip drawn with a
    // newer phrase than the rest would splice two texts. A paint that does
    // not cover the whole footer draws the phrase drawn last, and the new
    // one follows whole at once.
    painter.setFont(NmFont::caption());
    painter.setPen(qColor(NmColor::inkTertiary));
    const QFontMetricsF footerMetrics(NmFont::caption());
    const QRectF footerRect(content.left(), content.bottom() - footerMetrics.height(), content.width(),
                            footerMetrics.height());
    QString footer = cardLook.footer;
    if (footer != m_paintedFooter) {
        const QRect footerPixels = footerRect.toAlignedRect();
        if (m_paintedFooter.isNull() || event->region().intersected(footerPixels) == QRegion(footerPixels)) {
            m_paintedFooter = footer;
        } else {
            footer = m_paintedFooter;
            update(footerPixels);
        }
    }
    painter.drawText(footerRect, Qt::AlignLeft | Qt::AlignBottom,
                     footerMetrics.elidedText(footer, Qt::ElideRight, content.width()));

    if (cardLook.showsDashedOutline) {
        const double w = 0.5;
        QPen pen(qColor(NmColor::inkTertiary, 0.5), w);
        pen.setDashPattern(NmPainter::dashPattern({4, 4}, w));
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(NmPainter::continuousRoundedRectPath(QRectF(rect()).adjusted(w / 2, w / 2, -w / 2, -w / 2),
                                                              OverviewLook::cardCornerRadius));
    }
    if (hasFocus())
        WorkspacePainting::paintFocusRing(painter, QRectF(rect()), OverviewLook::cardCornerRadius);
}

} // namespace nerim
