#pragma once

#include "canvas/RepairBannerCoordinator.h"

#include <QPointer>
#include <QWidget>

class QLabel;

namespace nerim {

class PreviewState;
class RepairSessionState;

// The preview panel of the canvas. A stand-in for now: a surface showing the
// address the preview holds. It is built with the preview and repair models
// and the repair banner's coordinator, which the canvas screen renews
// whenever what it reads changes.
class PreviewPanelView : public QWidget {
    Q_OBJECT
public:
    PreviewPanelView(PreviewState *state, RepairSessionState *repairState, RepairBannerCoordinator coordinator,
                     QWidget *parent = nullptr);

    void setRepairCoordinator(RepairBannerCoordinator coordinator);
    const RepairBannerCoordinator &repairCoordinator() const { return m_coordinator; }

private:
    void refresh();

    QPointer<PreviewState> m_state;
    QPointer<RepairSessionState> m_repairState;
    RepairBannerCoordinator m_coordinator;
    QLabel *m_address = nullptr;
};

} // namespace nerim
