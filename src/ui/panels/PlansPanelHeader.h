#pragma once

#include "ui/panels/PlansPanelLook.h"

#include <QWidget>

class QLabel;

namespace nerim {

class NmActivitySpinner;
class PanelIconButton;

// The Plans panel's header: the accent title with a dot while the Plans
// agent writes, then the organize button (a spinner in its place while it
// runs), start over, expand and close. It shows what PlansPanelLook::header
// decides and reports the clicks; the panel does the work.
//
// Children for tests: "generatingDot", "organizeButton", "organizeSpinner",
// "startOverButton", "expandButton", "closeButton".
class PlansPanelHeader : public QWidget {
    Q_OBJECT
public:
    explicit PlansPanelHeader(QWidget *parent = nullptr);

    void showLook(const PlansPanelLook::Header &header);

signals:
    void organizeClicked();
    void startOverClicked();
    void expandClicked();
    void closeClicked();

private:
    QLabel *m_generatingDot = nullptr;
    QWidget *m_organizeSlot = nullptr;
    PanelIconButton *m_organize = nullptr;
    NmActivitySpinner *m_organizeSpinner = nullptr;
    PanelIconButton *m_startOver = nullptr;
    PanelIconButton *m_expand = nullptr;
    PanelIconButton *m_close = nullptr;
};

} // namespace nerim
