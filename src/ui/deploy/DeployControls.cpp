#include "ui/deploy/DeployControls.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/NmIconImage.h"
#include "ui/design/widgets/NmText.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTextLayout>
#include <QtMath>

namespace nerim {

QColor tintColor(const DeployLook::Tint &tint) { return qColor(tint.color, tint.opacity); }

// ---- DeployCapsuleButton -----------------------------------------------------------------------

DeployCapsuleButton::DeployCapsuleButton(const QString &text, QWidget *parent)
    : QAbstractButton(parent)
{
    setText(text);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void DeployCapsuleButton::setLook(const QFont &font, DeployLook::Tint text, DeployLook::Tint fill,
                                  std::optional<DeployLook::Tint> stroke, qreal strokeWidth)
{
    setFont(font);
    m_text = text;
    m_fill = fill;
    m_stroke = stroke;
    m_strokeWidth = strokeWidth;
    updateGeometry();
    update();
}

void DeployCapsuleButton::setPadding(qreal horizontal, qreal vertical)
{
    m_padH = horizontal;
    m_padV = vertical;
    updateGeometry();
}

QSize DeployCapsuleButton::sizeHint() const
{
    const QFontMetricsF metrics(font());
    return QSize(qCeil(metrics.horizontalAdvance(text()) + 2 * m_padH), qCeil(metrics.height() + 2 * m_padV));
}

void DeployCapsuleButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled() && m_fades)
        painter.setOpacity(0.45);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QPainterPath capsule = NmPainter::capsulePath(box);
    painter.fillPath(capsule, tintColor(m_fill));
    if (m_stroke) {
        painter.setPen(QPen(tintColor(*m_stroke), m_strokeWidth));
        painter.drawPath(capsule);
    }
    if (isDown())
        painter.fillPath(capsule, QColor(0, 0, 0, 24));
    if (hasFocus()) {
        painter.setPen(QPen(qColor(NmColor::accent, 0.8), 1.5));
        painter.drawPath(NmPainter::capsulePath(box.adjusted(1, 1, -1, -1)));
    }
    painter.setFont(font());
    painter.setPen(tintColor(m_text));
    painter.drawText(rect(), Qt::AlignCenter, text());
}

// ---- Icons -----------------------------------------------------------------------------------

QToolButton *deployIconButton(const QString &symbol, qreal pointSize, NmRgb color, int side, const QString &help,
                              QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setToolTip(help);
    button->setCursor(Qt::PointingHandCursor);
    button->setIcon(NmIcons::icon(symbol, NmSymbolWeight::medium, pointSize, qColor(color)));
    const qreal iconSide = NmIcons::boxSide(pointSize);
    button->setIconSize(QSize(qCeil(iconSide), qCeil(iconSide)));
    button->setFixedSize(side, side);
    button->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; padding: 0; }"));
    return button;
}

namespace {
class SymbolLabel : public QWidget {
public:
    SymbolLabel(const QString &symbol, qreal pointSize, DeployLook::Tint tint, int topPadding, QWidget *parent)
        : QWidget(parent), m_symbol(symbol), m_pointSize(pointSize), m_tint(tint), m_top(topPadding)
    {
        const int side = qCeil(NmIcons::boxSide(pointSize));
        setFixedSize(side, side + topPadding);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setObjectName(QStringLiteral("symbol:") + symbol);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        const qreal side = NmIcons::boxSide(m_pointSize);
        NmIcons::paint(painter, QRectF(0, m_top, side, side), m_symbol, NmSymbolWeight::regular, m_pointSize,
                       tintColor(m_tint));
    }

private:
    QString m_symbol;
    qreal m_pointSize;
    DeployLook::Tint m_tint;
    int m_top;
};
} // namespace

QWidget *deploySymbol(const QString &symbol, qreal pointSize, DeployLook::Tint tint, QWidget *parent, int topPadding)
{
    return new SymbolLabel(symbol, pointSize, tint, topPadding, parent);
}

// ---- DeployField -----------------------------------------------------------------------------

DeployField::DeployField(bool outlined, qreal padH, qreal padV, QWidget *parent)
    : QLineEdit(parent), m_outlined(outlined)
{
    setFrame(false);
    setTextMargins(qRound(padH), qRound(padV), qRound(padH), qRound(padV));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Base, Qt::transparent);
    palette.setColor(QPalette::Text, qColor(NmColor::ink));
    palette.setColor(QPalette::PlaceholderText, qColor(NmColor::inkTertiary));
    setPalette(palette);
    setAttribute(Qt::WA_MacShowFocusRect, false);
}

void DeployField::paintEvent(QPaintEvent *event)
{
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25);
        const QPainterPath shape = NmPainter::continuousRoundedRectPath(box, 4);
        painter.fillPath(shape, qColor(NmColor::paperShade, 0.7));
        if (m_outlined || hasFocus()) {
            painter.setPen(QPen(hasFocus() ? qColor(NmColor::accent, 0.8) : qColor(NmColor::accent, 0.4),
                                hasFocus() ? 1.0 : 0.5));
            painter.drawPath(shape);
        }
    }
    QLineEdit::paintEvent(event);
}

// ---- DeploySegmentedChoice ---------------------------------------------------------------------

namespace {
constexpr qreal segmentPadH = 9;
constexpr qreal segmentPadV = 3;
} // namespace

DeploySegmentedChoice::DeploySegmentedChoice(const QList<DeployLook::EnvChoiceSegment> &segments, QWidget *parent)
    : QWidget(parent), m_segments(segments)
{
    setFont(NmFont::caption());
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QString DeploySegmentedChoice::currentTag() const
{
    return m_segments.isEmpty() ? QString() : m_segments[m_current].tag;
}

void DeploySegmentedChoice::setCurrentTag(const QString &tag)
{
    for (int i = 0; i < m_segments.size(); ++i)
        if (m_segments[i].tag == tag && i != m_current) {
            m_current = i;
            update();
        }
}

void DeploySegmentedChoice::choose(const QString &tag)
{
    const QString before = currentTag();
    setCurrentTag(tag);
    if (currentTag() != before)
        emit tagChosen(currentTag());
}

QStringList DeploySegmentedChoice::labels() const
{
    QStringList labels;
    for (const auto &segment : m_segments)
        labels.append(segment.label);
    return labels;
}

QList<QRectF> DeploySegmentedChoice::segmentRects() const
{
    const QFontMetricsF metrics(font());
    QList<QRectF> rects;
    qreal x = 1;
    for (const auto &segment : m_segments) {
        const qreal w = metrics.horizontalAdvance(segment.label) + 2 * segmentPadH;
        rects.append(QRectF(x, 1, w, height() - 2));
        x += w;
    }
    return rects;
}

QSize DeploySegmentedChoice::sizeHint() const
{
    const QFontMetricsF metrics(font());
    qreal w = 2;
    for (const auto &segment : m_segments)
        w += metrics.horizontalAdvance(segment.label) + 2 * segmentPadH;
    return QSize(qCeil(w), qCeil(metrics.height() + 2 * segmentPadV + 2));
}

void DeploySegmentedChoice::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QPainterPath outer = NmPainter::continuousRoundedRectPath(box, 6);
    painter.fillPath(outer, qColor(NmColor::hairline, 0.3));
    const QList<QRectF> rects = segmentRects();
    for (int i = 0; i < rects.size(); ++i) {
        if (i == m_current) {
            const QPainterPath selected = NmPainter::continuousRoundedRectPath(rects[i].adjusted(1, 1, -1, -1), 5);
            painter.fillPath(selected, qColor(NmColor::paperBright));
            painter.setPen(QPen(qColor(NmColor::hairline, hasFocus() ? 1.0 : 0.7), hasFocus() ? 1.0 : 0.5));
            painter.drawPath(selected);
        } else if (i > 0 && i - 1 != m_current) {
            painter.setPen(QPen(qColor(NmColor::hairline, 0.8), 0.75));
            painter.drawLine(QPointF(rects[i].left(), rects[i].top() + 4), QPointF(rects[i].left(), rects[i].bottom() - 4));
        }
        painter.setPen(qColor(NmColor::ink));
        painter.drawText(rects[i], Qt::AlignCenter, m_segments[i].label);
    }
}

void DeploySegmentedChoice::mousePressEvent(QMouseEvent *event)
{
    const QList<QRectF> rects = segmentRects();
    for (int i = 0; i < rects.size(); ++i)
        if (rects[i].contains(event->position()))
            choose(m_segments[i].tag);
}

void DeploySegmentedChoice::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Left && m_current > 0)
        choose(m_segments[m_current - 1].tag);
    else if (event->key() == Qt::Key_Right && m_current + 1 < m_segments.size())
        choose(m_segments[m_current + 1].tag);
    else
        QWidget::keyPressEvent(event);
}

// ---- DeployWrappedLabel ------------------------------------------------------------------------

namespace {

// Lays `text` out in lines of `width`, breaking inside a word only where the
// word alone is wider than a line. Returns the height the lines take.
qreal layOutLines(QTextLayout &layout, qreal width)
{
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(qMax<qreal>(1, width));
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    return y;
}

} // namespace

DeployWrappedLabel::DeployWrappedLabel(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

QSize DeployWrappedLabel::minimumSizeHint() const
{
    // Any width will do: a word that does not fit is broken. One line high,
    // so that a narrow measure never makes a parent reserve a tall column.
    const QMargins margins = contentsMargins();
    return {fontMetrics().horizontalAdvance(QStringLiteral("MMMM")) + margins.left() + margins.right(),
            fontMetrics().height() + margins.top() + margins.bottom()};
}

int DeployWrappedLabel::heightForWidth(int width) const
{
    const QMargins margins = contentsMargins();
    if (text().isEmpty())
        return margins.top() + margins.bottom();
    QTextLayout layout(text(), font());
    return qCeil(layOutLines(layout, width - margins.left() - margins.right())) + margins.top() + margins.bottom();
}

void DeployWrappedLabel::paintEvent(QPaintEvent *)
{
    const QRect area = contentsRect();
    QTextLayout layout(text(), font());
    layOutLines(layout, area.width());
    QPainter painter(this);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    layout.draw(&painter, area.topLeft());
}

// ---- DeployElidedLabel -------------------------------------------------------------------------

DeployElidedLabel::DeployElidedLabel(const QFont &font, NmRgb color, Qt::TextElideMode mode, QWidget *parent)
    : QWidget(parent), m_color(color), m_mode(mode)
{
    setFont(font);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void DeployElidedLabel::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    updateGeometry();
    updateToolTip();
    update();
}

void DeployElidedLabel::setFloorWidth(int width)
{
    m_floor = width;
    updateGeometry();
}

QString DeployElidedLabel::shownText() const { return fontMetrics().elidedText(m_text, m_mode, width()); }

QSize DeployElidedLabel::sizeHint() const
{
    return {qMax(m_floor, qCeil(QFontMetricsF(font()).horizontalAdvance(m_text))), fontMetrics().height()};
}

QSize DeployElidedLabel::minimumSizeHint() const
{
    const int shortest = fontMetrics().horizontalAdvance(QStringLiteral("M\u2026M"));
    return {m_floor > 0 ? qMin(m_floor, sizeHint().width()) : qMin(shortest, sizeHint().width()),
            fontMetrics().height()};
}

void DeployElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(qColor(m_color));
    painter.drawText(rect(), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, shownText());
}

void DeployElidedLabel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    updateToolTip();
}

void DeployElidedLabel::updateToolTip()
{
    // Only a shortened text needs its whole self on hover.
    NmText::setPlainToolTip(this, shownText() == m_text ? QString() : m_text);
}

// ---- DeployFlowLayout --------------------------------------------------------------------------

DeployFlowLayout::DeployFlowLayout(int spacing, int lineSpacing, QWidget *parent)
    : QLayout(parent), m_spacing(spacing), m_lineSpacing(lineSpacing)
{
    setContentsMargins(0, 0, 0, 0);
}

DeployFlowLayout::~DeployFlowLayout()
{
    while (QLayoutItem *item = takeAt(0))
        delete item;
}

void DeployFlowLayout::addItem(QLayoutItem *item)
{
    m_items.append(item);
    invalidate();
}

QLayoutItem *DeployFlowLayout::itemAt(int index) const
{
    return index >= 0 && index < m_items.size() ? m_items[index] : nullptr;
}

QLayoutItem *DeployFlowLayout::takeAt(int index)
{
    if (index < 0 || index >= m_items.size())
        return nullptr;
    QLayoutItem *item = m_items.takeAt(index);
    invalidate();
    return item;
}

namespace {

bool expandsSideways(const QLayoutItem *item) { return item->expandingDirections() & Qt::Horizontal; }

// The width an item needs on a line: what it asks for, or for an item that
// takes the rest of its line, the least it can live with.
int neededWidth(const QLayoutItem *item)
{
    return expandsSideways(item) ? item->minimumSize().width() : item->sizeHint().width();
}

int itemHeight(const QLayoutItem *item, int width)
{
    return item->hasHeightForWidth() ? item->heightForWidth(width) : item->sizeHint().height();
}

} // namespace

QList<QList<DeployFlowLayout::Placed>> DeployFlowLayout::arrange(const QRect &area) const
{
    const int width = qMax(1, area.width());
    // Which items share a line.
    QList<QList<QLayoutItem *>> lines;
    int used = 0;
    for (QLayoutItem *item : m_items) {
        if (item->isEmpty())
            continue;
        const int need = neededWidth(item);
        if (lines.isEmpty() || used + m_spacing + need > width) {
            lines.append({item});
            used = need;
        } else {
            lines.last().append(item);
            used += m_spacing + need;
        }
    }
    // Their widths and heights on each line.
    QList<QList<Placed>> placed;
    int y = area.top();
    for (const QList<QLayoutItem *> &line : lines) {
        QList<int> widths;
        int taken = m_spacing * int(line.size() - 1);
        int expanding = 0;
        for (QLayoutItem *item : line) {
            widths.append(qMin(neededWidth(item), width));
            taken += widths.last();
            expanding += expandsSideways(item) ? 1 : 0;
        }
        int spare = qMax(0, width - taken);
        for (int i = 0; i < line.size() && expanding > 0; ++i) {
            if (!expandsSideways(line[i]))
                continue;
            const int share = spare / expanding--;
            widths[i] += share;
            spare -= share;
        }
        int lineHeight = 0;
        QList<int> heights;
        for (int i = 0; i < line.size(); ++i) {
            heights.append(itemHeight(line[i], widths[i]));
            lineHeight = qMax(lineHeight, heights.last());
        }
        QList<Placed> row;
        int x = area.left();
        for (int i = 0; i < line.size(); ++i) {
            row.append({line[i], QRect(x, y + (lineHeight - heights[i]) / 2, widths[i], heights[i])});
            x += widths[i] + m_spacing;
        }
        placed.append(row);
        y += lineHeight + m_lineSpacing;
    }
    return placed;
}

int DeployFlowLayout::heightForWidth(int width) const
{
    const QMargins margins = contentsMargins();
    const QList<QList<Placed>> lines =
        arrange(QRect(0, 0, width - margins.left() - margins.right(), 0));
    int bottom = 0;
    for (const QList<Placed> &line : lines)
        for (const Placed &item : line)
            bottom = qMax(bottom, item.rect.bottom() + 1);
    return bottom + margins.top() + margins.bottom();
}

int DeployFlowLayout::lineCount(int width) const
{
    const QMargins margins = contentsMargins();
    return int(arrange(QRect(0, 0, width - margins.left() - margins.right(), 0)).size());
}

QSize DeployFlowLayout::sizeHint() const
{
    // Everything on one line.
    int width = 0;
    int height = 0;
    int shown = 0;
    for (const QLayoutItem *item : m_items) {
        if (item->isEmpty())
            continue;
        width += item->sizeHint().width();
        height = qMax(height, item->sizeHint().height());
        ++shown;
    }
    width += m_spacing * qMax(0, shown - 1);
    const QMargins margins = contentsMargins();
    return {width + margins.left() + margins.right(), height + margins.top() + margins.bottom()};
}

QSize DeployFlowLayout::minimumSize() const
{
    // One item per line, each as narrow as it can be.
    int width = 0;
    int height = 0;
    for (const QLayoutItem *item : m_items) {
        if (item->isEmpty())
            continue;
        width = qMax(width, item->minimumSize().width());
        height = qMax(height, item->minimumSize().height());
    }
    const QMargins margins = contentsMargins();
    return {width + margins.left() + margins.right(), height + margins.top() + margins.bottom()};
}

void DeployFlowLayout::setGeometry(const QRect &rect)
{
    QLayout::setGeometry(rect);
    for (const QList<Placed> &line : arrange(contentsRect()))
        for (const Placed &item : line)
            item.item->setGeometry(item.rect);
}

} // namespace nerim
