#pragma once

namespace nerim {

// Whether Nerim is the application the user is working in. Sound cues, spoken
// narration and haptic taps are given only while it is. The window layer
// installs a source that follows the desktop's focus; without one the
// application counts as active.
class AppActivitySource {
public:
    virtual ~AppActivitySource() = default;
    virtual bool isApplicationActive() const = 0;

    // The process-wide source (GUI thread). Never null.
    static AppActivitySource &shared();
    // Replaces it; null restores the built-in source (always active). The
    // caller keeps ownership and keeps the source alive while installed.
    static void setShared(AppActivitySource *source);
};

// A source whose answer is set by hand: the headless default and the tests'.
class FixedAppActivity : public AppActivitySource {
public:
    explicit FixedAppActivity(bool active = true) : m_active(active) {}
    bool isApplicationActive() const override { return m_active; }
    void setActive(bool active) { m_active = active; }

private:
    bool m_active;
};

} // namespace nerim
