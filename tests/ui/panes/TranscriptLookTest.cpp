#include "ui/panes/CodeBlockLook.h"
#include "ui/panes/TranscriptLook.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

TEST(StatusLook, LabelColourAndPulseByStatus)
{
    struct Row {
        AgentStatus status;
        QString shown;
        NmRgb dot;
        bool pulses;
    };
    const Row rows[] = {
        {AgentStatus::idle, u"IDLE"_s, NmColor::neutral, false},
        {AgentStatus::spawning, u"SPAWNING\u2026"_s, NmColor::warning, true},
        {AgentStatus::working, u"WORKING"_s, NmColor::success, true},
        {AgentStatus::hung, u"WAITING"_s, NmColor::warning, false},
        {AgentStatus::done, u"DONE"_s, NmColor::success, false},
        {AgentStatus::error, u"ERROR"_s, NmColor::danger, false},
        {AgentStatus::stopped, u"STOPPED"_s, NmColor::inkTertiary, false},
    };
    for (const Row &row : rows) {
        const StatusLook look = statusLook(row.status);
        EXPECT_EQ(look.shownLabel(), row.shown);
        EXPECT_EQ(look.label, row.shown.toLower()); // stored lower case
        EXPECT_EQ(look.dotColor, TokenColor{row.dot});
        EXPECT_EQ(look.pulses, row.pulses) << row.shown.toStdString();
    }
}

TEST(StatusLook, DotDimsOnlyWhilePulsingWithMotion)
{
    EXPECT_EQ(pulseOpacity(true, false, true), 0.35);
    EXPECT_EQ(pulseOpacity(true, true, true), 1.0);  // Reduce Motion
    EXPECT_EQ(pulseOpacity(false, false, true), 1.0); // no longer active
    EXPECT_EQ(pulseOpacity(true, false, false), 1.0);
}

TEST(OutputLineLook, EachKindHasItsFontColourAndArrangement)
{
    using A = OutputLineLook::Arrangement;
    const OutputLineLook out = outputLineLook(OutputLine::Kind::stdout);
    EXPECT_TRUE(out.inlineMarkdown);
    EXPECT_EQ(out.color, TokenColor{NmColor::ink});

    const OutputLineLook err = outputLineLook(OutputLine::Kind::stderr);
    EXPECT_FALSE(err.inlineMarkdown);
    EXPECT_TRUE(err.font.monospaced);
    EXPECT_EQ(err.color, TokenColor{NmColor::danger});

    const OutputLineLook system = outputLineLook(OutputLine::Kind::system);
    EXPECT_TRUE(system.font.monospaced);
    EXPECT_EQ(system.font.size, NmFontSpecs::monoSmall.size);
    EXPECT_EQ(system.color, TokenColor{NmColor::inkTertiary});
    EXPECT_EQ(system.verticalPadding, 1);

    const OutputLineLook prompt = outputLineLook(OutputLine::Kind::userPrompt);
    EXPECT_EQ(prompt.arrangement, A::promptBar);
    EXPECT_EQ(prompt.decoration, TokenColor{NmColor::accent});
    EXPECT_EQ(prompt.font.weight, QFont::Medium);

    const OutputLineLook report = outputLineLook(OutputLine::Kind::taskComplete);
    EXPECT_EQ(report.arrangement, A::capsule);
    EXPECT_EQ(report.symbol, u"checkmark.circle.fill"_s);
    EXPECT_EQ(report.symbolColor, TokenColor{NmColor::success});
    EXPECT_EQ(report.decoration, (TokenColor{NmColor::accentSoft, 0.6}));
    for (const OutputLineLook &look : {err, system, prompt, report})
        EXPECT_FALSE(look.inlineMarkdown);
}

TEST(CodeBlockLook, CopyButtonAndToneColours)
{
    const CodeBlockLook::CopyButton idle = CodeBlockLook::copyButton(false);
    EXPECT_EQ(idle.symbol, u"doc.on.doc"_s);
    EXPECT_EQ(idle.text, u"Copy"_s);
    EXPECT_EQ(idle.color, TokenColor{NmColor::inkSecondary});
    const CodeBlockLook::CopyButton copied = CodeBlockLook::copyButton(true);
    EXPECT_EQ(copied.symbol, u"checkmark"_s);
    EXPECT_EQ(copied.text, u"Copied"_s);
    EXPECT_EQ(copied.color, TokenColor{NmColor::success});

    EXPECT_EQ(CodeBlockLook::toneColor(CodeBlockLook::Tone::string), (TokenColor{NmColor::success, 0.85}));
    EXPECT_EQ(CodeBlockLook::toneColor(CodeBlockLook::Tone::comment), TokenColor{NmColor::inkTertiary});
}

} // namespace
} // namespace nerim
