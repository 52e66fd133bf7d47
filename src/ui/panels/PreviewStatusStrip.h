#pragma once

#include "ui/panels/PreviewPanelLook.h"

#include <QString>
#include <QWidget>

#include <functional>

namespace nerim {

// What the rows of the preview's status strip do; the panel fills them in.
struct PreviewStripActions {
    std::function<void()> beginRepair;
    std::function<void()> cancelRepair;
    std::function<void()> retryRepair;
    std::function<void()> dismissError;
    std::function<void()> dismissStuck;
    // The secret prompt's field changed, and Return or Submit in it.
    std::function<void(const QString &)> secretEdited;
    std::function<void()> submitSecret;
};

// The row of the status strip under the preview's toolbar for `strip`, on
// its tint: the page error with "Ask Nerim to fix this", the repair's
// progress with Cancel, the secret prompt (the masked field starts with
// `secretDraft`), the fixed line, or the stuck line with "Try again". Made as
// a child of `panel`, whose lifetime bounds its actions. None for an empty
// strip.
//
// Rows for tests: "errorRow", "progressRow", "secretPrompt", "fixedRow",
// "stuckRow"; in them "bannerText", "askButton", "cancelRepairButton",
// "tryAgainButton", "dismissButton", "secretName", "secretField",
// "secretSubmit".
QWidget *buildPreviewStripRow(const PreviewPanelLook::Strip &strip, const QString &secretDraft,
                              const PreviewStripActions &actions, QWidget *panel);

} // namespace nerim
