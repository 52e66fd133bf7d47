#pragma once

#include <QString>

namespace nerim {

// A prompt that begins by naming one open pane: the pane's number and the rest
// of the prompt as its task (never empty).
struct PaneAddress {
    int paneNumber = 0;
    QString task;

    friend bool operator==(const PaneAddress &, const PaneAddress &) = default;
};

} // namespace nerim
