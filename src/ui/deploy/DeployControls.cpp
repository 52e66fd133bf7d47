#include "ui/deploy/DeployControls.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/NmIconImage.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
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

} // namespace nerim
