#pragma once

#include <QString>
#include <functional>

namespace nerim {

// What the preview panel's repair banner is given by the canvas screen:
// whether a repair can be offered, and the four things the banner can ask
// for. Rebuilt by the screen whenever what it reads changes; each callback
// starts its work and returns at once.
struct RepairBannerCoordinator {
    bool isRepairable = false;
    std::function<void()> beginRepair;
    std::function<void()> cancelRepair;
    std::function<void()> retryRepairFromScratch;
    std::function<void(const QString &value)> submitSecret;
};

} // namespace nerim
