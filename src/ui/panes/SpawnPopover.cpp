#include "ui/panes/SpawnPopover.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmIconImage.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panes/AgentColumnLook.h"
#include "ui/panes/AgentPaneLook.h"
#include "ui/panes/MenuPill.h"

#include <QGuiApplication>
#include <QPainterPath>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QLibrary>
#include <QtMath>

#include <cstdlib>

#if __has_include(<xcb/xcb.h>) && QT_CONFIG(xcb)
#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>
#define NERIM_HAS_XCB_HEADERS 1
#endif

namespace nerim {

namespace {

constexpr int kWidth = 280;
constexpr int kPadding = 16;
constexpr int kShadowMargin = 14;
constexpr int kArrowHeight = 8;
constexpr qreal kArrowHalfWidth = 9;
constexpr qreal kCornerRadius = 12;

QLabel *textLabel(const QString &text, const QFont &font, NmRgb color, QWidget *parent)
{
    auto *label = new QLabel(parent);
    NmText::setPlainText(label, text);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, qColor(color));
    label->setPalette(palette);
    return label;
}

class PopoverDivider : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(QRect(0, 2, width(), 1), qColor(NmColor::hairline, 0.6));
    }
};

std::function<bool()> &compositingProbe()
{
    static std::function<bool()> probe;
    return probe;
}

#ifdef NERIM_HAS_XCB_HEADERS
// Whether an X11 compositing manager runs: it owns the selection
// "_NET_WM_CM_S<screen>". The functions come from the xcb library Qt's own
// X11 support has loaded already.
bool x11Composites()
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return true;
    using InternAtom = xcb_intern_atom_cookie_t (*)(xcb_connection_t *, uint8_t, uint16_t, const char *);
    using InternAtomReply = xcb_intern_atom_reply_t *(*)(xcb_connection_t *, xcb_intern_atom_cookie_t,
                                                          xcb_generic_error_t **);
    using SelectionOwner = xcb_get_selection_owner_cookie_t (*)(xcb_connection_t *, xcb_atom_t);
    using SelectionOwnerReply = xcb_get_selection_owner_reply_t *(*)(
        xcb_connection_t *, xcb_get_selection_owner_cookie_t, xcb_generic_error_t **);
    QLibrary xcb(QStringLiteral("xcb"), 1);
    const auto internAtom = reinterpret_cast<InternAtom>(xcb.resolve("xcb_intern_atom"));
    const auto internAtomReply = reinterpret_cast<InternAtomReply>(xcb.resolve("xcb_intern_atom_reply"));
    const auto selectionOwner = reinterpret_cast<SelectionOwner>(xcb.resolve("xcb_get_selection_owner"));
    const auto selectionOwnerReply =
        reinterpret_cast<SelectionOwnerReply>(xcb.resolve("xcb_get_selection_owner_reply"));
    if (!internAtom || !internAtomReply || !selectionOwner || !selectionOwnerReply)
        return true;
    // The screen number of the display name ("host:display.screen").
    int screenNumber = 0;
    const QString display = qEnvironmentVariable("DISPLAY");
    const qsizetype dot = display.lastIndexOf(QLatin1Char('.'));
    if (dot > display.lastIndexOf(QLatin1Char(':')))
        screenNumber = display.mid(dot + 1).toInt();
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screenNumber);
    xcb_intern_atom_reply_t *atom =
        internAtomReply(connection, internAtom(connection, 0, uint16_t(name.size()), name.constData()), nullptr);
    if (!atom)
        return true;
    xcb_get_selection_owner_reply_t *owner =
        selectionOwnerReply(connection, selectionOwner(connection, atom->atom), nullptr);
    std::free(atom);
    if (!owner)
        return true;
    const bool composites = owner->owner != XCB_NONE;
    std::free(owner);
    return composites;
}
#endif

} // namespace

bool SpawnPopover::screenComposites()
{
    if (compositingProbe())
        return compositingProbe()();
#ifdef NERIM_HAS_XCB_HEADERS
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        return x11Composites();
#endif
    // Wayland always composites; other platforms draw pop-ups themselves.
    return true;
}

void SpawnPopover::setCompositingProbe(std::function<bool()> probe)
{
    compositingProbe() = std::move(probe);
}

// ---- SpawnRoleButton ------------------------------------------------------------------------

SpawnRoleButton::SpawnRoleButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setObjectName(QStringLiteral("spawnRoleMenu"));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setFixedWidth(148);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(this, &QAbstractButton::clicked, this, [this] {
        QMenu *menu = buildMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(mapToGlobal(QPoint(0, height() + 2)));
    });
}

void SpawnRoleButton::setRole(AgentRole role)
{
    if (role == m_role)
        return;
    m_role = role;
    update();
}

QMenu *SpawnRoleButton::buildMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("spawnRoleMenuItems"));
    for (const AgentPaneLook::RoleMenuEntry &entry : AgentPaneLook::roleMenu()) {
        QAction *action =
            menu->addAction(NmIcons::icon(entry.symbol, NmSymbolWeight::regular, 12, qColor(NmColor::ink)),
                            MenuPill::menuEntryText(entry.title));
        const AgentRole role = entry.role;
        connect(action, &QAction::triggered, this, [this, role] { emit roleChosen(role); });
    }
    return menu;
}

QSize SpawnRoleButton::sizeHint() const
{
    return {148, qCeil(qMax(QFontMetricsF(NmFont::body()).height(), NmIcons::boxSide(10)) + 14)};
}

void SpawnRoleButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box(rect());
    NmPainter::fill(painter, NmShape::roundedRect(8), box, qColor(NmColor::paperShade));
    const QRectF content = box.adjusted(10, 7, -10, -7);
    const QColor ink = qColor(NmColor::ink);
    const qreal symbol = NmIcons::boxSide(10);
    NmIcons::paint(painter, QRectF(content.left(), content.center().y() - symbol / 2, symbol, symbol),
                   symbolName(m_role), NmSymbolWeight::medium, 10, ink);
    const qreal chevron = NmIcons::boxSide(8);
    QColor faint = ink;
    faint.setAlphaF(0.6f);
    NmIcons::paint(painter, QRectF(content.right() - chevron, content.center().y() - chevron / 2, chevron, chevron),
                   u"chevron.down", NmSymbolWeight::semibold, 8, faint);
    painter.setPen(ink);
    painter.setFont(NmFont::body());
    const qreal left = content.left() + symbol + 6;
    painter.drawText(QRectF(left, content.top(), content.right() - chevron - 4 - left, content.height()),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, displayName(m_role));
}

// ---- SpawnPopover -----------------------------------------------------------------------------

SpawnPopover::SpawnPopover(QWidget *parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint)
{
    setObjectName(QStringLiteral("spawnPopover"));
    // A translucent window needs a compositing manager; without one its
    // clear corners and shadow would show black, so the popover is drawn
    // opaque and cut to its outline instead.
    m_translucent = screenComposites();
    setAttribute(Qt::WA_TranslucentBackground, m_translucent);

    auto *column = new QVBoxLayout(this);
    column->setSpacing(10);
    column->setSizeConstraint(QLayout::SetFixedSize);

    column->addWidget(textLabel(Strings::SpawnPopover::title, NmFont::bodyMedium(), NmColor::ink, this));

    auto *roleRow = new QHBoxLayout;
    roleRow->setSpacing(8);
    QLabel *roleTitle = textLabel(Strings::SpawnPopover::role, NmFont::caption(), NmColor::inkSecondary, this);
    roleTitle->setFixedWidth(88);
    roleRow->addWidget(roleTitle, 0, Qt::AlignVCenter);
    m_role = new SpawnRoleButton(this);
    connect(m_role, &SpawnRoleButton::roleChosen, this, &SpawnPopover::roleChosen);
    roleRow->addWidget(m_role, 0, Qt::AlignVCenter);
    roleRow->addStretch(1);
    column->addLayout(roleRow);

    auto *divider = new PopoverDivider(this);
    divider->setFixedHeight(5);
    column->addWidget(divider);

    column->addWidget(textLabel(Strings::SpawnPopover::responsibility, NmFont::bodyMedium(), NmColor::ink, this));
    QLabel *help = textLabel(AgentColumnLook::responsibilityHelp(), NmFont::caption(), NmColor::inkSecondary, this);
    help->setWordWrap(true);
    help->setFixedWidth(kWidth - 2 * kPadding);
    column->addWidget(help);

    m_field = new QLineEdit(this);
    m_field->setObjectName(QStringLiteral("responsibilityField"));
    m_field->setFont(NmFont::body());
    m_field->setFixedWidth(240);
    m_field->setStyleSheet(QStringLiteral("QLineEdit { background: %1; border: none; border-radius: 8px;"
                                          " padding: 7px 10px; color: %2; selection-background-color: %3; }")
                               .arg(qColor(NmColor::paperShade).name(), qColor(NmColor::ink).name(),
                                    qColor(NmColor::accent, 0.35).name(QColor::HexArgb)));
    connect(m_field, &QLineEdit::textEdited, this, &SpawnPopover::responsibilityEdited);
    column->addWidget(m_field);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addStretch(1);
    QFont buttonFont = NmFont::captionMedium();
    auto *cancel = new QPushButton(Strings::SpawnPopover::cancel, this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setFont(buttonFont);
    cancel->setCursor(Qt::PointingHandCursor);
    cancel->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; padding: 6px 12px;"
                                         " color: %1; }")
                              .arg(qColor(NmColor::inkSecondary).name()));
    connect(cancel, &QPushButton::clicked, this, &SpawnPopover::cancelRequested);
    buttons->addWidget(cancel);
    auto *spawn = new QPushButton(Strings::SpawnPopover::spawn, this);
    spawn->setObjectName(QStringLiteral("spawnCommitButton"));
    spawn->setFont(buttonFont);
    spawn->setCursor(Qt::PointingHandCursor);
    spawn->setStyleSheet(QStringLiteral("QPushButton { border: none; border-radius: 8px; padding: 6px 14px;"
                                        " color: %1; background: %2; }")
                             .arg(qColor(NmColor::paperBright).name(), qColor(NmColor::accent).name()));
    connect(spawn, &QPushButton::clicked, this, &SpawnPopover::commitRequested);
    buttons->addWidget(spawn);
    column->addLayout(buttons);

    setContentsMargins(0, 0, 0, 0);
    column->setContentsMargins(kShadowMargin + kPadding, kShadowMargin + kArrowHeight + kPadding,
                               kShadowMargin + kPadding, kShadowMargin + kPadding);
}

void SpawnPopover::showDraft(const QString &responsibility, AgentRole role)
{
    if (m_field->text() != responsibility) {
        m_field->setText(responsibility);
        m_field->setCursorPosition(int(responsibility.size()));
    }
    m_role->setRole(role);
}

void SpawnPopover::popUp(QWidget *anchor)
{
    const QRect anchorRect(anchor->mapToGlobal(QPoint(0, 0)), anchor->size());
    QScreen *screen = anchor->screen() ? anchor->screen() : QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 4096, 4096);

    auto place = [&](bool arrowOnTop) {
        m_arrowOnTop = arrowOnTop;
        layout()->setContentsMargins(kShadowMargin + kPadding,
                                     kShadowMargin + (arrowOnTop ? kArrowHeight : 0) + kPadding,
                                     kShadowMargin + kPadding,
                                     kShadowMargin + (arrowOnTop ? 0 : kArrowHeight) + kPadding);
        adjustSize();
    };
    place(true);
    int y = anchorRect.bottom() + 1 - kShadowMargin;
    if (y + height() > available.bottom() && anchorRect.top() - height() + kShadowMargin >= available.top()) {
        place(false);
        y = anchorRect.top() - height() + kShadowMargin;
    }
    int x = anchorRect.center().x() - width() / 2;
    x = std::clamp(x, available.left() - kShadowMargin,
                   std::max(available.left() - kShadowMargin, available.right() + kShadowMargin - width()));
    m_arrowX = anchorRect.center().x() - x;
    updateMask();
    move(x, y);
    show();
    raise();
    m_field->setFocus(Qt::PopupFocusReason);
}

void SpawnPopover::closeQuietly()
{
    m_closingQuietly = true;
    hide();
    m_closingQuietly = false;
}

void SpawnPopover::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        // A popup would close itself on Escape; here Escape is the cancel step.
        emit cancelRequested();
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        emit commitRequested();
        event->accept();
        return;
    default: QWidget::keyPressEvent(event);
    }
}

void SpawnPopover::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (!m_closingQuietly)
        emit dismissed();
}

QPainterPath SpawnPopover::outline() const
{
    QRectF body = QRectF(rect()).adjusted(kShadowMargin, kShadowMargin, -kShadowMargin, -kShadowMargin);
    if (m_arrowOnTop)
        body.setTop(body.top() + kArrowHeight);
    else
        body.setBottom(body.bottom() - kArrowHeight);

    QPainterPath shape = NmPainter::continuousRoundedRectPath(body, kCornerRadius);
    // Centred until placed against a button.
    const qreal arrowX = std::clamp<qreal>(m_arrowX < 0 ? body.center().x() : m_arrowX, body.left() + kCornerRadius + kArrowHalfWidth,
                                           body.right() - kCornerRadius - kArrowHalfWidth);
    QPainterPath arrow;
    if (m_arrowOnTop) {
        arrow.moveTo(arrowX - kArrowHalfWidth, body.top() + 1);
        arrow.lineTo(arrowX, body.top() - kArrowHeight);
        arrow.lineTo(arrowX + kArrowHalfWidth, body.top() + 1);
    } else {
        arrow.moveTo(arrowX - kArrowHalfWidth, body.bottom() - 1);
        arrow.lineTo(arrowX, body.bottom() + kArrowHeight);
        arrow.lineTo(arrowX + kArrowHalfWidth, body.bottom() - 1);
    }
    arrow.closeSubpath();
    return shape.united(arrow);
}

void SpawnPopover::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    updateMask();
}

void SpawnPopover::updateMask()
{
    if (m_translucent) {
        clearMask();
        return;
    }
    // The window itself takes the outline's shape (the shape extension needs
    // no compositor), so nothing around the outline is drawn at all.
    setMask(QRegion(outline().toFillPolygon().toPolygon()));
}

void SpawnPopover::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPainterPath shape = outline();
    if (m_translucent) {
        QRectF body = QRectF(rect()).adjusted(kShadowMargin, kShadowMargin, -kShadowMargin, -kShadowMargin);
        if (m_arrowOnTop)
            body.setTop(body.top() + kArrowHeight);
        else
            body.setBottom(body.bottom() - kArrowHeight);
        NmPainter::paintShadow(painter, NmShape::roundedRect(kCornerRadius), body,
                               NmShadow{QColor(27, 23, 18, 40), 18, QPointF(0, 4)});
    } else {
        // Opaque: what lies outside the outline (masked away on screen) is
        // the popover's own paper, never black.
        painter.fillRect(rect(), qColor(NmColor::paperBright));
    }
    painter.setPen(QPen(qColor(NmColor::hairline, m_translucent ? 0.7 : 1.0), m_translucent ? 0.75 : 1.0));
    painter.setBrush(qColor(NmColor::paperBright));
    painter.drawPath(shape);
}

} // namespace nerim
