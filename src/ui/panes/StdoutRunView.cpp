#include "ui/panes/StdoutRunView.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/panes/CodeBlockView.h"
#include "ui/panes/LongLines.h"
#include "ui/panes/OutputLineView.h"
#include "ui/panes/MarkdownSegment.h"
#include "ui/panes/MarkdownTextLabel.h"

#include <QAbstractButton>
#include <QVBoxLayout>
#include <utility>

namespace nerim {

namespace {

MarkdownTextLabel *proseLabel(QWidget *parent)
{
    auto *label = new MarkdownTextLabel(parent);
    label->setObjectName(QStringLiteral("prose"));
    label->setFont(Font::make(NmFontSpecs::body));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, qColor(NmColor::ink));
    label->setPalette(palette);
    return label;
}

} // namespace

StdoutRunView::StdoutRunView(const QString &rawText, QWidget *parent, int slices)
    : QWidget(parent)
    , m_slices(std::max(1, slices))
{
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(6);
    setRawText(rawText);
}

StdoutRunView::StdoutRunView(const QString &rawText, InlineMarkdown shown, QWidget *parent)
    : QWidget(parent)
{
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(6);
    MarkdownTextLabel *label = proseLabel(this);
    m_layout->addWidget(label);
    m_entries.append(label);
    showPart(rawText, std::move(shown));
}

bool StdoutRunView::showPart(const QString &rawText, InlineMarkdown shown)
{
    m_rawText = rawText;
    m_shownText = shown.text;
    auto *label = qobject_cast<MarkdownTextLabel *>(m_entries.value(0));
    return label && label->setShown(std::move(shown));
}

void StdoutRunView::setRawText(const QString &rawText)
{
    if (rawText == m_rawText && !m_entries.isEmpty())
        return;
    m_rawText = rawText;
    LongLines::Elided elided = LongLines::elide(m_rawText, m_slices);
    m_hidden = elided.hidden;
    m_shownText = std::move(elided.text);
    m_segmenter.reset(m_shownText);
    showSegments(0, false);
    updateShowMore();
}

void StdoutRunView::appendRawText(QStringView more)
{
    if (more.isEmpty())
        return;
    const qsizetype before = m_segmenter.segments().size();
    // Only the last line can change (it may go on) and lines may follow it:
    // the lines before it are shown as they were, cut or not.
    const qsizetype lastLine = m_rawText.lastIndexOf(u'\n') + 1;
    const qsizetype shownLastLine = m_shownText.lastIndexOf(u'\n') + 1;
    const qsizetype lastLineHidden = (m_rawText.size() - lastLine) - (m_shownText.size() - shownLastLine);
    m_rawText += more;
    QStringView shownMore = more;
    QString cutMore;
    if (m_hidden > 0 || LongLines::longestLine(QStringView(m_rawText).sliced(lastLine))
                            > qsizetype(m_slices) * LongLines::sliceLength) {
        // A line too long to show whole: the last line and the new ones are
        // cut again (not the whole run).
        LongLines::Elided tail = LongLines::elide(QStringView(m_rawText).sliced(lastLine), m_slices);
        const QStringView shownTail = QStringView(m_shownText).sliced(shownLastLine);
        const qsizetype hidden = m_hidden - lastLineHidden + tail.hidden;
        if (!QStringView(tail.text).startsWith(shownTail)) {
            // The last line's shown part changed (it is cut now): shown anew.
            m_hidden = hidden;
            m_shownText.truncate(shownLastLine);
            m_shownText += tail.text;
            m_segmenter.reset(m_shownText);
            showSegments(0, false);
            updateShowMore();
            return;
        }
        const bool hiddenBefore = m_hidden > 0;
        m_hidden = hidden;
        cutMore = std::move(tail.text);
        shownMore = QStringView(cutMore).sliced(shownTail.size());
        if (!hiddenBefore && m_hidden > 0)
            updateShowMore();
        if (shownMore.isEmpty())
            return;
    }
    m_shownText += shownMore;
    if (!m_segmenter.append(shownMore)) {
        m_segmenter.reset(m_shownText);
        showSegments(0, false);
        return;
    }
    // The last segment grew (or closed), and new ones may follow it.
    showSegments(std::max<qsizetype>(0, before - 1), true);
}

void StdoutRunView::updateShowMore()
{
    if (m_hidden == 0) {
        if (m_showMore)
            m_showMore->hide();
        return;
    }
    if (!m_showMore) {
        m_showMore = OutputLineView::makeShowMoreButton(this);
        connect(static_cast<QAbstractButton *>(m_showMore), &QAbstractButton::clicked, this,
                &StdoutRunView::showMoreRequested);
    }
    // Always under the last entry.
    m_layout->removeWidget(m_showMore);
    m_layout->addWidget(m_showMore, 0, Qt::AlignLeft);
    m_showMore->show();
}

void StdoutRunView::showSegments(qsizetype first, bool grown)
{
    const QList<MarkdownSegment> &segments = m_segmenter.segments();
    for (qsizetype i = first; i < segments.size(); ++i) {
        QWidget *existing = i < m_entries.size() ? m_entries[i] : nullptr;
        QWidget *entry = nullptr;
        if (const auto *prose = segments[i].asProse()) {
            auto *label = qobject_cast<MarkdownTextLabel *>(existing);
            if (!label)
                label = proseLabel(this);
            // Lines added to prose it shows: only the new part is read.
            if (grown && !label->markdown().isEmpty() && QStringView(prose->text).startsWith(label->markdown()))
                label->appendMarkdown(QStringView(prose->text).sliced(label->markdown().size()));
            else
                label->setMarkdown(prose->text);
            entry = label;
        } else {
            const auto *code = segments[i].asCode();
            auto *block = qobject_cast<CodeBlockView *>(existing);
            if (block && grown && block->language() == code->language && block->source().size() <= code->body.size())
                block->appendSource(QStringView(code->body).sliced(block->source().size()), code->closed);
            else if (block)
                block->setBlock(code->language, code->body, code->closed);
            else
                block = new CodeBlockView(code->language, code->body, code->closed, this);
            entry = block;
        }
        if (entry == existing)
            continue;
        if (existing) {
            m_layout->replaceWidget(existing, entry);
            existing->deleteLater();
            existing->hide();
            m_entries[i] = entry;
        } else {
            m_layout->insertWidget(int(m_entries.size()), entry);
            m_entries.append(entry);
        }
    }
    while (m_entries.size() > segments.size()) {
        QWidget *extra = m_entries.takeLast();
        m_layout->removeWidget(extra);
        extra->hide();
        extra->deleteLater();
    }
}

} // namespace nerim
