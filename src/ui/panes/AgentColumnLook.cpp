#include "ui/panes/AgentColumnLook.h"

#include "foundation/Text.h"
#include "ui/design/Strings.h"

#include <algorithm>
#include <tuple>
#include <utility>

namespace nerim::AgentColumnLook {

namespace S = Strings::AgentColumn;

Arrangement arrangement(const QList<QUuid> &paneIds, const std::optional<QUuid> &expandedPaneId)
{
    Arrangement result;
    result.fullWidth = expandedPaneId.has_value();
    if (paneIds.isEmpty()) {
        result.layout = Layout::empty;
        return result;
    }
    if (expandedPaneId) {
        const qsizetype index = paneIds.indexOf(*expandedPaneId);
        if (index >= 0) {
            result.layout = Layout::expanded;
            result.expandedIndex = int(index);
            return result;
        }
    }
    result.layout = Layout::stacked;
    return result;
}

namespace {

int gaps(const QList<SlotNeed> &needs, int gap = spacing) { return needs.isEmpty() ? 0 : gap * int(needs.size() - 1); }

// Splits `space` among panes with these least heights: evenly where the share
// covers a pane's least height, the pane's least height where it does not.
QList<int> shareWithMinimums(int space, const QList<int> &minimums)
{
    const int count = int(minimums.size());
    QList<int> heights(count, 0);
    QList<bool> fixed(count, false);
    // Panes whose least height exceeds the even share take it; the others
    // share the rest. A few rounds settle it (each fixes at least one pane).
    for (bool changed = true; changed;) {
        changed = false;
        int left = space;
        int open = 0;
        for (int i = 0; i < count; ++i) {
            if (fixed[i])
                left -= minimums[i];
            else
                ++open;
        }
        if (open == 0)
            break;
        const int share = left > 0 ? left / open : 0;
        for (int i = 0; i < count; ++i)
            if (!fixed[i] && minimums[i] > share) {
                fixed[i] = true;
                changed = true;
            }
    }
    int left = space;
    int open = 0;
    for (int i = 0; i < count; ++i) {
        if (fixed[i]) {
            heights[i] = minimums[i];
            left -= minimums[i];
        } else {
            ++open;
        }
    }
    left = std::max(0, left);
    for (int i = 0, k = 0; i < count; ++i)
        if (!fixed[i]) {
            heights[i] = left / open + (k < left % open ? 1 : 0);
            ++k;
        }
    return heights;
}

} // namespace

int stackedAreaHeight(const QList<SlotNeed> &needs)
{
    int cards = 0;
    int needed = gaps(needs);
    for (const SlotNeed &slot : needs) {
        cards += slot.card;
        needed += slot.card + slot.header + slot.line;
    }
    return std::max(paneAreaHeight + cards, needed);
}

int stackedSpacing(int height, const QList<SlotNeed> &needs)
{
    // The gaps between the slots and the one above the spawn button.
    const int count = int(needs.size());
    if (count == 0)
        return spacing;
    int least = 0;
    for (const SlotNeed &need : needs)
        least += need.header + need.leastCard();
    if (least + spacing * count <= height)
        return spacing;
    return std::clamp((height - least) / count, narrowestSpacing, spacing);
}

QList<SlotHeights> stackedSlotHeights(int area, const QList<SlotNeed> &needs, int gap)
{
    int cards = 0;
    int leastCards = 0;
    for (const SlotNeed &need : needs) {
        cards += need.card;
        leastCards += need.leastCard();
    }
    const int space = area - gaps(needs, gap);
    // Which panes keep a line of their transcript below their header.
    enum class Lines { all, underCards, none };
    const auto least = [&](Lines lines) {
        QList<int> result;
        int total = 0;
        for (const SlotNeed &need : needs) {
            const bool keeps = lines == Lines::all || (lines == Lines::underCards && need.card > 0);
            result.append(need.header + (keeps ? need.line : 0));
            total += result.last();
        }
        return std::pair{result, total};
    };

    QList<SlotHeights> result;
    // Whole cards: the panes share what they leave.
    for (const Lines lines : {Lines::all, Lines::underCards}) {
        const auto [minimums, total] = least(lines);
        if (cards + total > space)
            continue;
        const QList<int> panes = shareWithMinimums(space - cards, minimums);
        for (int i = 0; i < needs.size(); ++i)
            result.append({needs[i].card, panes[i]});
        return result;
    }
    // The cards give up part of their middles: each keeps its least, and
    // what is left goes to them in order. Shorter still, the panes under
    // them give up their line, which is the first to come back.
    for (const Lines lines : {Lines::underCards, Lines::none}) {
        const auto [minimums, total] = least(lines);
        if (leastCards + total > space)
            continue;
        int extra = space - total - leastCards;
        QList<int> panes = minimums;
        if (lines == Lines::none)
            for (int i = 0; i < needs.size(); ++i)
                if (needs[i].card > 0) {
                    const int line = std::min(needs[i].line, extra);
                    panes[i] += line;
                    extra -= line;
                }
        for (int i = 0; i < needs.size(); ++i) {
            const int grown = std::min(needs[i].card - needs[i].leastCard(), extra);
            extra -= grown;
            result.append({needs[i].leastCard() + grown, panes[i]});
        }
        return result;
    }
    // Too short even for that: the panes keep their headers and the cards
    // show what is left, in order.
    const auto [minimums, total] = least(Lines::none);
    int left = std::max(0, space - total);
    for (int i = 0; i < needs.size(); ++i) {
        const int card = std::min(needs[i].leastCard(), left);
        left -= card;
        result.append({card, minimums[i]});
    }
    return result;
}

QList<Chip> chips(const QList<Pane> &panes, int expandedIndex)
{
    QList<Chip> result;
    for (int i = 0; i < panes.size(); ++i) {
        if (i == expandedIndex)
            continue;
        const Pane &pane = panes.at(i);
        result.append({pane.id, pane.agentName, TokenColor{color(pane.status)}, S::chipHelpPrefix + pane.agentName});
    }
    return result;
}

SpawnButtonLook spawnButton(const QList<bool> &systemPaneFlags)
{
    if (systemPaneFlags.size() < paneLimit)
        return {true, S::spawnHelp, {NmColor::ink}, std::nullopt, 0.5};
    const auto agents = std::count(systemPaneFlags.cbegin(), systemPaneFlags.cend(), false);
    // Fewer agents than the limit: a Repair or Deploy pane holds a place, and
    // the greyed button says so (the counter alone reads as room to spare).
    const QString help = agents < paneLimit ? S::spawnLimitSystemPaneHelp.arg(paneLimit) : S::spawnLimitHelp;
    return {false, help, {NmColor::inkTertiary}, S::spawnCounter.arg(agents).arg(paneLimit), 0.3};
}

QString responsibilityHelp() { return Strings::SpawnPopover::responsibilityHelp.arg(responsibilityLimit); }

std::optional<QString> limitedResponsibility(const QString &text)
{
    // Cheap test first: a text of at most 24 UTF-16 units has at most 24 characters.
    if (text.size() <= responsibilityLimit || text::characterCount(text) <= responsibilityLimit)
        return std::nullopt;
    return text::characterPrefix(text, responsibilityLimit);
}

SpawnDraft::Spawn SpawnDraft::commit()
{
    Spawn spawn{responsibility, role};
    cancel();
    return spawn;
}

void SpawnDraft::cancel()
{
    responsibility.clear();
    role = AgentRole::unspecified;
    showing = false;
}

void SpawnDraft::setResponsibility(const QString &text)
{
    responsibility = limitedResponsibility(text).value_or(text);
}

} // namespace nerim::AgentColumnLook
