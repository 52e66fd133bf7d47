#pragma once

#include <QString>
#include <functional>

namespace nerim {

// What the preview panel's repair banner drives repair work through, without
// holding the controller: built by `RepairSession::bannerCoordinator`,
// whose closures hold the session weakly and do nothing once it is gone.
struct RepairBannerCoordinator {
    // The banner offers "Ask Nerim to fix this" only when true.
    bool isRepairable = false;
    std::function<void()> beginRepair;
    std::function<void()> cancelRepair;
    // Forgets the ended session (phase, pane id, context, error text), then begins a new one.
    std::function<void()> retryRepairFromScratch;
    // The value the user typed; dropped unless the phase is awaiting a secret.
    std::function<void(const QString &value)> submitSecret;
};

} // namespace nerim
