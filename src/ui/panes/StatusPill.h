#pragma once

#include "agents/AgentStatus.h"

#include <QWidget>

class QVariantAnimation;

namespace nerim {

// A pane's status: a small dot in the status colour and the status word in
// capitals, on a capsule. The dot pulses (fading to 0.35 and back, a second
// each way) while the agent is starting or working, and stays still under
// Reduce Motion.
class StatusPill : public QWidget {
    Q_OBJECT
public:
    explicit StatusPill(AgentStatus status = AgentStatus::idle, QWidget *parent = nullptr);

    AgentStatus status() const { return m_status; }
    void setStatus(AgentStatus status);

    // The dot's current opacity (1 when still).
    double dotOpacity() const { return m_dotOpacity; }
    bool isPulsing() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // Moves the pulse towards `pulse` (true: swinging; false: still at full
    // opacity), as the dot's motion rules say.
    void setPulse(bool pulse);
    void followMotionPreference(bool reduceMotion);
    void setDotOpacity(double opacity);

    AgentStatus m_status;
    bool m_active = false;
    bool m_pulse = false;
    bool m_appeared = false;
    double m_dotOpacity = 1.0;
    QVariantAnimation *m_swing = nullptr;
};

} // namespace nerim
