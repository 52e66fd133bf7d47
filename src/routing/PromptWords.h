#pragma once

#include "routing/AgentReference.h"
#include "routing/PaneAddress.h"

#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>

// What the local phrase matchers share: normalising a prompt, the two ways of
// cutting it into words, the number readers, the pane names, and the pane
// addressing matcher (the last matcher the canvas runs). Pure functions over
// constant tables; safe on any thread.
namespace nerim {

// From a lower-case pane name to its pane number, built by the canvas from the
// open user panes; the open pane numbers come with it.
using PaneNameTable = QHash<QString, int>;
using OpenPaneNumbers = QSet<int>;

// Lower-cases, trims whitespace and newlines, removes trailing characters of
// `trailing` one by one from the end, then trims spaces and tabs.
QString normalizeCommandText(const QString &text, const QString &trailing);

// Cuts at every whitespace character, dropping empty pieces; case is kept.
QStringList splitWords(const QString &text);

// Like splitWords, but "," and ":" are tokens of their own:
// "claude 2, take step 3" gives claude, 2, ",", take, step, 3.
QStringList handoverTokens(const QString &text);

// The first index at or after `start` whose token is no hand-off filler.
qsizetype skipHandoverFillers(const QStringList &tokens, qsizetype start);

// "1" to "9" or "one" to "nine" (any case).
std::optional<int> numberWordValue(const QString &word);
// A decimal integer from 1 to 20 (optional sign) or "one" to "twenty".
std::optional<int> stepNumberValue(const QString &word);

// Not empty, not "claude" or "agent", not beginning with "@".
bool isAddressableName(const QString &name);
// The addressable entries, longest name first (in user-perceived characters).
QList<QPair<QString, int>> addressableNames(const PaneNameTable &table);

// A pane named at `start` in lower-cased hand-off tokens: a name of the
// table, "claude 2", "agent 2", "claude2", "agent2" or "@2" for an open pane.
// Returns the reference and the index just after it.
std::optional<QPair<AgentReference, qsizetype>> matchAgentReference(const QStringList &tokens, qsizetype start,
                                                                    const OpenPaneNumbers &openPanes,
                                                                    const PaneNameTable &table);

// "claude 2 fix the header", "hey agent 1 add the tests",
// "Designer: make the logo bigger": the pane and the rest as its task.
std::optional<PaneAddress> parsePaneAddress(const QString &prompt, const OpenPaneNumbers &openPanes,
                                            const PaneNameTable &table);

} // namespace nerim
