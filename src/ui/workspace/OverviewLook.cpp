#include "ui/workspace/OverviewLook.h"

#include "foundation/Text.h"
#include "ui/design/Strings.h"

#include <QDir>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <optional>

namespace nerim {

QString relativePhraseShort(Timestamp date, Timestamp now)
{
    struct Unit {
        double seconds;
        const char *singular;
        const char *plural;
    };
    static const Unit units[] = {
        {365 * 86400.0, "yr.", "yr."}, {30 * 86400.0, "mo.", "mo."}, {7 * 86400.0, "wk.", "wk."},
        {86400.0, "day", "days"},      {3600.0, "hr.", "hr."},       {60.0, "min.", "min."},
        {1.0, "sec.", "sec."},
    };
    const double delta = date.secondsSince(now);
    const double magnitude = std::abs(delta);
    const Unit *unit = &units[std::size(units) - 1];
    for (const Unit &candidate : units) {
        if (magnitude >= candidate.seconds) {
            unit = &candidate;
            break;
        }
    }
    const auto count = static_cast<qint64>(std::floor(magnitude / unit->seconds));
    const QString amount = QString::number(count) + QLatin1Char(' ') +
                           QString::fromLatin1(count == 1 ? unit->singular : unit->plural);
    return delta > 0 ? QStringLiteral("in ") + amount : amount + QStringLiteral(" ago");
}

namespace OverviewLook {

bool isDebugScratch(const AppState::ProjectRegistryEntry &entry)
{
    return entry.id == QStringLiteral("scratch-debug");
}

int visibleProjectCount(const QList<AppState::ProjectRegistryEntry> &projects)
{
    return int(std::count_if(projects.begin(), projects.end(),
                             [](const AppState::ProjectRegistryEntry &entry) { return !isDebugScratch(entry); }));
}

QString subtitleText(int visibleCount)
{
    if (visibleCount <= 0)
        return Strings::Overview::subtitleNone;
    if (visibleCount == 1)
        return Strings::Overview::subtitleOne;
    return QString::number(visibleCount) + Strings::Overview::subtitleManySuffix;
}

bool showsEmptyState(const QList<AppState::ProjectRegistryEntry> &projects)
{
    return visibleProjectCount(projects) == 0;
}

QString removalAlertMessage(const AppState::ProjectRegistryEntry &entry)
{
    return entry.displayName + Strings::Overview::removeAlertMessageSuffix;
}

int gridColumns(double screenWidth, double cardWidth, double contentMaxWidth)
{
    const double gridWidth = std::min(screenWidth, contentMaxWidth) - 2 * sidePadding;
    const int columns = int(std::floor((gridWidth + gridSpacing) / (cardWidth + gridSpacing)));
    return std::max(1, columns);
}

double gridHeight(int items, int columns, double cardHeight)
{
    if (items <= 0)
        return 0;
    const int rows = (items + columns - 1) / std::max(1, columns);
    return rows * cardHeight + (rows - 1) * gridSpacing;
}

SpacerHeights spacerHeights(double freeHeight)
{
    SpacerHeights heights;
    if (freeHeight <= 0)
        return heights;
    const double topShare = std::min(freeHeight / 2, topSpacerMaximum - topSpacerMinimum);
    heights.top += topShare;
    heights.bottom += freeHeight - topShare;
    return heights;
}

ProjectCardLook projectCardLook(const AppState::ProjectRegistryEntry &entry, bool hovered, Timestamp now)
{
    ProjectCardLook look;
    const bool scratch = isDebugScratch(entry);
    look.symbol = scratch ? QStringLiteral("hammer") : QStringLiteral("folder");
    look.iconColor = scratch ? TokenColor{NmColor::inkTertiary} : TokenColor{NmColor::accent};
    look.footer = scratch ? Strings::Overview::scratchFooter
                          : Strings::Overview::lastOpenedPrefix + relativePhraseShort(entry.lastOpenedAt, now);
    look.showsRemoveButton = hovered && !scratch;
    look.offersContextMenu = !scratch;
    look.showsDashedOutline = scratch;
    return look;
}

namespace {

const QString ellipsis = QStringLiteral("\u2026");

// The longest start of `text`, in whole user-perceived characters, that fits
// with an ellipsis after it (and `after` after that); none when not even the
// ellipsis does.
std::optional<QString> cutAtEnd(const QString &text, const QString &after, double available, const TextWidth &width)
{
    if (width(ellipsis + after) > available)
        return std::nullopt;
    qsizetype low = 0; // fits
    qsizetype high = text::characterCount(text);
    while (low < high) {
        const qsizetype middle = (low + high + 1) / 2;
        if (width(text::characterPrefix(text, middle) + ellipsis + after) <= available)
            low = middle;
        else
            high = middle - 1;
    }
    return text::characterPrefix(text, low).trimmed() + ellipsis + after;
}

} // namespace

QString projectCardName(const QString &name, double available, const TextWidth &width)
{
    if (width(name) <= available)
        return name;
    static const QRegularExpression stamped(QStringLiteral(R"(\d{4}-\d{2}-\d{2} \d{2}-\d{2}-\d{2}( \(\d+\))?$)"));
    const QRegularExpressionMatch match = stamped.match(name);
    if (!match.hasMatch())
        return cutAtEnd(name, QString(), available, width).value_or(ellipsis);
    const QString ending = match.captured(0);
    const QString before = name.left(match.capturedStart(0));
    if (std::optional<QString> cut = cutAtEnd(before, QLatin1Char(' ') + ending, available, width))
        return *cut;
    // The ending alone, then its end: the time and the number stay longest.
    // (It is plain ASCII: one character per code unit.)
    for (qsizetype keep = ending.size(); keep > 0; --keep) {
        const QString shown = ellipsis + ending.right(keep);
        if (width(shown) <= available)
            return shown;
    }
    return ellipsis;
}

ActionTileLook addProjectTileLook(bool hovered)
{
    ActionTileLook look;
    look.fill = hovered ? TokenColor{NmColor::paperShade, 0.5} : TokenColor{NmColor::paperShade, 0.0};
    look.border = hovered ? TokenColor{NmColor::accent, 0.85} : TokenColor{NmColor::inkTertiary, 0.4};
    look.borderWidth = hovered ? 1.25 : 0.75;
    look.dash = {5, 5};
    look.symbol = QStringLiteral("plus");
    look.symbolColor = hovered ? TokenColor{NmColor::accent} : TokenColor{NmColor::inkTertiary};
    look.label = Strings::Overview::addProject;
    look.labelColor = hovered ? TokenColor{NmColor::ink} : TokenColor{NmColor::inkSecondary};
    look.help = Strings::Overview::addProjectHelp;
    return look;
}

ActionTileLook startBlankTileLook(bool hovered, const QString &projectsFolder)
{
    ActionTileLook look;
    look.fill = TokenColor{NmColor::accent, hovered ? 0.18 : 0.08};
    look.border = TokenColor{NmColor::accent, hovered ? 0.9 : 0.35};
    look.borderWidth = hovered ? 1.25 : 0.75;
    look.symbol = QStringLiteral("sparkles");
    look.symbolColor = TokenColor{NmColor::accent, hovered ? 1.0 : 0.7};
    look.label = Strings::Overview::startBlank;
    look.labelColor = hovered ? TokenColor{NmColor::ink} : TokenColor{NmColor::inkSecondary};
    look.help = Strings::Overview::startBlankHelpPrefix + projectsFolder;
    return look;
}

QString projectsFolderForHelp(const QString &projectsFolder, const QString &homeFolder)
{
    const QString home = QDir::cleanPath(homeFolder);
    const QString folder = QDir::cleanPath(projectsFolder);
    if (!home.isEmpty() && home != QStringLiteral("/") && folder.startsWith(home + QLatin1Char('/')))
        return folder.mid(home.size() + 1);
    return folder;
}

} // namespace OverviewLook

} // namespace nerim
