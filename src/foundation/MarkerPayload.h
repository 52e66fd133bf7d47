#pragma once

#include <QString>
#include <optional>

namespace nerim::DeployMarkers {

// How the payload's trailing quote characters are treated.
enum class TrailingQuotes {
    // Every trailing backquote, double quote and single quote goes (the general rule).
    dropAll,
    // A trailing quote character goes only while that character occurs an odd
    // number of times in the payload, i.e. while it is a stray wrapper rather than
    // the closing half of a quoted argument. Used for shell commands, whose own
    // closing quote must survive (echo "done." keeps its final quote).
    keepBalanced,
};

// The payload of a marker line, shared by the Deploy and Repair agents' marker
// parsers. Leading backquotes, quotes, ">" and spaces are skipped (agents like to
// wrap marker lines in Markdown quotes or code spans); the rest must begin with
// `marker`, compared without regard to case, or the result is nothing. The marker,
// then every ":" and whitespace character after it, are dropped, then trailing
// quote characters (see TrailingQuotes), and the rest is returned trimmed of
// whitespace and newlines. The payload may be empty.
std::optional<QString> markerPayload(const QString &marker, const QString &line,
                                     TrailingQuotes trailingQuotes = TrailingQuotes::dropAll);

} // namespace nerim::DeployMarkers
