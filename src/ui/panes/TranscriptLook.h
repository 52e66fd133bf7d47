#pragma once

#include "agents/AgentStatus.h"
#include "panes-store/OutputLine.h"
#include "ui/design/DesignTokens.h"
#include "ui/panes/TokenColor.h"

#include <QString>

namespace nerim {

// How one transcript line is drawn, by its kind.
struct OutputLineLook {
    // text: the text alone. promptBar: a 2-point accent bar beside the text.
    // capsule: a symbol and the text in a capsule that hugs them.
    enum class Arrangement { text, promptBar, capsule };

    NmFontSpec font;
    TokenColor color;
    Arrangement arrangement = Arrangement::text;
    // Agent output is read as inline Markdown; every other line verbatim.
    bool inlineMarkdown = false;
    // Space above and below the row, outside any capsule.
    double verticalPadding = 0;
    // The bar's or the capsule's fill.
    TokenColor decoration;
    // The capsule's symbol, its size and colour; empty otherwise.
    QString symbol;
    double symbolSize = 0;
    TokenColor symbolColor;
    // The capsule's own padding.
    double capsuleHorizontalPadding = 0;
    double capsuleVerticalPadding = 0;
    // Space between the bar or symbol and the text.
    double spacing = 0;
};

OutputLineLook outputLineLook(OutputLine::Kind kind);

// The status pill of a pane.
struct StatusLook {
    // Stored lower case; the pill shows it upper-cased (`shownLabel`).
    QString label;
    TokenColor dotColor;
    // Whether the dot pulses (while the agent is starting or working).
    bool pulses = false;

    QString shownLabel() const { return label.toUpper(); }
};

StatusLook statusLook(AgentStatus status);

// The pulsing dot: its opacity given whether it should pulse, Reduce Motion and
// the phase it is animating towards (true: the dim end). It dims only while
// active with motion allowed; otherwise it stays at full opacity.
double pulseOpacity(bool active, bool reduceMotion, bool pulse);

} // namespace nerim
