#pragma once

#include "panes-store/OutputLine.h"
#include "panes-store/OutputLines.h"
#include "persistence/AppState.h"
#include "ui/panes/RunChunks.h"

#include <QList>
#include <QString>
#include <QUuid>
#include <span>
#include <variant>

namespace nerim {

// One entry of a pane's transcript list: a line drawn on its own, or a run of
// consecutive standard-output lines drawn as one block of Markdown text.
struct RenderGroup {
    struct Single {
        OutputLine line;
        friend bool operator==(const Single &, const Single &) = default;
    };
    struct StdoutRun {
        QUuid firstLineId;
        QUuid lastLineId;
        // The lines' texts joined with "\n" (read from the transcript).
        RunText text;
        friend bool operator==(const StdoutRun &, const StdoutRun &) = default;
    };

    std::variant<Single, StdoutRun> value;

    // The first line's id: unique within one transcript.
    QUuid id() const;
    const Single *asSingle() const { return std::get_if<Single>(&value); }
    const StdoutRun *asStdoutRun() const { return std::get_if<StdoutRun>(&value); }

    friend bool operator==(const RenderGroup &, const RenderGroup &) = default;
};

} // namespace nerim

// A group holds nothing that points into itself (Qt's implicitly shared
// values, a shared pointer, plain numbers), so a list of them grows by moving
// its memory, not each group: a long transcript's list grows without a pause.
Q_DECLARE_TYPEINFO(nerim::RenderGroup, Q_RELOCATABLE_TYPE);

namespace nerim {

// Whether a line shows in an output mode. "Full transcript" (verbose) and
// summary show every line. Highlights (notification) hide agent output and
// keep errors, prompts and task-complete reports, and the application's own
// lines only when they mention one of a few events ("spawned", "exited",
// "is busy", "failed", "hang signal", "completed", "Nerim was closed"; case
// matters).
bool isVisible(const OutputLine &line, AppState::OutputMode mode);

// Whether two output modes show the same lines (Full transcript and summary
// do), so that a transcript's groups in one are its groups in the other.
bool showsSameLines(AppState::OutputMode a, AppState::OutputMode b);

// The lines that show in `mode`, in transcript order.
OutputLines visibleLines(const OutputLines &lines, AppState::OutputMode mode);

// Groups visible lines: every maximal sequence of consecutive standard-output
// lines becomes one run, every other line a group of its own.
QList<RenderGroup> renderGroups(const OutputLines &visibleLines);

// Brings `groups` (the groups of a transcript in `mode`) up to date after
// `appendedLines` were added to the end of that transcript. Only the last group
// may change (a run that goes on); the rest are added. The result equals the
// groups of the whole transcript, for the cost of the new lines alone. Returns
// the index of the first group that changed or was added (`groups.size()` when
// nothing changed).
qsizetype extendRenderGroups(QList<RenderGroup> &groups, std::span<const OutputLine> appendedLines,
                             AppState::OutputMode mode);
// The same for the lines of `transcript` from `firstAppended` up to `end`
// (its end when negative); runs read their text from the transcript.
qsizetype extendRenderGroups(QList<RenderGroup> &groups, const OutputLines &transcript, qsizetype firstAppended,
                             AppState::OutputMode mode, qsizetype end = -1);

} // namespace nerim
