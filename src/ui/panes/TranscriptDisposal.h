#pragma once

#include <QtGlobal>
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

// Frees `value` on the disposal thread. It holds nothing the GUI thread still
// uses that is not shared thread-safely (Qt's implicitly shared values, shared
// pointers and plain numbers are).
template <typename T>
void freeInBackground(T &&value)
{
    auto *held = new std::decay_t<T>(std::forward<T>(value));
    runInBackground([held] { delete held; });
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
