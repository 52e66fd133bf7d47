#pragma once

#include <QtGlobal>

namespace nerim::platform {

// How much of one turn of the GUI thread's event loop streamed child output
// may take: reading it from the pipes (ChildProcess), decoding it, and handing
// its events to the panes (the agents' stream consumers) all charge one clock.
// The clock starts with the first such piece of work in a turn and runs until
// the event loop is about to wait again or has woken up, so whatever else
// the turn does after that first piece counts too. Work that finds the
// budget spent waits for a later turn, and the event loop paints and answers
// input in between.
//
// Reading may use only the first share of a turn, so that what was read is
// also handed out in the same turn; consuming may use the whole budget.
//
// Only the application's main thread keeps a budget; elsewhere nothing is
// ever spent. Each read goes out as one batch of undecoded lines, and the
// agent session turns a batch into one batch of events. Consumers hand out
// events until the whole budget is used, at least one each time they are
// resumed, then wait in one queue for the next turn and take the budget in
// rounds.
class OutputTurnBudget {
public:
    static constexpr qint64 budgetNs = 6'000'000;
    static constexpr qint64 readingShareNs = budgetNs / 2;

    // Time taken in this turn since its first budgeted work, starting the
    // clock now when this is that first work.
    static qint64 elapsedNs();
    static bool readingSpent() { return elapsedNs() >= readingShareNs; }
    static bool spent() { return elapsedNs() >= budgetNs; }
};

} // namespace nerim::platform
