#pragma once

namespace nerim {

// A light physical tap for a submitted prompt and a finished task. Linux
// desktops have no trackpad feedback to drive, so the built-in performer does
// nothing; the interface keeps the moments in one place should one appear.
class HapticPerformer {
public:
    enum class Pattern { alignment, levelChange };

    virtual ~HapticPerformer() = default;
    virtual void perform(Pattern pattern) = 0;

    // The process-wide performer (does nothing).
    static HapticPerformer &shared();
};

class NoHapticPerformer : public HapticPerformer {
public:
    void perform(Pattern) override {}
};

} // namespace nerim
