#pragma once

#include "foundation/Timestamp.h"
#include "persistence/AppState.h"
#include "ui/panes/TokenColor.h"

#include <QList>
#include <QString>
#include <QVector>
#include <functional>

namespace nerim {

// How long ago (or how far ahead) `date` is from `now`, in English short
// units, in the largest whole unit that fits: "12 sec. ago", "5 min. ago",
// "3 hr. ago", "1 day ago", "2 days ago", "3 wk. ago", "2 mo. ago",
// "1 yr. ago", and "in 4 min." for a date ahead of `now`. A month counts 30
// days and a year 365. Dates ahead are shown as they are, never clamped.
QString relativePhraseShort(Timestamp date, Timestamp now);

// The rules of the projects overview and its cards, as plain functions; the
// widgets only apply them.
namespace OverviewLook {

// Sizes of the screen, in points, as the shell makes it.
inline constexpr double cardWidth = 220;
inline constexpr double cardHeight = 140;
inline constexpr double contentMaxWidth = 1200;
inline constexpr double sidePadding = 48;
inline constexpr double gridSpacing = 24;
inline constexpr double headerTopPadding = 40;
inline constexpr double emptyStateTopPadding = 12;
inline constexpr double topSpacerMinimum = 32;
inline constexpr double topSpacerMaximum = 160;
inline constexpr double bottomSpacerMinimum = 40;
inline constexpr double cardCornerRadius = 14;

// The registry entry of the debug scratch folder: shown, never counted or removed.
bool isDebugScratch(const AppState::ProjectRegistryEntry &entry);

// Entries other than the debug scratch entry.
int visibleProjectCount(const QList<AppState::ProjectRegistryEntry> &projects);
// "Pick a folder to start a project.", "One project." or "<n> projects.".
QString subtitleText(int visibleCount);
// No entry other than the debug scratch entry.
bool showsEmptyState(const QList<AppState::ProjectRegistryEntry> &projects);
// The removal alert's message for the entry.
QString removalAlertMessage(const AppState::ProjectRegistryEntry &entry);

// How many card columns fit the screen's width: the content is at most
// `contentMaxWidth` wide, less the side paddings; at least one.
int gridColumns(double screenWidth, double cardWidth = OverviewLook::cardWidth,
                double contentMaxWidth = OverviewLook::contentMaxWidth);
// The grid's height for `items` cards in `columns` columns.
double gridHeight(int items, int columns, double cardHeight = OverviewLook::cardHeight);

// The two flexible spacers, above and below the grid. `freeHeight` is what
// the screen has beyond its content and the spacers' minimums: it is shared
// equally until the upper one reaches its maximum, the lower one taking the
// rest. Without free height both keep their minimums (and the screen scrolls).
struct SpacerHeights {
    double top = topSpacerMinimum;
    double bottom = bottomSpacerMinimum;
    friend bool operator==(const SpacerHeights &, const SpacerHeights &) = default;
};
SpacerHeights spacerHeights(double freeHeight);

// The look of a project card.
struct ProjectCardLook {
    QString symbol;
    TokenColor iconColor;
    QString footer;
    bool showsRemoveButton = false;
    bool offersContextMenu = false;
    bool showsDashedOutline = false;
};
ProjectCardLook projectCardLook(const AppState::ProjectRegistryEntry &entry, bool hovered, Timestamp now);

// A text's width as drawn, in points.
using TextWidth = std::function<double(const QString &)>;
// The project's name as its card shows it on one line `available` wide. A name
// that fits shows whole. A name that ends in a date and time, as a blank
// project's does ("Untitled Project 2026-12-09 17-30-12", perhaps with " (2)"),
// keeps that ending whole and is cut with an ellipsis before it, or, when even
// the ending does not fit, shows the end of the ending; so two such cards
// differ as their names do. Any other name is cut at its end.
QString projectCardName(const QString &name, double available, const TextWidth &width);

// The look of the add and start-blank tiles, hovered or not.
struct ActionTileLook {
    TokenColor fill;
    TokenColor border;
    double borderWidth = 0.75;
    QVector<qreal> dash; // in points; empty for a solid border
    QString symbol;
    TokenColor symbolColor;
    QString label;
    TokenColor labelColor;
    QString help;
};
ActionTileLook addProjectTileLook(bool hovered);
// `projectsFolder` is where blank projects are made, as the help names it.
ActionTileLook startBlankTileLook(bool hovered, const QString &projectsFolder);
// The projects folder as the start-blank help names it: relative to the home
// folder ("Documents/Nerim Projects"), or whole when it lies elsewhere.
QString projectsFolderForHelp(const QString &projectsFolder, const QString &homeFolder);

} // namespace OverviewLook

} // namespace nerim
