#pragma once

#include "panes-store/AgentRole.h"
#include "agents/AgentStatus.h"
#include "ui/panes/TokenColor.h"

#include <QList>
#include <QString>
#include <QUuid>
#include <algorithm>
#include <optional>

namespace nerim {

// The rules of the agent column: which layout shows, how wide the column is,
// the switch chips of the expanded layout, the spawn button, and the spawn
// popover's draft.
namespace AgentColumnLook {

// Spawning stops at this many open panes (the controller counts the Deploy
// and Repair panes too); the counter speaks of the user's agents only.
inline constexpr int paneLimit = 3;
// The longest responsibility, in user-perceived characters.
inline constexpr int responsibilityLimit = 24;
inline constexpr int columnWidth = 360;
// The height of the stacked panes together (and of the empty layout).
inline constexpr int paneAreaHeight = 400;
inline constexpr int spacing = 16;
// The gaps of the stack narrow down to this where a card needs the room.
inline constexpr int narrowestSpacing = 8;
inline constexpr int chipSpacing = 8;

enum class Layout { empty, stacked, expanded };

struct Arrangement {
    Layout layout = Layout::empty;
    // expanded: the index of the expanded pane.
    int expandedIndex = -1;
    // Whether the column takes the free width (while any pane id is marked
    // expanded, even one that is not open) rather than its 360 points.
    bool fullWidth = false;

    friend bool operator==(const Arrangement &, const Arrangement &) = default;
};

// First match: no panes → empty; an open pane with the expanded id →
// expanded; otherwise stacked.
Arrangement arrangement(const QList<QUuid> &paneIds, const std::optional<QUuid> &expandedPaneId);

// What one slot of the stacked layout asks for: the deploy card above the
// pane (0 without one), the pane's header (with the divider under it) and
// one line of its transcript. A card can give up part of its scrolling
// middle down to `cardLeast` (its title, close mark, main control and
// status line, and its middle's first row); -1 when it cannot.
struct SlotNeed {
    int card = 0;
    int header = 0;
    int line = 0;
    int cardLeast = -1;

    int leastCard() const { return cardLeast < 0 ? card : std::min(cardLeast, card); }
};

// The height the stacked panes would take together: the resting area, grown
// by the cards above them (and never less than what keeps every header and
// a line of each pane in view).
int stackedAreaHeight(const QList<SlotNeed> &needs);

// How one slot is split: the part of its card in view and the pane under it.
struct SlotHeights {
    int card = 0;
    int pane = 0;

    friend bool operator==(const SlotHeights &, const SlotHeights &) = default;
};

// The slots in an area of `area` points, gaps included. The panes share what
// the cards leave evenly (the first panes take the odd points), and a pane
// never gets less than its header and a line while the area holds that for
// all of them. When it does not, the panes without a card give up their line
// first; then the cards give up their scrolling middles down to their least;
// then the pane under a card gives up its line. A card never gets less than
// its least while the headers leave room for it; past that it shows what is
// left after the headers (and scrolls as a whole), and past that the slots
// overrun the area.
QList<SlotHeights> stackedSlotHeights(int area, const QList<SlotNeed> &needs, int gap = spacing);

// The gap between the stacked slots (and above the spawn button) when the
// slots and those gaps have `height` points: the usual 16, narrowed (never
// under 8) where every card would otherwise lose part of its least.
int stackedSpacing(int height, const QList<SlotNeed> &needs);

// What a switch chip reads of a pane.
struct Pane {
    QUuid id;
    QString agentName;
    AgentStatus status = AgentStatus::idle;
};

struct Chip {
    QUuid id;
    QString title;
    TokenColor dot;
    QString help;

    friend bool operator==(const Chip &, const Chip &) = default;
};

// One chip per pane other than the expanded one, in pane order.
QList<Chip> chips(const QList<Pane> &panes, int expandedIndex);

struct SpawnButtonLook {
    bool enabled = true;
    QString help;
    // The symbol's and the title's colour.
    TokenColor color;
    // At the limit: the user's agents of the three ("3 / 3"); none below it.
    std::optional<QString> counter;
    double borderOpacity = 0.5;

    friend bool operator==(const SpawnButtonLook &, const SpawnButtonLook &) = default;
};

// By the open panes, one flag each: whether it is a system pane (Deploy,
// Repair). The button is disabled once the panes reach the limit, as
// spawning is; its counter counts only the user's agents, so a Deploy pane
// beside three agents reads "3 / 3", not "4 / 3".
SpawnButtonLook spawnButton(const QList<bool> &systemPaneFlags);

// The popover's help line: "Optional · up to 24 characters. Example: …".
QString responsibilityHelp();

// A responsibility cut to the limit: the first 24 user-perceived characters
// when it is longer (spaces kept), none when it fits.
std::optional<QString> limitedResponsibility(const QString &text);

// The popover's draft and whether it is open. The draft survives a click
// outside (which only closes the popover); committing and cancelling reset it.
struct SpawnDraft {
    QString responsibility;
    AgentRole role = AgentRole::unspecified;
    bool showing = false;

    // What a commit spawns: the responsibility as typed and the role.
    struct Spawn {
        QString responsibility;
        AgentRole role = AgentRole::unspecified;
    };

    void open() { showing = true; }
    // Closes the popover and resets the draft, handing back what to spawn.
    Spawn commit();
    void cancel();
    // Closed by a click outside: the draft stays for the next opening.
    void dismiss() { showing = false; }
    // Applies the length limit to a new text of the field.
    void setResponsibility(const QString &text);
};

} // namespace AgentColumnLook

} // namespace nerim
