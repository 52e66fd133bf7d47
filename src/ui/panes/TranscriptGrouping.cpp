#include "ui/panes/TranscriptGrouping.h"

#include <QStringList>
#include <algorithm>
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
    // "Nerim was closed" begins the line of a task, repair or deploy step that
    // a quit cut short: without it a reopened pane would not say why it stopped.
    static const std::array<QString, 7> eventWords{
        QStringLiteral("spawned"),          QStringLiteral("exited"),      QStringLiteral("is busy"),
        QStringLiteral("failed"),           QStringLiteral("hang signal"), QStringLiteral("completed"),
        QStringLiteral("Nerim was closed"),
    };
    for (const QString &word : eventWords) {
        if (line.text.contains(word, Qt::CaseSensitive))
            return true;
    }
    return false;
}

bool showsSameLines(AppState::OutputMode a, AppState::OutputMode b)
{
    // Only Highlights leaves lines out.
    return (a == AppState::OutputMode::notification) == (b == AppState::OutputMode::notification);
}

OutputLines visibleLines(const OutputLines &lines, AppState::OutputMode mode)
{
    if (mode != AppState::OutputMode::notification)
        return lines;
    OutputLines visible;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines.kind(i) == OutputLine::Kind::stdout)
            continue; // never shown here: not decoded
        if (isVisible(lines.at(i), mode))
            visible.appendLineOf(lines, i);
    }
    return visible;
}

namespace {

// Adds lines [from, to) of `lines` (read through `line`, `kind` and `addToRun`)
// to the groups; returns the first group that changed or was added.
template <typename Line, typename Kind, typename AddToRun, typename StartRun>
qsizetype extend(QList<RenderGroup> &groups, qsizetype from, qsizetype to, AppState::OutputMode mode, Line line,
                 Kind kind, AddToRun addToRun, StartRun startRun)
{
    qsizetype firstChanged = groups.size();
    for (qsizetype i = from; i < to; ++i) {
        if (kind(i) != OutputLine::Kind::stdout) {
            OutputLine value = line(i);
            if (isVisible(value, mode))
                groups.append(RenderGroup{RenderGroup::Single{std::move(value)}});
            continue;
        }
        if (mode == AppState::OutputMode::notification)
            continue; // output is hidden there
        // A standard-output line continues a run that ends the list, else starts one.
        if (!groups.isEmpty()) {
            if (auto *run = std::get_if<RenderGroup::StdoutRun>(&groups.last().value)) {
                addToRun(*run, i);
                firstChanged = std::min(firstChanged, groups.size() - 1);
                continue;
            }
        }
        groups.append(RenderGroup{startRun(i)});
    }
    return firstChanged;
}

} // namespace

QList<RenderGroup> renderGroups(const OutputLines &visibleLines)
{
    // Every line is visible: the verbose grouping of them is theirs.
    QList<RenderGroup> groups;
    extendRenderGroups(groups, visibleLines, 0, AppState::OutputMode::verbose);
    return groups;
}

qsizetype extendRenderGroups(QList<RenderGroup> &groups, std::span<const OutputLine> appendedLines,
                             AppState::OutputMode mode)
{
    const auto line = [&](qsizetype i) { return appendedLines[size_t(i)]; };
    return extend(
        groups, 0, qsizetype(appendedLines.size()), mode, line,
        [&](qsizetype i) { return appendedLines[size_t(i)].kind; },
        [&](RenderGroup::StdoutRun &run, qsizetype i) {
            run.lastLineId = appendedLines[size_t(i)].id;
            run.text.append(appendedLines[size_t(i)].text);
        },
        [&](qsizetype i) {
            const OutputLine &first = appendedLines[size_t(i)];
            return RenderGroup::StdoutRun{first.id, first.id, RunText(first.text)};
        });
}

qsizetype extendRenderGroups(QList<RenderGroup> &groups, const OutputLines &transcript, qsizetype firstAppended,
                             AppState::OutputMode mode, qsizetype end)
{
    return extend(
        groups, firstAppended, end < 0 ? transcript.size() : std::min(end, transcript.size()), mode, [&](qsizetype i) { return transcript.at(i); },
        [&](qsizetype i) { return transcript.kind(i); },
        [&](RenderGroup::StdoutRun &run, qsizetype i) {
            run.lastLineId = transcript.id(i);
            run.text.append(transcript, i);
        },
        [&](qsizetype i) {
            const QUuid id = transcript.id(i);
            return RenderGroup::StdoutRun{id, id, RunText(transcript, i)};
        });
}

} // namespace nerim
