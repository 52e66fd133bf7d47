// The deploy cards' common frame (DeployCard): the tinted background, the
// header with its symbol, title, lead and close mark, the scrolling middle
// that shows whole rows, Return and Escape, and the heights the Deploy pane's
// overlay asks for. Each kind of card is in a file of its own; the overlay
// that shows them is in DeployPaneOverlay.cpp.
#include "ui/deploy/DeployPaneCards.h"

#include "ui/deploy/DeployCardParts.h"
#include "ui/deploy/DeployControls.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmPainter.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>

namespace nerim {

namespace deploy_cards {

QLabel *textLabel(const QFont &font, NmRgb color, QWidget *parent, bool wraps)
{
    QLabel *label = wraps ? new DeployWrappedLabel(parent) : new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, qColor(color));
    label->setPalette(palette);
    return label;
}

void primaryInk(DeployCapsuleButton *button, qreal padH, qreal padV)
{
    button->setLook(NmFont::bodyMedium(), {DeployLook::white}, {NmColor::ink});
    button->setPadding(padH, padV);
}

} // namespace deploy_cards

using namespace deploy_cards;

namespace {

// The scrolling middle of a card: as tall as its least when asked, grown by
// the card's layout to whatever it is given; the content keeps its own height
// and scrolls inside. Transparent, so the card's tint shows through.
class CardBody : public QScrollArea {
public:
    explicit CardBody(QWidget *parent) : QScrollArea(parent)
    {
        setObjectName(QStringLiteral("cardBody"));
        setFrameShape(QFrame::NoFrame);
        setWidgetResizable(true);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
        setAutoFillBackground(false);
        viewport()->setAutoFillBackground(false);
        // A slim indicator in the card's tint, like the code blocks' one.
        verticalScrollBar()->setFocusPolicy(Qt::NoFocus);
        verticalScrollBar()->setStyleSheet(
            QStringLiteral("QScrollBar:vertical { width: 8px; background: transparent; margin: 0 0 0 2px; }"
                           "QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 20px;"
                           " margin: 0 1px; }"
                           "QScrollBar::add-line, QScrollBar::sub-line { height: 0; }"
                           "QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }")
                .arg(qColor(NmColor::ink, 0.25).name(QColor::HexArgb)));
        // The keyboard moving through the rows brings the focused one into
        // view, the whole row (a variable's name above its choice) where it fits.
        connect(qApp, &QApplication::focusChanged, this, [this](QWidget *, QWidget *now) {
            if (now && widget() && widget()->isAncestorOf(now))
                reveal(now);
        });
    }
    void reveal(QWidget *focused)
    {
        ensureWidgetVisible(focused, 0, 0);
        QLayout *rows = widget()->layout();
        const QPoint at = focused->mapTo(widget(), QPoint(0, 0));
        for (int i = 0; rows && i < rows->count(); ++i) {
            const QRect row = rows->itemAt(i)->geometry();
            if (row.contains(at)) {
                if (row.height() <= viewport()->height())
                    ensureVisible(row.center().x(), row.center().y(), row.width() / 2, row.height() / 2);
                return;
            }
        }
    }
    // The content's full height at a width.
    int contentHeight(int width) const
    {
        if (!widget())
            return 0;
        const int height = widget()->hasHeightForWidth() ? widget()->heightForWidth(width) : -1;
        return height >= 0 ? height : widget()->sizeHint().height();
    }
    // The least the middle shows of itself at a width: its first row whole
    // (a record, a variable with its choice), never a part of one.
    int leastHeight(int width) const
    {
        QLayout *rows = widget() ? widget()->layout() : nullptr;
        if (!rows || rows->count() == 0)
            return 0;
        QLayoutItem *first = rows->itemAt(0);
        const QMargins margins = rows->contentsMargins();
        const int inner = width - margins.left() - margins.right();
        const int row = first->hasHeightForWidth() ? first->heightForWidth(inner) : first->sizeHint().height();
        return qMin(contentHeight(width), row + margins.top() + margins.bottom());
    }

    // The most of `room` the middle can show in whole rows at a width (its
    // first row whole at least).
    int wholeRowsHeight(int width, int room) const
    {
        QLayout *rows = widget() ? widget()->layout() : nullptr;
        if (!rows || rows->count() == 0)
            return room;
        const QMargins margins = rows->contentsMargins();
        const int inner = width - margins.left() - margins.right();
        int shown = leastHeight(width);
        int bottom = margins.top();
        for (int i = 0; i < rows->count(); ++i) {
            QLayoutItem *item = rows->itemAt(i);
            if (item->isEmpty())
                continue;
            bottom += item->hasHeightForWidth() ? item->heightForWidth(inner) : item->sizeHint().height();
            if (bottom + margins.bottom() > room)
                break;
            shown = std::max(shown, bottom + margins.bottom());
            bottom += rows->spacing();
        }
        return std::min(shown, room);
    }

    // What the card's layout counts the middle at; the card adds the
    // difference to the least at the width it is asked about.
    static constexpr int nominalHeight = 1;
    QSize sizeHint() const override { return QSize(widget() ? widget()->sizeHint().width() : 0, nominalHeight); }
    QSize minimumSizeHint() const override { return QSize(0, nominalHeight); }

protected:
    // A notch of the wheel moves by a whole row, so that the rows in view
    // stay whole; a touchpad's pixels scroll as they come.
    void wheelEvent(QWheelEvent *event) override
    {
        QLayout *rows = widget() ? widget()->layout() : nullptr;
        if (!event->pixelDelta().isNull() || !rows || rows->count() == 0) {
            QScrollArea::wheelEvent(event);
            return;
        }
        event->accept();
        m_notches += event->angleDelta().y();
        int steps = m_notches / 120;
        m_notches -= steps * 120;
        QScrollBar *bar = verticalScrollBar();
        int value = bar->value();
        for (; steps != 0; steps += steps < 0 ? 1 : -1) {
            int next = steps < 0 ? bar->maximum() : 0;
            for (int i = 0; i < rows->count(); ++i) {
                const int top = rows->itemAt(i)->geometry().top();
                if (steps < 0 && top > value) {
                    next = top;
                    break;
                }
                if (steps > 0 && top < value)
                    next = top;
            }
            value = std::clamp(next, 0, bar->maximum());
        }
        bar->setValue(value);
    }

private:
    int m_notches = 0;
};

} // namespace

DeployCard::DeployCard(DeployLook::CardKind kind, DeployCardSession *session, QWidget *parent)
    : QWidget(parent), m_kind(kind), m_session(session)
{
    setObjectName(QStringLiteral("deployCard"));
    // As tall as its contents at the width it is given: wrapped lines and
    // folded rows make a card taller in a narrow pane.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void DeployCard::setPhase(const DeploySessionState::Phase &phase)
{
    // A new phase (or a new payload) asks afresh: the last answer is spent.
    if (!(phase == m_phase))
        m_answer.answered = false;
    m_phase = phase;
    refreshLook();
}

void DeployCard::setAgentRunning(bool running)
{
    if (m_answer.agentRunning == running)
        return;
    m_answer.agentRunning = running;
    refreshLook();
}

void DeployCard::contentChanged()
{
    // A nested row keeps the heights it worked out for its old text until it
    // is told otherwise; a height asked for before the next layout pass
    // (the agent column asks at once) would be short.
    for (QLayout *nested : findChildren<QLayout *>())
        nested->invalidate();
    updateGeometry();
}

void DeployCard::addBody(QWidget *content)
{
    auto *body = new CardBody(this);
    body->setWidget(content);
    // Set after setWidget, which turns it on.
    content->setAutoFillBackground(false);
    m_body = body;
    static_cast<QVBoxLayout *>(layout())->addWidget(body, 1);
}

int DeployCard::withMiddle(int width, bool whole) const
{
    // The layout counts the middle at a nominal point.
    int height = QWidget::heightForWidth(width);
    if (height < 0)
        height = sizeHint().height();
    const auto *body = static_cast<const CardBody *>(m_body);
    if (!body || !body->isVisibleTo(this))
        return height;
    const QMargins margins = layout()->contentsMargins();
    const int inner = width - margins.left() - margins.right();
    return height - CardBody::nominalHeight + (whole ? body->contentHeight(inner) : body->leastHeight(inner));
}

int DeployCard::leastHeightForWidth(int width) const { return withMiddle(width, false); }

int DeployCard::fittedHeight(int width, int height) const
{
    const int full = heightForWidth(width);
    const int least = leastHeightForWidth(width);
    const auto *body = static_cast<const CardBody *>(m_body);
    if (height >= full || height <= least || !body || !body->isVisibleTo(this))
        return std::clamp(height, least, full);
    const QMargins margins = layout()->contentsMargins();
    const int inner = width - margins.left() - margins.right();
    const int around = least - body->leastHeight(inner);
    return around + body->wholeRowsHeight(inner, height - around);
}

int DeployCard::heightForWidth(int width) const { return withMiddle(width, true); }

void DeployCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), qColor(NmColor::accent, 0.08));
    if (m_bottomRule)
        painter.fillRect(QRectF(0, height() - 1, width(), 1), qColor(NmColor::accent, 0.35));
}

void DeployCard::buildHeader(const QString &symbol, bool withTitle, bool withClose, const QString &closeHelp)
{
    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    header->addWidget(deploySymbol(symbol, 12, {NmColor::accent}, this, 1), 0, Qt::AlignTop);
    if (withTitle) {
        auto *texts = new QVBoxLayout;
        texts->setSpacing(2);
        m_title = textLabel(NmFont::bodyMedium(), NmColor::ink, this, true);
        m_title->setObjectName(QStringLiteral("cardTitle"));
        m_lead = textLabel(NmFont::caption(), NmColor::inkSecondary, this, true);
        m_lead->setObjectName(QStringLiteral("cardLead"));
        texts->addWidget(m_title);
        texts->addWidget(m_lead);
        header->addLayout(texts, 1);
    } else {
        m_lead = textLabel(NmFont::body(), NmColor::ink, this, true);
        m_lead->setObjectName(QStringLiteral("cardExplanation"));
        header->addWidget(m_lead, 1, Qt::AlignTop);
    }
    if (withClose) {
        m_close = deployIconButton(QStringLiteral("xmark"), 9, NmColor::inkSecondary, 18, closeHelp, this);
        m_close->setObjectName(QStringLiteral("closeButton"));
        m_close->setAccessibleName(QStringLiteral("Close"));
        connect(m_close, &QToolButton::clicked, this, &DeployCard::leave);
        header->addWidget(m_close, 0, Qt::AlignTop);
    }
    static_cast<QVBoxLayout *>(layout())->addLayout(header);
}

void DeployCard::addReturnShortcut()
{
    // Return belongs to this card only: another pane's card or the prompt bar keeps its own.
    for (const int key : {int(Qt::Key_Return), int(Qt::Key_Enter)}) {
        auto *shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (m_primary && m_primary->isEnabled())
                submit();
        });
    }
}

bool DeployCard::canLeave() const { return m_close && m_close->isVisibleTo(this); }

void DeployCard::takeKeyboard()
{
    if (m_field)
        m_field->setFocus(Qt::OtherFocusReason);
    else
        setFocus(Qt::OtherFocusReason);
}

namespace {

bool isPlainEscape(const QKeyEvent *key) { return key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier; }

} // namespace

bool DeployCard::event(QEvent *event)
{
    // Escape in the card belongs to the card while it can be closed, ahead
    // of the window's own Escape (which folds an expanded pane).
    if (event->type() == QEvent::ShortcutOverride && isPlainEscape(static_cast<QKeyEvent *>(event)) && canLeave()) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

void DeployCard::keyPressEvent(QKeyEvent *event)
{
    if (isPlainEscape(event) && canLeave()) {
        event->accept();
        leave();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace nerim
