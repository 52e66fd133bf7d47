#pragma once

#include "plans/PlanStep.h"

#include <QHash>
#include <QList>
#include <QUuid>
#include <QWidget>

class QVBoxLayout;

namespace nerim {

class PlanStepRowView;

// The numbered steps of the plan, one row per step in plan order. Rows are
// kept by id, so a change of a step redraws its row in place. A click
// anywhere on a row reports its step; the panel moves the status on.
//
// Rows for tests: "planStepRow", with "stepNumber", "stepTitle", "stepDetail".
class PlanStepList : public QWidget {
    Q_OBJECT
public:
    explicit PlanStepList(QWidget *parent = nullptr);

    void setSteps(const QList<PlanStep> &steps);

signals:
    void stepClicked(const QUuid &id);

private:
    QVBoxLayout *m_layout = nullptr;
    QHash<QUuid, PlanStepRowView *> m_rows;
};

} // namespace nerim
