#pragma once

// What the pane benchmarks with windows share: their application and the
// pane warm-up, and a long transcript as agents write one.

#include "../BenchLoop.h"
#include "../BenchTiming.h"
#include "panes-store/OutputLines.h"
#include "foundation/UuidText.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panes/PaneWarmUp.h"

#include <QApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <optional>

namespace nerim::bench {

// The application of a pane benchmark: a temporary home, the offscreen
// platform unless another one is asked for, figures printed as soon as they
// are known, motion on (as the desktop has it by default), and a note when
// the build is not optimised.
class PaneBenchApplication {
public:
    PaneBenchApplication(int &argc, char **argv)
    {
        prepareWindowBench(m_home);
        m_app.emplace(argc, argv);
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        MotionPreferences::shared().setReduceMotion(false);
        noteDebugBuild();
    }

private:
    QTemporaryDir m_home;
    std::optional<QApplication> m_app;
};

// Pays what the first pane of the process costs once (the font database,
// the shapers, the style sheets' style), as the agent column has it done
// when it is made, before its panes come; the longest turn it took.
inline double warmUpPanes()
{
    PaneWarmUp::start();
    return timeWorkingTurns([] { return !PaneWarmUp::isDone(); }).longestCpu();
}

// A transcript of prompts, answers with a code block and inline Markdown,
// warnings, task reports and exit lines, 100 lines a turn.

// `count` lines, the last one an exit line.
inline OutputLines longTranscript(int count)
{
    OutputLines lines;
    int i = 0;
    using Kind = OutputLine::Kind;
    const auto add = [&](Kind kind, const QString &text) {
        lines.append(kind, text, newSequentialUuid());
        ++i;
    };
    while (i < count - 1) {
        const int turn = i / 100;
        add(Kind::userPrompt, QStringLiteral("Step %1: make the signup form check its fields").arg(turn));
        add(Kind::system, QStringLiteral("[Claude 1 spawned · pid %1]").arg(4000 + turn));
        add(Kind::stdout, QStringLiteral("I'll update the **signup form** and its `handler`:"));
        add(Kind::stdout, QStringLiteral("```js"));
        for (int k = 0; k < 30 && i < count - 1; ++k)
            add(Kind::stdout, QStringLiteral("const field%1 = form.querySelector('#field-%1'); // \"value\"").arg(k));
        add(Kind::stdout, QStringLiteral("```"));
        add(Kind::stderr, QStringLiteral("warning: field %1 has no label").arg(turn));
        while (i % 100 < 97 && i < count - 1)
            add(Kind::stdout, QStringLiteral("Line %1 of the explanation, with a [link](https://example.com/%1), "
                                             "*emphasis* and more words to wrap.")
                                  .arg(i));
        add(Kind::taskComplete, QStringLiteral("TASK_COMPLETE: step %1 done").arg(turn));
        add(Kind::system, QStringLiteral("Claude 1 exited · code 0"));
    }
    add(Kind::system, QStringLiteral("Claude 1 exited · code 0"));
    return lines;
}

} // namespace nerim::bench
