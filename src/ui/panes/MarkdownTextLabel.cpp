#include "ui/panes/MarkdownTextLabel.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"

#include <QAbstractTextDocumentLayout>
#include <QAccessibleWidget>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QUrl>
#include <algorithm>
#include <cmath>

namespace nerim {

namespace {

const QString &codeFamily()
{
    static const QString family = Font::make(NmFontSpecs::mono).family();
    return family;
}

QString linkColorName() { return qColor(NmColor::accent).name(); }

// A carriage return goes into the document as an invisible character: the
// document would make a line break of it, and of "\r\n" a single one, and
// its positions must stay those of the shown text (a text that grows keeps
// its start; a "\r" that ends it may be followed by a "\n" later).
constexpr QChar kCarriageReturnShown(0x200B);

QString forDocument(QStringView text)
{
    QString result = text.toString();
    result.replace(u'\r', kCarriageReturnShown);
    return result;
}

// What a screen reader reads of a label: the text as shown, taken when it
// asks (a growing answer does nothing for it per line).
class MarkdownTextAccessible : public QAccessibleWidget {
public:
    explicit MarkdownTextAccessible(MarkdownTextLabel *label)
        : QAccessibleWidget(label, QAccessible::StaticText)
    {
    }
    QString text(QAccessible::Text kind) const override
    {
        const auto *label = static_cast<const MarkdownTextLabel *>(widget());
        if (kind == QAccessible::Name && label->accessibleName().isEmpty())
            return label->shownText();
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface *markdownTextAccessible(const QString &, QObject *object)
{
    if (auto *label = qobject_cast<MarkdownTextLabel *>(object))
        return new MarkdownTextAccessible(label);
    return nullptr;
}

} // namespace

MarkdownTextLabel::MarkdownTextLabel(QWidget *parent)
    : QWidget(parent)
{
    static const bool accessible = (QAccessible::installFactory(&markdownTextAccessible), true);
    Q_UNUSED(accessible);
    // Selecting with the mouse leaves the keyboard in the prompt field.
    setFocusPolicy(Qt::NoFocus);
    setMouseTracking(true);
    setCursor(Qt::IBeamCursor);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    m_document.setUndoRedoEnabled(false);
    m_document.setDocumentMargin(0);
    m_document.setDefaultFont(font());
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_document.setDefaultTextOption(option);
    connect(this, &MarkdownTextLabel::linkActivated, this, [](const QString &link) {
        if (isOpenableLink(link))
            QDesktopServices::openUrl(QUrl(link, QUrl::TolerantMode));
    });
}

QString MarkdownTextLabel::text() const
{
    return inlineMarkdownRichText(m_shown, InlineMarkdownStyle{codeFamily(), linkColorName()});
}

void MarkdownTextLabel::setMarkdown(const QString &text)
{
    if (text == m_markdown && !m_document.isEmpty())
        return;
    m_markdown = text;
    readFrom(0, 0, 0, 0);
}

bool MarkdownTextLabel::setShown(InlineMarkdown shown)
{
    if (shown == m_shown && !m_document.isEmpty())
        return false;
    m_markdown = shown.text;
    m_lastParagraph = m_lastParagraphShown = m_lastParagraphSpans = 0;
    showFrom(0, 0, std::move(shown));
    return true;
}

void MarkdownTextLabel::appendMarkdown(QStringView more)
{
    if (more.isEmpty() && !m_document.isEmpty())
        return;
    const qsizetype before = m_markdown.size();
    m_markdown += more;
    // The line that was last may be a blank one now that it has ended.
    const qsizetype lastLine = before == 0 ? 0 : m_markdown.lastIndexOf(u'\n', before - 1) + 1;
    readFrom(m_lastParagraph, m_lastParagraphShown, m_lastParagraphSpans, std::max(lastLine, m_lastParagraph));
}

void MarkdownTextLabel::readFrom(qsizetype from, qsizetype shownFrom, qsizetype spansFrom, qsizetype scanFrom)
{
    // The last blank line (white space only, with its line break) from
    // `scanFrom` on ends the paragraphs before the last one.
    qsizetype last = from;
    const QStringView text(m_markdown);
    for (qsizetype lineStart = scanFrom; lineStart < text.size();) {
        const qsizetype lineEnd = text.indexOf(u'\n', lineStart);
        if (lineEnd < 0)
            break;
        bool blank = true;
        for (qsizetype i = lineStart; blank && i < lineEnd; ++i)
            blank = text[i] == u' ' || text[i] == u'\t' || text[i] == u'\r';
        if (blank)
            last = lineEnd + 1;
        lineStart = lineEnd + 1;
    }
    // Read apart, the paragraphs before the last one and the last one read
    // as the whole text does: nothing reaches across a blank line.
    InlineMarkdown read = last > from ? inlineMarkdownText(text.sliced(from, last - from).toString()) : InlineMarkdown{};
    const qsizetype lastShown = read.text.size();
    const qsizetype lastSpans = read.spans.size();
    InlineMarkdown lastParagraph = inlineMarkdownText(text.sliced(last).toString());
    for (InlineMarkdown::Span &span : lastParagraph.spans) {
        span.start += lastShown;
        read.spans.append(std::move(span));
    }
    read.text += lastParagraph.text;
    showFrom(shownFrom, spansFrom, std::move(read));
    m_lastParagraph = last;
    m_lastParagraphShown = shownFrom + lastShown;
    m_lastParagraphSpans = spansFrom + lastSpans;
}

void MarkdownTextLabel::showFrom(qsizetype shownFrom, qsizetype spansFrom, InlineMarkdown tail)
{
    for (InlineMarkdown::Span &span : tail.spans)
        span.start += shownFrom;
    // The document keeps what reads as before: the common start of the two
    // texts, up to the first stretch whose style differs.
    const QStringView before = QStringView(m_shown.text).sliced(shownFrom);
    const QStringView after(tail.text);
    qsizetype same = shownFrom
        + (std::mismatch(before.cbegin(), before.cbegin() + std::min(before.size(), after.size()), after.cbegin()).first
           - before.cbegin());
    const QList<InlineMarkdown::Span> &was = m_shown.spans;
    const QList<InlineMarkdown::Span> &now = tail.spans;
    const qsizetype wasCount = was.size() - spansFrom;
    for (qsizetype i = 0; i < std::max(wasCount, now.size()); ++i) {
        if (i < wasCount && i < now.size() && was[spansFrom + i] == now[i])
            continue;
        if (i < wasCount)
            same = std::min(same, was[spansFrom + i].start);
        if (i < now.size())
            same = std::min(same, now[i].start);
        break;
    }
    // A document never starts empty of blocks: refill it whole the first time.
    if (m_document.isEmpty())
        same = 0;
    m_shown.text.truncate(shownFrom);
    m_shown.text += tail.text;
    m_shown.spans.resize(spansFrom);
    m_shown.spans.append(std::move(tail.spans));
    if (same == 0)
        ++m_fullLayouts;
    fill(same);
    m_selectionAnchor = std::min(m_selectionAnchor, int(same));
    m_selectionPosition = std::min(m_selectionPosition, int(same));
    updateGeometry();
    update();
}

void MarkdownTextLabel::fill(qsizetype from)
{
    QTextCursor cursor(&m_document);
    cursor.beginEditBlock();
    cursor.setPosition(int(from));
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    if (cursor.hasSelection())
        cursor.removeSelectedText();

    QTextCharFormat plain;
    plain.setForeground(palette().color(QPalette::WindowText));
    const auto styled = [&](const InlineMarkdown::Span &span) {
        QTextCharFormat format = plain;
        if (span.styles & InlineMarkdown::strong)
            format.setFontWeight(QFont::Bold);
        if (span.styles & InlineMarkdown::emphasis)
            format.setFontItalic(true);
        if (span.styles & InlineMarkdown::strikethrough)
            format.setFontStrikeOut(true);
        if (span.styles & InlineMarkdown::code)
            format.setFontFamilies({codeFamily()});
        if (!span.link.isEmpty() && isOpenableLink(span.link)) {
            format.setAnchor(true);
            format.setAnchorHref(span.link);
            format.setForeground(qColor(NmColor::accent));
            format.setFontUnderline(true);
        }
        return format;
    };
    const QString &text = m_shown.text;
    const QStringView view(text);
    qsizetype at = from;
    for (const InlineMarkdown::Span &span : m_shown.spans) {
        const qsizetype end = span.start + span.length;
        if (end <= at)
            continue;
        if (span.start > at)
            cursor.insertText(forDocument(view.sliced(at, span.start - at)), plain);
        const qsizetype start = std::max(at, span.start);
        cursor.insertText(forDocument(view.sliced(start, end - start)), styled(span));
        at = end;
    }
    if (at < text.size())
        cursor.insertText(forDocument(view.sliced(at)), plain);
    // A block's layout keeps its shaped glyphs: the transcript repaints its
    // rows whenever it scrolls, and shaping the text again would cost more
    // than laying it out. Kept from the first layout on (the one the end of
    // the edit does), so that a new line is shaped once, not again when it
    // is first painted.
    for (QTextBlock block = m_document.findBlock(int(from)); block.isValid(); block = block.next())
        block.layout()->setCacheEnabled(true);
    cursor.endEditBlock();
}

void MarkdownTextLabel::layOutAt(int width) const
{
    width = std::max(width, 1);
    if (width == m_layoutWidth)
        return;
    m_layoutWidth = width;
    ++m_fullLayouts;
    m_document.setTextWidth(width);
}

int MarkdownTextLabel::heightForWidth(int width) const
{
    layOutAt(width);
    return int(std::ceil(m_document.size().height()));
}

QSize MarkdownTextLabel::sizeHint() const
{
    // Only the height for a width means anything for wrapped text: the hint
    // is the size last laid out, or one line.
    if (m_layoutWidth > 0)
        return {m_layoutWidth, int(std::ceil(m_document.size().height()))};
    return {fontMetrics().averageCharWidth() * 40, fontMetrics().height()};
}

QSize MarkdownTextLabel::minimumSizeHint() const { return {0, fontMetrics().height()}; }

void MarkdownTextLabel::paintEvent(QPaintEvent *event)
{
    layOutAt(width());
    QPainter painter(this);
    QAbstractTextDocumentLayout::PaintContext context;
    context.palette = palette();
    context.clip = QRectF(event->rect());
    if (hasSelectedText()) {
        QAbstractTextDocumentLayout::Selection selection;
        selection.cursor = QTextCursor(&m_document);
        selection.cursor.setPosition(m_selectionAnchor);
        selection.cursor.setPosition(m_selectionPosition, QTextCursor::KeepAnchor);
        selection.format.setBackground(palette().brush(QPalette::Highlight));
        selection.format.setForeground(palette().brush(QPalette::HighlightedText));
        context.selections.append(selection);
    }
    m_document.documentLayout()->draw(&painter, context);
}

int MarkdownTextLabel::positionAt(const QPointF &point) const
{
    layOutAt(width());
    const int position = m_document.documentLayout()->hitTest(point, Qt::FuzzyHit);
    return position < 0 ? 0 : position;
}

QString MarkdownTextLabel::anchorAt(const QPointF &point) const
{
    layOutAt(width());
    return m_document.documentLayout()->anchorAt(point);
}

bool MarkdownTextLabel::hasSelectedText() const { return m_selectionAnchor != m_selectionPosition; }

QString MarkdownTextLabel::selectedText() const
{
    QTextCursor cursor(&m_document);
    cursor.setPosition(m_selectionAnchor);
    cursor.setPosition(m_selectionPosition, QTextCursor::KeepAnchor);
    QString text = cursor.selectedText();
    text.replace(kCarriageReturnShown, u'\r');
    text.replace(QChar::ParagraphSeparator, u'\n');
    text.replace(QChar::LineSeparator, u'\n');
    return text;
}

void MarkdownTextLabel::selectAll()
{
    m_selectionAnchor = 0;
    m_selectionPosition = m_document.characterCount() - 1;
    update();
}

void MarkdownTextLabel::copySelectionTo(int mode) const
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    const auto where = QClipboard::Mode(mode);
    if (!hasSelectedText() || (where == QClipboard::Selection && !clipboard->supportsSelection()))
        return;
    clipboard->setText(selectedText(), where);
}

void MarkdownTextLabel::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_pressedLink = anchorAt(event->position());
    m_selectionAnchor = m_selectionPosition = positionAt(event->position());
    m_selecting = true;
    update();
    event->accept();
}

void MarkdownTextLabel::mouseMoveEvent(QMouseEvent *event)
{
    const bool overLink = !anchorAt(event->position()).isEmpty();
    setCursor(overLink ? Qt::PointingHandCursor : Qt::IBeamCursor);
    if (m_selecting && (event->buttons() & Qt::LeftButton)) {
        const int position = positionAt(event->position());
        if (position != m_selectionPosition) {
            m_selectionPosition = position;
            update();
        }
    }
    event->accept();
}

void MarkdownTextLabel::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_selecting) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    m_selecting = false;
    const QString link = std::exchange(m_pressedLink, QString());
    if (!link.isEmpty() && !hasSelectedText() && anchorAt(event->position()) == link)
        emit linkActivated(link);
    copySelectionTo(QClipboard::Selection);
    event->accept();
}

void MarkdownTextLabel::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseDoubleClickEvent(event);
        return;
    }
    QTextCursor cursor(&m_document);
    cursor.setPosition(positionAt(event->position()));
    cursor.select(QTextCursor::WordUnderCursor);
    m_selectionAnchor = cursor.anchor();
    m_selectionPosition = cursor.position();
    m_selecting = false;
    m_pressedLink.clear();
    update();
    copySelectionTo(QClipboard::Selection);
    event->accept();
}

QMenu *MarkdownTextLabel::buildContextMenu(const QPoint &position, QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("textMenu"));
    const QString link = anchorAt(position);
    if (!link.isEmpty() && isOpenableLink(link)) {
        connect(menu->addAction(QStringLiteral("Copy &Link Location")), &QAction::triggered, this,
                [link] { QGuiApplication::clipboard()->setText(link); });
    }
    QAction *copy = menu->addAction(QStringLiteral("&Copy"));
    copy->setEnabled(hasSelectedText());
    connect(copy, &QAction::triggered, this, [this] { copySelectionTo(QClipboard::Clipboard); });
    menu->addSeparator();
    connect(menu->addAction(QStringLiteral("Select All")), &QAction::triggered, this, [this] {
        selectAll();
        copySelectionTo(QClipboard::Selection);
    });
    return menu;
}

void MarkdownTextLabel::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = buildContextMenu(event->pos(), this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
    event->accept();
}

void MarkdownTextLabel::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange) {
        m_document.setDefaultFont(font());
        // The colours are the document's own: take the palette's again.
        fill(0);
        ++m_fullLayouts;
        updateGeometry();
        update();
    }
}

} // namespace nerim
