#pragma once

#include "ui/workspace/CanvasPanelWiring.h"

#include <QPointer>
#include <QWidget>

class QLabel;

namespace nerim {

class PlanState;

// The Plans side panel of the canvas. A stand-in for now: a surface with the
// plan's goal and steps. It is built with the panel's six callbacks, which the
// full panel uses to talk to the Plans agent and the plans workspace.
class PlansPanelView : public QWidget {
    Q_OBJECT
public:
    PlansPanelView(PlanState *state, PlansPanelCallbacks callbacks, QWidget *parent = nullptr);

    const PlansPanelCallbacks &callbacks() const { return m_callbacks; }
    // Whether the panel's draft field has keyboard focus.
    bool draftFieldFocused() const { return false; }

private:
    void refresh();

    QPointer<PlanState> m_state;
    PlansPanelCallbacks m_callbacks;
    QLabel *m_body = nullptr;
};

} // namespace nerim
