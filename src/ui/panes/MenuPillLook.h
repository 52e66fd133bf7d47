#pragma once

#include "ui/panes/TokenColor.h"

#include <QString>

namespace nerim {

// The look of a capsule that opens a menu in the prompt bar (where the next
// prompt goes, which model runs it): a symbol, the title in capitals and a
// small chevron, on bright paper, tinted with the accent when the choice is
// not the usual one; the outline firms up and the capsule grows slightly
// under the pointer.
struct MenuPillLook {
    QString symbol;
    // As stored; the capsule shows it upper-cased (`shownTitle`).
    QString title;
    // Whether the accent tint lies over the paper.
    bool tinted = false;

    QString shownTitle() const { return title.toUpper(); }

    static constexpr double tintOpacity = 0.28;
    static constexpr double paperOpacity = 0.92;
    static constexpr double outlineWidth = 0.75;
    static constexpr double symbolSize = 11;
    static constexpr double chevronSize = 8;
    static constexpr double spacing = 6;
    static constexpr double horizontalPadding = 10;
    static constexpr double verticalPadding = 6;
    // The tracking of the title, in points.
    static constexpr double tracking = 0.08;

    // `hover` runs from 0 (pointer away) to 1 (pointer over the pill).
    static double outlineOpacity(double hover) { return 0.55 + (0.85 - 0.55) * hover; }
    static double scale(double hover) { return 1.0 + 0.02 * hover; }
    static TokenColor tintColor();

    friend bool operator==(const MenuPillLook &, const MenuPillLook &) = default;
};

} // namespace nerim
