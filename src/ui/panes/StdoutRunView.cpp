#include "ui/panes/StdoutRunView.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/panes/CodeBlockView.h"
#include "ui/panes/MarkdownSegment.h"
#include "ui/panes/MarkdownTextLabel.h"

#include <QVBoxLayout>

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

StdoutRunView::StdoutRunView(const QString &rawText, QWidget *parent)
    : QWidget(parent)
{
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(6);
    setRawText(rawText);
}

void StdoutRunView::setRawText(const QString &rawText)
{
    if (rawText == m_rawText && !m_entries.isEmpty())
        return;
    m_rawText = rawText;
    m_segmenter.reset(m_rawText);
    showSegments(0, false);
}

void StdoutRunView::appendRawText(QStringView more)
{
    if (more.isEmpty())
        return;
    const qsizetype before = m_segmenter.segments().size();
    m_rawText += more;
    if (!m_segmenter.append(more)) {
        m_segmenter.reset(m_rawText);
        showSegments(0, false);
        return;
    }
    // The last segment grew (or closed), and new ones may follow it.
    showSegments(std::max<qsizetype>(0, before - 1), true);
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
            m_layout->addWidget(entry);
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
