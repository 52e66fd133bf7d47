#include "ui/panes/CodeBlockView.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/Strings.h"
#include "ui/design/SurfaceStyles.h"
#include "ui/design/widgets/NmText.h"
#include "ui/design/widgets/ReducibleAnimation.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QTextFrame>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace nerim {

namespace {

constexpr int outerMargin = 4;
constexpr qreal cornerRadius = 8;
constexpr qreal strokeWidth = 0.75;
constexpr int headerHorizontalPadding = 12;
constexpr int headerVerticalPadding = 6;
constexpr int codeHorizontalPadding = 12;
constexpr int codeVerticalPadding = 10;
constexpr qreal copyIconSize = 10;
constexpr int copySpacing = 4;

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

QColor mix(const QColor &from, const QColor &to, qreal progress)
{
    const auto lerp = [progress](qreal a, qreal b) { return a + (b - a) * progress; };
    return QColor::fromRgbF(float(lerp(from.redF(), to.redF())), float(lerp(from.greenF(), to.greenF())),
                            float(lerp(from.blueF(), to.blueF())), float(lerp(from.alphaF(), to.alphaF())));
}

QColor qColor(const TokenColor &color) { return nerim::qColor(color.rgb, color.opacity); }

} // namespace

// The borderless Copy button: an icon and a word in one colour, the whole
// rectangle clickable. The colour moves between its two states with the quick
// spring (at once under Reduce Motion).
class CodeBlockCopyButton : public QAbstractButton {
public:
    explicit CodeBlockCopyButton(QWidget *parent)
        : QAbstractButton(parent)
    {
        setObjectName(QStringLiteral("copyButton"));
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
        setFont(NmFont::monoSmall());
        NmText::setPlainToolTip(this, Strings::CodeBlock::copyHelp);
        setState(false, false);
    }

    void setState(bool justCopied, bool animated)
    {
        const CodeBlockLook::CopyButton look = CodeBlockLook::copyButton(justCopied);
        m_symbol = look.symbol;
        setText(look.text);
        m_color = qColor(CodeBlockLook::copyButton(false).color);
        m_copiedColor = qColor(CodeBlockLook::copyButton(true).color);
        const qreal target = justCopied ? 1.0 : 0.0;
        if (!animated) {
            ReducibleAnimation::stop(this, "copied");
            m_progress = target;
        } else {
            ReducibleAnimation::animateValue(this, "copied", m_progress, target, NmMotion::quick(), [this](double value) {
                m_progress = value;
                update();
            });
        }
        updateGeometry();
        update();
    }

    QSize sizeHint() const override
    {
        const qreal iconSide = NmIcons::boxSide(copyIconSize);
        const QFontMetricsF metrics(font());
        const qreal width = iconSide + copySpacing + metrics.horizontalAdvance(text());
        const qreal height = std::max(iconSide, metrics.height());
        return QSize(int(std::ceil(width)), int(std::ceil(height)));
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor color = mix(m_color, m_copiedColor, m_progress);
        const qreal iconSide = NmIcons::boxSide(copyIconSize);
        const QRectF iconBox(0, (height() - iconSide) / 2, iconSide, iconSide);
        NmIcons::paint(painter, iconBox, m_symbol, NmSymbolWeight::medium, copyIconSize, color);
        painter.setPen(color);
        painter.setFont(font());
        const QRectF textBox(iconSide + copySpacing, 0, width() - iconSide - copySpacing, height());
        painter.drawText(textBox, Qt::AlignLeft | Qt::AlignVCenter, text());
    }

private:
    QString m_symbol;
    QColor m_color;
    QColor m_copiedColor;
    qreal m_progress = 0;
};

CodeBlockView::CodeBlockView(std::optional<QString> language, QString source, bool closed, QWidget *parent)
    : QWidget(parent)
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, outerMargin, 0, outerMargin);
    outer->setSpacing(0);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(headerHorizontalPadding, headerVerticalPadding, headerHorizontalPadding,
                               headerVerticalPadding);
    header->setSpacing(8);
    m_languageLabel = new QLabel(this);
    m_languageLabel->setObjectName(QStringLiteral("languageLabel"));
    m_languageLabel->setFont(NmFont::monoSmall());
    setTextColor(m_languageLabel, nerim::qColor(NmColor::inkTertiary));
    m_streamingBadge = new QLabel(this);
    m_streamingBadge->setObjectName(QStringLiteral("streamingBadge"));
    m_streamingBadge->setFont(NmFont::monoSmall());
    setTextColor(m_streamingBadge, nerim::qColor(NmColor::inkTertiary, 0.7));
    NmText::setPlainText(m_streamingBadge, Strings::CodeBlock::streaming);
    m_copyButton = new CodeBlockCopyButton(this);
    connect(m_copyButton, &QAbstractButton::clicked, this, &CodeBlockView::copyToPasteboard);
    header->addWidget(m_languageLabel);
    header->addWidget(m_streamingBadge);
    header->addStretch(1);
    header->addWidget(m_copyButton);
    outer->addLayout(header);

    // The divider is painted by the view (paintEvent) over this one-point strip.
    m_divider = new QWidget(this);
    m_divider->setObjectName(QStringLiteral("divider"));
    m_divider->setFixedHeight(1);
    outer->addWidget(m_divider);

    m_code = new QTextEdit(this);
    m_code->setObjectName(QStringLiteral("code"));
    m_code->setReadOnly(true);
    // Selectable with the mouse; a click never takes the keyboard from the
    // prompt field (copying goes through the Copy button or the menu).
    m_code->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_code->setFocusPolicy(Qt::NoFocus);
    m_code->setLineWrapMode(QTextEdit::NoWrap);
    m_code->setFrameShape(QFrame::NoFrame);
    m_code->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_code->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_code->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_code->setMinimumWidth(0);
    m_code->setContextMenuPolicy(Qt::DefaultContextMenu);
    m_code->viewport()->setAutoFillBackground(false);
    m_code->viewport()->setCursor(Qt::IBeamCursor);
    QPalette codePalette = m_code->palette();
    codePalette.setColor(QPalette::Base, Qt::transparent);
    codePalette.setColor(QPalette::Text, nerim::qColor(NmColor::ink));
    m_code->setPalette(codePalette);
    m_code->document()->setUndoRedoEnabled(false);
    m_code->document()->setDefaultFont(NmFont::mono());
    // A slim scroll indicator that stays clear of the rounded corners.
    m_code->horizontalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:horizontal { height: 8px; background: transparent; margin: 0 %1px 2px %1px; }"
                       "QScrollBar::handle:horizontal { background: %2; border-radius: 3px; min-width: 24px;"
                       " margin: 1px 0; }"
                       "QScrollBar::add-line, QScrollBar::sub-line { width: 0; }"
                       "QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }")
            .arg(int(cornerRadius))
            .arg(nerim::qColor(NmColor::ink, 0.25).name(QColor::HexArgb)));
    m_code->installEventFilter(this);
    outer->addWidget(m_code);

    m_copyReset = new QTimer(this);
    m_copyReset->setObjectName(QStringLiteral("copyResetTimer"));
    m_copyReset->setSingleShot(true);
    m_copyReset->setInterval(std::chrono::seconds(1));
    connect(m_copyReset, &QTimer::timeout, this, [this] { setJustCopied(false); });

    setBlock(std::move(language), std::move(source), closed);
}

void CodeBlockView::setBlock(std::optional<QString> language, QString source, bool closed)
{
    // The text is shown with CR LF as one line break (a text document would
    // count the pair as one character); Copy hands out the source as received.
    QString shown = source;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    const bool languageChanged = language != m_language;
    m_language = std::move(language);
    m_source = std::move(source);
    NmText::setPlainText(m_languageLabel, CodeBlockLook::displayLanguage(m_language));
    setClosed(closed);

    if (!m_codeShown || languageChanged) {
        m_shownText = shown;
        showCode(shown, 0, true);
    } else if (shown != m_shownText) {
        // Highlighting never reaches across a line break, so a block that only
        // grew is redone from the start of its last line.
        if (shown.startsWith(m_shownText)) {
            const qsizetype from = m_shownText.lastIndexOf(u'\n') + 1;
            m_shownText = shown;
            showCode(m_shownText.mid(from), from, false);
        } else {
            m_shownText = shown;
            showCode(shown, 0, true);
        }
    }
    m_codeShown = true;
}

void CodeBlockView::setClosed(bool closed)
{
    m_closed = closed;
    m_streamingBadge->setVisible(!m_closed);
}

void CodeBlockView::appendSource(QStringView more, bool closed)
{
    // A line feed that completes a carriage return changes what is shown
    // before it: that takes the whole block again.
    if (!m_codeShown || (m_source.endsWith(u'\r') && more.startsWith(u'\n'))) {
        setBlock(m_language, m_source + more.toString(), closed);
        return;
    }
    setClosed(closed);
    if (more.isEmpty())
        return;
    m_source += more;
    QString shown = more.toString();
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    const qsizetype from = m_shownText.lastIndexOf(u'\n') + 1;
    m_shownText += shown;
    showCode(m_shownText.mid(from), from, false);
}

void CodeBlockView::setCopyResetInterval(std::chrono::milliseconds interval) { m_copyReset->setInterval(interval); }

void CodeBlockView::copyToPasteboard()
{
    QGuiApplication::clipboard()->setText(m_source, QClipboard::Clipboard);
    // Starting the timer again drops a reset still pending from an earlier copy.
    m_copyReset->start();
    setJustCopied(true);
}

void CodeBlockView::setJustCopied(bool justCopied)
{
    if (m_justCopied == justCopied)
        return;
    m_justCopied = justCopied;
    m_copyButton->setState(justCopied, true);
    emit justCopiedChanged(justCopied);
}

namespace {

// How many of a block's newest lines keep their shaped glyphs.
constexpr int kShapedLines = 256;

} // namespace

void CodeBlockView::showCode(const QString &tail, qsizetype from, bool rebuild)
{
    QTextDocument *document = m_code->document();
    // The reader's place stays: the sideways scroll and any selection.
    const int scroll = m_codeShown ? m_code->horizontalScrollBar()->value() : 0;
    const QTextCursor previous = m_code->textCursor();
    const int anchor = previous.anchor();
    const int position = previous.position();

    QTextCursor cursor(document);
    QTextCharFormat plain;
    plain.setForeground(nerim::qColor(NmColor::ink));
    if (rebuild) {
        document->clear();
        // The padding around the code scrolls with it.
        document->setDocumentMargin(0);
        QTextFrameFormat frame = document->rootFrame()->frameFormat();
        frame.setLeftMargin(codeHorizontalPadding);
        frame.setRightMargin(codeHorizontalPadding);
        frame.setTopMargin(codeVerticalPadding);
        frame.setBottomMargin(codeVerticalPadding);
        document->rootFrame()->setFrameFormat(frame);
        cursor = QTextCursor(document);
    } else {
        cursor.setPosition(int(from));
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }

    // The text goes in piece by piece with its colour; nothing of it is ever
    // read as markup.
    cursor.beginEditBlock();
    QTextCharFormat tones[2];
    tones[int(CodeBlockLook::Tone::string)].setForeground(qColor(CodeBlockLook::toneColor(CodeBlockLook::Tone::string)));
    tones[int(CodeBlockLook::Tone::comment)].setForeground(
        qColor(CodeBlockLook::toneColor(CodeBlockLook::Tone::comment)));
    const QStringView text(tail);
    qsizetype done = 0;
    for (const CodeBlockLook::Range &range : CodeBlockLook::highlightRanges(tail, m_language)) {
        if (range.start > done)
            cursor.insertText(text.sliced(done, range.start - done).toString(), plain);
        cursor.insertText(text.sliced(range.start, range.length).toString(), tones[int(range.tone)]);
        done = range.start + range.length;
    }
    if (done < text.size())
        cursor.insertText(text.sliced(done).toString(), plain);
    // The layout takes up a new frame format only when the text changes: an
    // empty block gets (and loses) a character to be laid out with its padding.
    if (rebuild && tail.isEmpty()) {
        cursor.insertText(QStringLiteral(" "), plain);
        cursor.deletePreviousChar();
    }
    cursor.endEditBlock();
    // The newest lines' layouts keep their shaped glyphs: the transcript
    // repaints the block whenever it scrolls (each new line, while it
    // follows), and shaping the lines in view again each time costs more
    // than the rest. Shaped glyphs take tens of bytes a character, so only
    // the newest lines keep them; a line that leaves them is laid out again
    // without.
    if (rebuild)
        m_firstShapedLine = 0;
    const int firstShaped = std::max(0, document->lastBlock().blockNumber() + 1 - kShapedLines);
    for (QTextBlock block = document->findBlockByNumber(m_firstShapedLine);
         block.isValid() && block.blockNumber() < firstShaped; block = block.next()) {
        if (block.layout()->cacheEnabled()) {
            block.layout()->setCacheEnabled(false);
            document->markContentsDirty(block.position(), block.length());
        }
    }
    m_firstShapedLine = firstShaped;
    for (QTextBlock block = document->findBlockByNumber(std::max(firstShaped, document->findBlock(int(from)).blockNumber()));
         block.isValid(); block = block.next())
        block.layout()->setCacheEnabled(true);

    QTextCursor restored(document);
    const int end = int(document->characterCount()) - 1;
    restored.setPosition(std::min(anchor, end));
    restored.setPosition(std::min(position, end), QTextCursor::KeepAnchor);
    m_code->setTextCursor(restored);
    fitCodeHeight();
    m_code->horizontalScrollBar()->setValue(scroll);
}

// The code area is as tall as its lines (plus the scroll indicator when the
// widest line does not fit); only sideways does it scroll.
void CodeBlockView::fitCodeHeight()
{
    QTextDocument *document = m_code->document();
    const QSizeF size = document->size();
    const bool scrolls = size.width() > m_code->width() + 0.5;
    const int indicator = scrolls ? m_code->horizontalScrollBar()->sizeHint().height() : 0;
    const int height = int(std::ceil(size.height())) + indicator;
    if (m_code->height() != height || m_code->minimumHeight() != height)
        m_code->setFixedHeight(height);
}

bool CodeBlockView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_code && event->type() == QEvent::Resize)
        fitCodeHeight();
    return QWidget::eventFilter(watched, event);
}

void CodeBlockView::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QRectF box = QRectF(rect()).adjusted(0, outerMargin, 0, -outerMargin);
    // A long block shows a small part of its box: the box is drawn from just
    // above that part to just below it (a corner out of sight stays out of
    // it), so that drawing costs what is seen, not the block's length.
    const qreal slack = cornerRadius + strokeWidth + 2;
    // (Drawn through a pane's effect, the event asks for the whole block:
    // what the transcript's scrolling leaves visible bounds it.)
    const QRectF exposed(event->rect() & visibleRegion().boundingRect());
    box.setTop(std::max(box.top(), exposed.top() - slack));
    box.setBottom(std::min(box.bottom(), exposed.bottom() + slack));
    if (box.height() <= 0)
        return;
    // Drawn from a small image of the box, its straight middle stretched.
    NmSurfaceLook look;
    look.shape = NmShape::roundedRect(cornerRadius);
    look.material = Qt::transparent;
    look.fill = nerim::qColor(NmColor::paperShade);
    look.strokeWidth = strokeWidth;
    look.stroke = nerim::qColor(NmColor::hairline, 0.4);
    SurfaceStyles::paintSliced(painter, look, box);
    painter.fillRect(m_divider->geometry(), nerim::qColor(NmColor::hairline, 0.35));
}

} // namespace nerim
