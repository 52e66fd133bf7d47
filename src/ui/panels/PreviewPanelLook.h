#pragma once

#include "repair/RepairSessionState.h"

#include <QString>
#include <QUrl>

#include <optional>

namespace nerim {

class PreviewState;

// The rules of the preview panel, its toolbar and its repair banner, apart
// from their widgets.
namespace PreviewPanelLook {

// The page title, else the loaded page's host, else "Preview".
QString displayTitle(const QString &title, const std::optional<QUrl> &loadedURL);
// The empty state covers the web view only while nothing is loaded or loading.
bool showsEmptyState(const std::optional<QUrl> &loadedURL, bool isLoading);

struct ToolbarButton {
    QString symbol;
    bool enabled = true;
    QString help;
};
struct Toolbar {
    ToolbarButton back;
    ToolbarButton forward;
    ToolbarButton reload; // always enabled; asks for a reload while loading too
    bool showsSpinner = false;
};
Toolbar toolbar(bool canGoBack, bool canGoForward, bool isLoading);

QString expandSymbol(bool isExpanded);
QString expandHelp(bool isExpanded);

// The row the status strip shows, with the buttons it offers.
struct Strip {
    enum class Row { none, error, progress, secret, fixed, stuck };
    Row row = Row::none;
    QString text; // error text, progress text, explanation, fixed text or stuck reason
    QString varName;
    bool showsAsk = false;      // error row
    bool showsCancel = false;   // progress row and secret prompt
    bool showsTryAgain = false; // stuck row
    friend bool operator==(const Strip &, const Strip &) = default;
};
// `phase` is absent for a panel built without a repair state.
Strip strip(const std::optional<RepairSessionState::Phase> &phase, const std::optional<QString> &error,
            bool hasCoordinator, bool isRepairable);

// What the secret prompt hands over: the draft exactly as typed, or nothing
// when it is empty or no coordinator would take it (the draft then stays).
std::optional<QString> submittedSecret(const QString &draft, bool hasCoordinator);

// The error row's Dismiss: forgets the error, leaves the repair phase alone.
void dismissErrorRow(PreviewState &state);
// The stuck row's Dismiss: forgets the error and the ended repair session.
void dismissStuckRow(PreviewState &state, RepairSessionState *repairState);

} // namespace PreviewPanelLook

} // namespace nerim
