#pragma once

#include <QList>
#include <QtGlobal>
#include <algorithm>
#include <functional>
#include <type_traits>
#include <utility>

class QWidget;

namespace nerim {

// Letting go of what a transcript no longer shows without holding the GUI
// thread: a change of output mode drops the groups, rows and heights of every
// line (hundreds of thousands of allocations in a long transcript), and the
// widgets of the rows that were built. The data is freed on a worker thread of
// its own; the widgets, which only the GUI thread may delete, are hidden at
// once and deleted a few a turn, within a small budget.
namespace TranscriptDisposal {

// Runs `free` on the disposal thread (in order; never on the GUI thread).
void runInBackground(std::function<void()> free);

// How many elements of a list are freed between two pauses, and a pause.
inline constexpr qsizetype kElementsBetweenPauses = 256;
void pauseBetweenSlices();

// Frees `value` on the disposal thread. It holds nothing the GUI thread still
// uses that is not shared thread-safely (Qt's implicitly shared values, shared
// pointers and plain numbers are).
template <typename T>
void freeInBackground(T &&value)
{
    auto *held = new std::decay_t<T>(std::forward<T>(value));
    runInBackground([held] { delete held; });
}

// Frees the elements of `list` on the disposal thread a few hundred at a
// time, pausing in between: the allocator is shared with the GUI thread, and
// freeing a long transcript's groups (each of several allocations) at once
// would keep it busy, and the GUI thread's own allocations waiting, for
// milliseconds on end.
template <typename T>
void freeListInBackground(QList<T> &&list)
{
    if (list.isEmpty())
        return;
    auto *held = new QList<T>(std::move(list));
    runInBackground([held] {
        while (!held->isEmpty()) {
            held->resize(std::max<qsizetype>(0, held->size() - kElementsBetweenPauses));
            pauseBetweenSlices();
        }
        delete held;
    });
}

// Hides `widget` now and deletes it in a later turn, a few widgets a turn
// (at least one); a widget deleted meanwhile (with its parent) is skipped.
void deleteSoon(QWidget *widget);

// Widgets waiting to be deleted (for tests and benchmarks).
int pendingWidgetCount();
// Waits until everything handed to the disposal thread so far is freed.
void waitForBackground();

} // namespace TranscriptDisposal

} // namespace nerim
