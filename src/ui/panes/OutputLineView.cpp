#include "ui/panes/OutputLineView.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panes/LongLines.h"
#include "ui/panes/MarkdownTextLabel.h"
#include "ui/panes/TranscriptLook.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtMath>
#include <array>
#include <map>
#include <tuple>

namespace nerim {

namespace {

QColor qColor(const TokenColor &color) { return nerim::qColor(color.rgb, color.opacity); }

// A line's font, made once per look: making one asks the font database which
// face a generic name stands for, which costs more than the line's layout.
const QFont &lineFont(const NmFontSpec &spec)
{
    static std::map<std::tuple<double, int, bool>, QFont> made;
    const std::tuple<double, int, bool> key{spec.size, int(spec.weight), spec.monospaced};
    auto it = made.find(key);
    if (it == made.end())
        it = made.emplace(key, Font::make(spec)).first;
    return it->second;
}

void applyColors(QWidget *text, const OutputLineLook &look)
{
    text->setFont(lineFont(look.font));
    QPalette palette = text->palette();
    palette.setColor(QPalette::WindowText, qColor(look.color));
    text->setPalette(palette);
}

void applyLook(QLabel *label, const OutputLineLook &look)
{
    applyColors(label, look);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    if (!look.inlineMarkdown)
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Selecting with the mouse leaves the keyboard in the prompt field.
    label->setFocusPolicy(Qt::NoFocus);
}

// A wrapping label that remembers its height for the last widths asked
// for: a label lays its whole text out again for every question, and the
// transcript asks each time a row's layout is looked at again.
class WrapLabel : public QLabel {
public:
    using QLabel::QLabel;

    int heightForWidth(int width) const override
    {
        forgetChangedText();
        for (const auto &[known, height] : m_heights)
            if (known == width)
                return height;
        const int height = QLabel::heightForWidth(width);
        m_heights[m_nextHeight] = {width, height};
        m_nextHeight = (m_nextHeight + 1) % m_heights.size();
        return height;
    }

protected:
    void changeEvent(QEvent *event) override
    {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
            forget();
        QLabel::changeEvent(event);
    }

    // Forgets what it measured when its text is another.
    void forgetChangedText() const
    {
        const QString shown = text();
        if (shown.constData() != m_measuredText || shown.size() != m_measuredLength) {
            forget();
            m_measuredText = shown.constData();
            m_measuredLength = shown.size();
        }
    }
    virtual void forget() const { m_heights.fill({-1, 0}); }

private:
    mutable std::array<std::pair<int, int>, 2> m_heights{{{-1, 0}, {-1, 0}}};
    mutable size_t m_nextHeight = 0;
    mutable const QChar *m_measuredText = nullptr;
    mutable qsizetype m_measuredLength = -1;
};

// A wrapping label that asks for the width of its longest line, so that a
// container hugging it grows to fit the text on one line when there is room
// and wraps it only when there is not.
class HuggingLabel : public WrapLabel {
public:
    using WrapLabel::WrapLabel;

    QSize sizeHint() const override
    {
        forgetChangedText();
        if (m_longest < 0) {
            // Fractional advances, rounded up: the label lays its text out
            // with them, so a width rounded to whole points can be a hair too
            // narrow and wrap the last word.
            const QFontMetricsF metrics(font());
            qreal text = 0;
            for (const QString &line : this->text().split(u'\n'))
                text = std::max(text, metrics.horizontalAdvance(line));
            m_longest = qCeil(text);
        }
        const int width = m_longest + 2 * margin() + 1;
        return QSize(width, heightForWidth(width));
    }

protected:
    void forget() const override
    {
        WrapLabel::forget();
        m_longest = -1;
    }

private:
    mutable int m_longest = -1;
};

// A shape filled in one colour behind or beside a line.
class Decoration : public QWidget {
public:
    Decoration(NmShape shape, QColor color, QWidget *parent)
        : QWidget(parent)
        , m_shape(shape)
        , m_color(std::move(color))
    {
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        NmPainter::fill(painter, m_shape, QRectF(rect()), m_color);
    }

private:
    NmShape m_shape;
    QColor m_color;
};

} // namespace

QWidget *OutputLineView::makeShowMoreButton(QWidget *parent)
{
    auto *button = new QPushButton(QStringLiteral("Show more"), parent);
    button->setObjectName(QStringLiteral("showMore"));
    // The keyboard stays in the prompt field.
    button->setFocusPolicy(Qt::NoFocus);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setFont(NmFont::captionMedium());
    button->setStyleSheet(QStringLiteral("QPushButton { color: %1; border: none; padding: 2px 0; text-align: left; }"
                                         "QPushButton:hover { text-decoration: underline; }")
                              .arg(nerim::qColor(NmColor::accent).name()));
    button->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    return button;
}

OutputLineView::OutputLineView(const OutputLine &line, QWidget *parent, int slices)
    : QWidget(parent)
    , m_line(line)
{
    const OutputLineLook look = outputLineLook(line.kind);
    const int padding = int(look.verticalPadding);
    // A very long line shows its first slices; the rest on request.
    const LongLines::Elided shown = LongLines::elide(line.text, slices);
    m_hidden = shown.hidden;

    QWidget *text = nullptr;
    if (look.inlineMarkdown) {
        auto *markdown = new MarkdownTextLabel(this);
        applyColors(markdown, look);
        markdown->setMarkdown(shown.text);
        text = markdown;
    } else if (look.arrangement == OutputLineLook::Arrangement::capsule) {
        auto *label = new HuggingLabel(this);
        applyLook(label, look);
        NmText::setPlainText(label, shown.text);
        text = label;
    } else {
        auto *label = new WrapLabel(this);
        applyLook(label, look);
        NmText::setPlainText(label, shown.text);
        text = label;
    }
    text->setObjectName(QStringLiteral("lineText"));
    if (m_hidden > 0) {
        // The text and, under it, the control that shows more of it.
        auto *column = new QWidget(this);
        auto *stack = new QVBoxLayout(column);
        stack->setContentsMargins(0, 0, 0, 0);
        stack->setSpacing(4);
        text->setParent(column);
        stack->addWidget(text);
        QWidget *more = makeShowMoreButton(column);
        connect(static_cast<QPushButton *>(more), &QPushButton::clicked, this, &OutputLineView::showMoreRequested);
        stack->addWidget(more, 0, Qt::AlignLeft);
        text = column;
    }

    switch (look.arrangement) {
    case OutputLineLook::Arrangement::text: {
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, padding, 0, padding);
        layout->addWidget(text);
        break;
    }
    case OutputLineLook::Arrangement::promptBar: {
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, padding, 0, padding);
        layout->setSpacing(int(look.spacing));
        auto *bar = new Decoration(NmShape::rect(), qColor(look.decoration), this);
        bar->setObjectName(QStringLiteral("promptBar"));
        bar->setFixedWidth(2);
        bar->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
        layout->addWidget(bar);
        layout->addWidget(text, 1, Qt::AlignTop);
        break;
    }
    case OutputLineLook::Arrangement::capsule: {
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, padding, 0, padding);
        auto *capsule = new Decoration(NmShape::capsule(), qColor(look.decoration), this);
        capsule->setObjectName(QStringLiteral("capsule"));
        auto *inner = new QHBoxLayout(capsule);
        inner->setContentsMargins(int(look.capsuleHorizontalPadding), int(look.capsuleVerticalPadding),
                                  int(look.capsuleHorizontalPadding), int(look.capsuleVerticalPadding));
        inner->setSpacing(int(look.spacing));
        auto *symbol = new QLabel(capsule);
        symbol->setPixmap(QPixmap::fromImage(NmIcons::image(look.symbol, NmSymbolWeight::regular, look.symbolSize,
                                                            qColor(look.symbolColor), devicePixelRatioF())));
        inner->addWidget(symbol, 0, Qt::AlignVCenter);
        text->setParent(capsule);
        inner->addWidget(text, 0, Qt::AlignVCenter);
        capsule->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
        layout->addWidget(capsule);
        layout->addStretch(1);
        break;
    }
    }
}

} // namespace nerim
