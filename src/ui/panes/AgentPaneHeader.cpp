#include "ui/panes/AgentPaneHeader.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/NmIconImage.h"
#include "ui/design/widgets/NmKeyboardButton.h"
#include "ui/design/widgets/NmText.h"
#include "ui/design/Strings.h"
#include "ui/panes/MenuPill.h"

#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QtMath>

namespace nerim {

// ---- PaneIconButton ---------------------------------------------------------------------------

PaneIconButton::PaneIconButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setCursor(Qt::PointingHandCursor);
    NmKeyboardButton::enable(this);
    setFixedSize(20, 20);
}

void PaneIconButton::setLook(const AgentPaneLook::IconButtonLook &look)
{
    if (m_look == look)
        return;
    m_look = look;
    NmText::setPlainToolTip(this, look.help);
    update();
}

void PaneIconButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    NmIcons::paint(painter, QRectF(rect()), m_look.symbol, NmSymbolWeight::medium, m_look.symbolSize,
                   qColor(NmColor::inkSecondary));
}

// ---- RoleMenuButton ---------------------------------------------------------------------------

namespace {
constexpr qreal kRoleSymbolSize = 9;
constexpr qreal kRoleChevronSize = 7;
constexpr qreal kRoleSpacing = 4;
constexpr qreal kRoleHorizontalPadding = 7;
constexpr qreal kRoleVerticalPadding = 3;
} // namespace

RoleMenuButton::RoleMenuButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setObjectName(QStringLiteral("roleMenu"));
    setCursor(Qt::PointingHandCursor);
    NmKeyboardButton::enable(this);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    NmText::setPlainToolTip(this, Strings::AgentPane::roleMenuHelp);
    connect(this, &QAbstractButton::clicked, this, [this] {
        QMenu *menu = buildMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(mapToGlobal(QPoint(0, height() + 2)));
    });
}

void RoleMenuButton::setRole(AgentRole role)
{
    if (role == m_role)
        return;
    m_role = role;
    updateGeometry();
    update();
}

QMenu *RoleMenuButton::buildMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("roleMenuItems"));
    for (const AgentPaneLook::RoleMenuEntry &entry : AgentPaneLook::roleMenu()) {
        QAction *action =
            menu->addAction(NmIcons::icon(entry.symbol, NmSymbolWeight::regular, 12, qColor(NmColor::ink)),
                            MenuPill::menuEntryText(entry.title));
        const AgentRole role = entry.role;
        connect(action, &QAction::triggered, this, [this, role] { emit roleChosen(role); });
    }
    return menu;
}

QFont RoleMenuButton::titleFont() const
{
    QFont font = Font::tracked(NmFont::micro(), 0.08);
    return font;
}

QSize RoleMenuButton::sizeHint() const
{
    const QFontMetricsF metrics(titleFont());
    const AgentPaneLook::RoleLabel label = AgentPaneLook::roleLabel(m_role);
    const qreal symbol = NmIcons::boxSide(kRoleSymbolSize);
    const qreal chevron = NmIcons::boxSide(kRoleChevronSize);
    const qreal width = symbol + kRoleSpacing + metrics.horizontalAdvance(label.shownTitle) + kRoleSpacing + chevron +
                        2 * kRoleHorizontalPadding;
    const qreal height = qMax(qMax(symbol, chevron), metrics.height()) + 2 * kRoleVerticalPadding;
    return {qCeil(width), qCeil(height)};
}

void RoleMenuButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF capsule(rect());
    NmPainter::fill(painter, NmShape::capsule(), capsule, qColor(NmColor::paperBright, 0.7));
    NmPainter::strokeInside(painter, NmShape::capsule(), capsule, 0.5, qColor(NmColor::hairline, 0.4));

    const AgentPaneLook::RoleLabel label = AgentPaneLook::roleLabel(m_role);
    const QColor ink = qColor(NmColor::inkSecondary);
    const QRectF content = capsule.adjusted(kRoleHorizontalPadding, kRoleVerticalPadding, -kRoleHorizontalPadding,
                                            -kRoleVerticalPadding);
    const qreal symbol = NmIcons::boxSide(kRoleSymbolSize);
    const qreal chevron = NmIcons::boxSide(kRoleChevronSize);
    NmIcons::paint(painter, QRectF(content.left(), content.center().y() - symbol / 2, symbol, symbol), label.symbol,
                   NmSymbolWeight::medium, kRoleSymbolSize, ink);
    const qreal titleLeft = content.left() + symbol + kRoleSpacing;
    painter.setFont(titleFont());
    painter.setPen(ink);
    painter.drawText(QRectF(titleLeft, content.top(), content.right() - chevron - kRoleSpacing - titleLeft,
                            content.height()),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, label.shownTitle);
    QColor faint = ink;
    faint.setAlphaF(0.6f);
    NmIcons::paint(painter, QRectF(content.right() - chevron, content.center().y() - chevron / 2, chevron, chevron),
                   u"chevron.down", NmSymbolWeight::semibold, kRoleChevronSize, faint);
}

// ---- PaneRenameField --------------------------------------------------------------------------

PaneRenameField::PaneRenameField(QWidget *parent)
    : QLineEdit(parent)
{
    setObjectName(QStringLiteral("renameField"));
    setFrame(false);
    setMaximumWidth(180);
    setTextMargins(6, 3, 6, 3);
    setStyleSheet(QStringLiteral("QLineEdit { background: %1; border: 1px solid %2; border-radius: 8px; color: %3;"
                                 " selection-background-color: %4; }")
                      .arg(qColor(NmColor::paperBright).name(QColor::HexArgb),
                           qColor(NmColor::accent, 0.6).name(QColor::HexArgb), qColor(NmColor::ink).name(),
                           qColor(NmColor::accent, 0.35).name(QColor::HexArgb)));
}

bool PaneRenameField::event(QEvent *event)
{
    // Claim Escape and Return before a window shortcut (collapsing an
    // expanded pane) can take them.
    if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier) {
            switch (key->key()) {
            case Qt::Key_Escape:
            case Qt::Key_Return:
            case Qt::Key_Enter: event->accept(); return true;
            default: break;
            }
        }
    }
    return QLineEdit::event(event);
}

void PaneRenameField::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        emit cancelRequested();
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        emit commitRequested();
        event->accept();
        return;
    default: QLineEdit::keyPressEvent(event);
    }
}

} // namespace nerim
