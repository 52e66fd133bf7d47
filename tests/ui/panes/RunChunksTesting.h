#pragma once

// What the run chunker's tests share: the chunks' texts, numbered lines, a
// run grown line by line as a view grows it, and whether chunks read alone
// read as the whole text.
#include "ui/panes/InlineMarkdown.h"
#include "ui/panes/RunChunks.h"

#include <QStringList>
#include <algorithm>
#include <gtest/gtest.h>

namespace nerim::run_chunks_testing {

using namespace Qt::StringLiterals;

inline QStringList texts(const QString &text, const QList<RunChunk> &chunks)
{
    QStringList result;
    for (const RunChunk &chunk : chunks)
        result.append(text.mid(chunk.start, chunk.end - chunk.start));
    return result;
}

inline QStringList numbered(const QString &prefix, int count)
{
    QStringList lines;
    for (int i = 1; i <= count; ++i)
        lines.append(prefix + QString::number(i));
    return lines;
}

// The chunks of a run that arrives line by line, kept as a view keeps them:
// each update replaces the chunks from the first one it returns on. Counts
// into `takenBack` the updates that took earlier cuts back.
inline QList<RunChunk> growLineByLine(const QStringList &lines, qsizetype *takenBack = nullptr)
{
    RunChunker chunker;
    QList<RunChunk> grown;
    QString text;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        text += (i ? u"\n"_s : QString()) + lines[i];
        const QList<RunChunk> changed = chunker.update(text);
        if (takenBack && !grown.isEmpty() && changed.first().start < grown.last().start)
            ++*takenBack;
        while (!grown.isEmpty() && grown.last().start >= changed.first().start)
            grown.removeLast();
        grown.append(changed);
    }
    return grown;
}

// Each chunk's inline Markdown, read alone, joined with the line breaks
// between chunks: what the transcript shows of a run without code blocks.
inline InlineMarkdown readInChunks(const QString &text, const QList<RunChunk> &chunks)
{
    InlineMarkdown joined;
    for (const RunChunk &chunk : chunks) {
        if (!joined.text.isEmpty() || chunk.start > 0)
            joined.text += u'\n';
        InlineMarkdown part = inlineMarkdownText(text.mid(chunk.start, chunk.end - chunk.start));
        for (InlineMarkdown::Span &span : part.spans) {
            span.start += joined.text.size();
            if (!joined.spans.isEmpty() && joined.spans.last().start + joined.spans.last().length == span.start
                && joined.spans.last().styles == span.styles && joined.spans.last().link == span.link)
                joined.spans.last().length += span.length;
            else
                joined.spans.append(span);
        }
        joined.text += part.text;
    }
    return joined;
}

// Whether the chunks, each read alone, read as the whole text: the same
// characters and the same styled and linked stretches.
inline ::testing::AssertionResult readsAsWhole(const QString &text, const QList<RunChunk> &chunks)
{
    const InlineMarkdown whole = inlineMarkdownText(text);
    const InlineMarkdown parts = readInChunks(text, chunks);
    if (parts == whole)
        return ::testing::AssertionSuccess();
    qsizetype at = 0;
    while (at < std::min(parts.text.size(), whole.text.size()) && parts.text[at] == whole.text[at])
        ++at;
    auto failure = ::testing::AssertionFailure();
    failure << "the chunks read differently";
    if (at < std::max(parts.text.size(), whole.text.size()))
        failure << " from character " << at << ": \"" << whole.text.mid(at, 60).toStdString() << "\" read whole, \""
                << parts.text.mid(at, 60).toStdString() << "\" in chunks";
    failure << "\ntext: \"" << text.toStdString() << "\"\ncuts after:";
    for (const RunChunk &chunk : chunks)
        failure << ' ' << chunk.end;
    return failure;
}

} // namespace nerim::run_chunks_testing
