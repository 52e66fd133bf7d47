#include "ui/panels/PanelWidgets.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/widgets/NmKeyboardButton.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PlansPanelLook.h"
#include "ui/panes/InlineMarkdown.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextBlock>
#include <QVBoxLayout>

namespace nerim {

bool isPlanLinkOpenable(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
           && !url.host().isEmpty();
}

// ---- PanelIconButton ---------------------------------------------------------------------

PanelIconButton::PanelIconButton(QString symbol, qreal pointSize, NmSymbolWeight weight, QColor color, int side,
                                 QWidget *parent)
    : QAbstractButton(parent)
    , m_symbol(std::move(symbol))
    , m_pointSize(pointSize)
    , m_weight(weight)
    , m_color(color)
    , m_disabledColor(color.red(), color.green(), color.blue(), color.alpha() / 2)
    , m_side(side)
{
    setFixedSize(side, side);
    setCursor(Qt::PointingHandCursor);
    NmKeyboardButton::enable(this);
}

void PanelIconButton::setSymbol(const QString &symbol)
{
    if (symbol == m_symbol)
        return;
    m_symbol = symbol;
    update();
}

void PanelIconButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    NmIcons::paint(painter, QRectF(rect()), m_symbol, m_weight, m_pointSize,
                   isEnabled() ? m_color : m_disabledColor);
}

// ---- CapsuleButton -----------------------------------------------------------------------

CapsuleButton::CapsuleButton(const QString &text, Look look, QWidget *parent)
    : QAbstractButton(parent)
    , m_look(std::move(look))
{
    setText(text);
    setFont(m_look.font);
    setCursor(Qt::PointingHandCursor);
    NmKeyboardButton::enable(this);
}

QSize CapsuleButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    int width = metrics.horizontalAdvance(text()) + 2 * m_look.paddingX;
    if (!m_look.symbol.isEmpty())
        width += int(NmIcons::boxSide(m_look.symbolSize)) + 5;
    return {width, metrics.height() + 2 * m_look.paddingY};
}

void CapsuleButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = box.height() / 2;
    painter.setPen(m_look.stroke.alpha() ? QPen(m_look.stroke, 0.5) : Qt::NoPen);
    painter.setBrush(isEnabled() || !m_look.disabledFill.isValid() ? m_look.fill : m_look.disabledFill);
    painter.drawRoundedRect(box, radius, radius);
    const QFontMetrics metrics(font());
    const int textWidth = metrics.horizontalAdvance(text());
    const qreal iconSide = m_look.symbol.isEmpty() ? 0 : NmIcons::boxSide(m_look.symbolSize);
    const qreal gap = m_look.symbol.isEmpty() ? 0 : 5;
    qreal x = (width() - (textWidth + iconSide + gap)) / 2;
    const QRectF iconBox(0, (height() - iconSide) / 2, iconSide, iconSide);
    painter.setPen(m_look.text);
    if (!m_look.symbol.isEmpty() && !m_look.symbolTrailing) {
        NmIcons::paint(painter, iconBox.translated(x, 0), m_look.symbol, m_look.symbolWeight, m_look.symbolSize,
                       m_look.text);
        x += iconSide + gap;
    }
    painter.drawText(QRectF(x, 0, textWidth + 1, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
    x += textWidth + gap;
    if (!m_look.symbol.isEmpty() && m_look.symbolTrailing)
        NmIcons::paint(painter, iconBox.translated(x, 0), m_look.symbol, m_look.symbolWeight, m_look.symbolSize,
                       m_look.text);
}

// ---- MiddleElidedLabel -------------------------------------------------------------------

MiddleElidedLabel::MiddleElidedLabel(const QFont &font, const QColor &color, QWidget *parent)
    : QWidget(parent)
    , m_color(color)
{
    setFont(font);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void MiddleElidedLabel::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

QString MiddleElidedLabel::shownText() const
{
    return fontMetrics().elidedText(m_text, Qt::ElideMiddle, width());
}

QSize MiddleElidedLabel::sizeHint() const
{
    return {fontMetrics().horizontalAdvance(m_text) + 1, fontMetrics().height()};
}

QSize MiddleElidedLabel::minimumSizeHint() const { return {0, fontMetrics().height()}; }

void MiddleElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(m_color);
    painter.drawText(rect(), Qt::AlignVCenter | Qt::AlignRight, shownText());
}

// ---- DraftField --------------------------------------------------------------------------

DraftField::DraftField(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setObjectName(QStringLiteral("draftField"));
    setFont(NmFont::body());
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setTabChangesFocus(true);
    setStyleSheet(QStringLiteral("QPlainTextEdit{background:rgba(255,255,255,15);border:0.5px solid "
                                 "rgba(255,255,255,36);border-radius:8px;padding:6px;}"));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Text, PlansPanelColor::text());
    palette.setColor(QPalette::PlaceholderText, PlansPanelColor::textTertiary());
    palette.setColor(QPalette::Highlight, qColor(NmColor::accent, 0.5));
    palette.setColor(QPalette::Base, Qt::transparent);
    setPalette(palette);
    document()->setDocumentMargin(0);
    connect(this, &QPlainTextEdit::textChanged, this, &DraftField::fitHeight);
    fitHeight();
}

void DraftField::setDraft(const QString &text)
{
    if (toPlainText() == text)
        return;
    setPlainText(text);
    moveCursor(QTextCursor::End);
}

void DraftField::fitHeight()
{
    const int lineHeight = fontMetrics().lineSpacing();
    int lines = 0;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        lines += std::max(1, block.layout() ? block.layout()->lineCount() : 1);
    lines = std::clamp(lines, 1, 4);
    setFixedHeight(lines * lineHeight + 20 + 2);
}

void DraftField::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && !(event->modifiers() & Qt::ShiftModifier)) {
        emit returnPressed();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        insertPlainText(QStringLiteral("\n"));
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
    fitHeight();
}

void DraftField::focusInEvent(QFocusEvent *event)
{
    QPlainTextEdit::focusInEvent(event);
    emit focusChanged(true);
}

void DraftField::focusOutEvent(QFocusEvent *event)
{
    QPlainTextEdit::focusOutEvent(event);
    emit focusChanged(false);
}

// ---- PlanMarkdownView --------------------------------------------------------------------

namespace {

class CodeBox : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        {
            QPainter painter(this);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.06f), 0.5));
            painter.setBrush(QColor::fromRgbF(0, 0, 0, 0.28f));
            painter.drawRoundedRect(QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25), 8, 8);
        }
        QLabel::paintEvent(event);
    }
};

} // namespace

PlanMarkdownView::PlanMarkdownView(const QColor &color, LinkOpener opener, QWidget *parent)
    : QWidget(parent)
    , m_color(color)
    , m_opener(std::move(opener))
{
    setObjectName(QStringLiteral("planMarkdown"));
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(8);
}

void PlanMarkdownView::setContent(const QString &content)
{
    if (content == m_content && m_layout->count() > 0)
        return;
    m_content = content;
    while (QLayoutItem *item = m_layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const InlineMarkdownStyle style{NmFont::monoSmall().family(), qColor(NmColor::accent).name()};
    for (const PlanMarkdown::Block &block : PlanMarkdown::blocks(content)) {
        if (block.kind == PlanMarkdown::Block::Kind::prose) {
            auto *label = new QLabel(this);
            label->setObjectName(QStringLiteral("planParagraph"));
            label->setTextFormat(Qt::RichText);
            label->setFont(NmFont::body());
            label->setWordWrap(true);
            label->setOpenExternalLinks(false);
            label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
            QPalette palette = label->palette();
            palette.setColor(QPalette::WindowText, m_color);
            label->setPalette(palette);
            // Only the escaped text and its spans become markup.
            label->setText(inlineMarkdownRichText(inlineMarkdownText(block.text), style));
            connect(label, &QLabel::linkActivated, this, [this](const QString &link) {
                const QUrl url(link, QUrl::StrictMode);
                if (m_opener && isPlanLinkOpenable(url))
                    m_opener(url);
            });
            m_layout->addWidget(label);
        } else {
            auto *code = new CodeBox(this);
            code->setObjectName(QStringLiteral("planCode"));
            code->setTextFormat(Qt::PlainText);
            code->setText(block.text);
            code->setFont(NmFont::monoSmall());
            code->setWordWrap(false);
            code->setTextInteractionFlags(Qt::TextSelectableByMouse);
            code->setContentsMargins(10, 8, 10, 8);
            code->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            QPalette palette = code->palette();
            palette.setColor(QPalette::WindowText, PlansPanelColor::text());
            code->setPalette(palette);
            m_layout->addWidget(code);
        }
    }
}

// ---- Helpers -----------------------------------------------------------------------------

void makeDarkScrollArea(QScrollArea *area, QWidget *content, Qt::Orientation orientation)
{
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    // A click on a row must not pull keyboard focus away from the draft field.
    area->setFocusPolicy(Qt::NoFocus);
    area->setWidget(content);
    area->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    area->setAttribute(Qt::WA_TranslucentBackground);
    area->setStyleSheet(QStringLiteral("QScrollArea{background:transparent;}"));
    if (orientation == Qt::Horizontal) {
        area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    } else {
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        // A thin light handle on no track: the desktop's light scroll bar
        // would be a bright stripe on the dark panel.
        area->verticalScrollBar()->setStyleSheet(
            QStringLiteral("QScrollBar:vertical { background: transparent; width: 8px; margin: 2px 1px 2px 1px; }"
                           "QScrollBar::handle:vertical { background: rgba(255, 255, 255, 0.24); border-radius: 3px;"
                           " min-height: 24px; }"
                           "QScrollBar::handle:vertical:hover { background: rgba(255, 255, 255, 0.38); }"
                           "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; border: none; }"
                           "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }"));
    }
}

QScrollArea *darkScrollArea(QWidget *content, Qt::Orientation orientation, QWidget *parent)
{
    auto *area = new QScrollArea(parent);
    makeDarkScrollArea(area, content, orientation);
    return area;
}

PanelIconButton *xmarkButton(int side, const QString &help, QWidget *parent)
{
    auto *button =
        new PanelIconButton(QStringLiteral("xmark"), 9, NmSymbolWeight::medium, qColor(NmColor::inkSecondary), side,
                            parent);
    NmText::setPlainToolTip(button, help);
    return button;
}

QWidget *panelDivider(const QColor &color, QWidget *parent)
{
    auto *line = new QWidget(parent);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, color);
    line->setPalette(palette);
    return line;
}

QLabel *plainLabel(const QString &text, const QFont &font, const QColor &color, QWidget *parent, bool wrap)
{
    auto *label = new QLabel(parent);
    label->setFont(font);
    label->setWordWrap(wrap);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    NmText::setPlainText(label, text);
    return label;
}

QLabel *symbolLabel(const QString &symbol, qreal pointSize, NmSymbolWeight weight, const QColor &color,
                    QWidget *parent)
{
    auto *label = new QLabel(parent);
    const qreal side = NmIcons::boxSide(pointSize);
    const qreal dpr = parent ? parent->devicePixelRatioF() : 1.0;
    QImage image = NmIcons::image(symbol, weight, pointSize, color, dpr);
    image.setDevicePixelRatio(dpr);
    label->setPixmap(QPixmap::fromImage(image));
    label->setFixedSize(int(std::ceil(side)), int(std::ceil(side)));
    return label;
}

} // namespace nerim
