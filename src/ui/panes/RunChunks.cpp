#include "ui/panes/RunChunks.h"

#include "ui/panes/MarkdownSegment.h"

#include <QRegularExpression>

namespace nerim {

namespace {

QList<std::pair<qsizetype, qsizetype>> linesFrom(const QString &text, qsizetype from)
{
    QList<std::pair<qsizetype, qsizetype>> lines;
    qsizetype start = from;
    for (qsizetype i = from; i < text.size(); ++i) {
        if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) {
            lines.append({start, i});
            start = i + 1;
        }
    }
    lines.append({start, text.size()});
    return lines;
}

bool isBlank(QStringView line) { return line.trimmed().isEmpty(); }

} // namespace

QList<RunChunk> cutRunChunks(const QString &text, qsizetype from)
{
    const QRegularExpression &openFence = MarkdownSegment::openFencePattern();
    const QRegularExpression &closeFence = MarkdownSegment::closeFencePattern();
    const auto lines = linesFrom(text, from);
    const auto lineAt = [&](qsizetype i) {
        return QStringView(text).sliced(lines[i].first, lines[i].second - lines[i].first);
    };

    QList<RunChunk> chunks;
    qsizetype chunkStart = from;
    int count = 0;
    bool inCode = false;
    bool nextOpens = !lines.isEmpty() && openFence.match(lineAt(0)).hasMatch();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringView line = lineAt(i);
        const bool opens = !inCode && nextOpens;
        bool closes = false;
        if (opens)
            inCode = true;
        else if (inCode && closeFence.match(line).hasMatch()) {
            inCode = false;
            closes = true;
        }
        nextOpens = i + 1 < lines.size() && openFence.match(lineAt(i + 1)).hasMatch();
        ++count;
        if (inCode || count < RunChunks::chunkLines || i + 1 >= lines.size())
            continue;
        const bool prose = !opens && !closes;
        const QStringView next = lineAt(i + 1);
        int gap = -1;
        if (closes || (prose && nextOpens))
            gap = RunChunks::segmentGap;
        else if (prose && ((!isBlank(line) && !isBlank(next)) || count >= RunChunks::maximumChunkLines))
            gap = 0;
        if (gap < 0)
            continue;
        chunks.append({chunkStart, lines[i].second, gap});
        chunkStart = lines[i + 1].first;
        count = 0;
    }
    chunks.append({chunkStart, text.size(), 0});
    return chunks;
}

} // namespace nerim
