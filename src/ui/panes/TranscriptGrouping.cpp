#include "ui/panes/TranscriptGrouping.h"

#include <QStringList>
#include <array>
#include <optional>

namespace nerim {

QUuid RenderGroup::id() const
{
    if (const Single *single = asSingle())
        return single->line.id;
    return std::get<StdoutRun>(value).firstLineId;
}

bool isVisible(const OutputLine &line, AppState::OutputMode mode)
{
    if (mode != AppState::OutputMode::notification)
        return true;
    switch (line.kind) {
    case OutputLine::Kind::stdout: return false;
    case OutputLine::Kind::stderr:
    case OutputLine::Kind::userPrompt:
    case OutputLine::Kind::taskComplete: return true;
    case OutputLine::Kind::system: break;
    }
    static const std::array<QString, 6> eventWords{
        QStringLiteral("spawned"), QStringLiteral("exited"),      QStringLiteral("is busy"),
        QStringLiteral("failed"),  QStringLiteral("hang signal"), QStringLiteral("completed"),
    };
    for (const QString &word : eventWords) {
        if (line.text.contains(word, Qt::CaseSensitive))
            return true;
    }
    return false;
}

QList<OutputLine> visibleLines(const QList<OutputLine> &lines, AppState::OutputMode mode)
{
    if (mode != AppState::OutputMode::notification)
        return lines;
    QList<OutputLine> visible;
    for (const OutputLine &line : lines) {
        if (isVisible(line, mode))
            visible.append(line);
    }
    return visible;
}

QList<RenderGroup> renderGroups(const QList<OutputLine> &visibleLines)
{
    QList<RenderGroup> groups;
    std::optional<QUuid> runStart;
    std::optional<QUuid> runEnd;
    RunText buffer;

    const auto flush = [&] {
        if (runStart && runEnd)
            groups.append(RenderGroup{RenderGroup::StdoutRun{*runStart, *runEnd, std::move(buffer)}});
        runStart.reset();
        runEnd.reset();
        buffer = RunText();
    };

    for (const OutputLine &line : visibleLines) {
        if (line.kind == OutputLine::Kind::stdout) {
            if (!runStart)
                runStart = line.id;
            runEnd = line.id;
            buffer.append(line.text);
        } else {
            flush();
            groups.append(RenderGroup{RenderGroup::Single{line}});
        }
    }
    flush();
    return groups;
}

qsizetype extendRenderGroups(QList<RenderGroup> &groups, std::span<const OutputLine> appendedLines,
                             AppState::OutputMode mode)
{
    qsizetype firstChanged = groups.size();
    for (const OutputLine &line : appendedLines) {
        if (!isVisible(line, mode))
            continue;
        if (line.kind != OutputLine::Kind::stdout) {
            groups.append(RenderGroup{RenderGroup::Single{line}});
            continue;
        }
        // A standard-output line continues a run that ends the list, else starts one.
        if (!groups.isEmpty()) {
            if (auto *run = std::get_if<RenderGroup::StdoutRun>(&groups.last().value)) {
                run->lastLineId = line.id;
                run->text.append(line.text);
                firstChanged = std::min(firstChanged, groups.size() - 1);
                continue;
            }
        }
        groups.append(RenderGroup{RenderGroup::StdoutRun{line.id, line.id, RunText(line.text)}});
    }
    return firstChanged;
}

} // namespace nerim
