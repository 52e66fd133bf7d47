#pragma once

#include "ui/panels/PanelWidgets.h"

#include <QWidget>

#include <functional>
#include <optional>

namespace nerim {

// A branch of the Plans panel that holds a draft field: coming on screen it
// reports its field (to be focused), leaving the screen it reports that too.
// A minimised window (a spontaneous hide) is not leaving.
class PlanDraftBranch : public QWidget {
    Q_OBJECT
public:
    explicit PlanDraftBranch(QWidget *parent = nullptr);

    DraftField *field() const { return m_field; }
    void setField(DraftField *field) { m_field = field; }
    std::function<void(DraftField *)> onAppeared;
    std::function<void()> onDisappeared;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

    DraftField *m_field = nullptr;
};

// The last error of the Plans agent: a warning mark and the message
// ("planErrorText"), hidden while there is none.
class PlanErrorLine : public QWidget {
    Q_OBJECT
public:
    explicit PlanErrorLine(QWidget *parent = nullptr);
    // Shown with `message`, or hidden (the message then stays as it was).
    void showMessage(bool shows, const QString &message);
};

// The empty state ("emptyBranch"): the invitation to describe a first goal,
// the voice hint, the draft field, the error line and "Generate plan".
class PlansEmptyState : public PlanDraftBranch {
    Q_OBJECT
public:
    explicit PlansEmptyState(QWidget *parent = nullptr);

    PlanErrorLine *errorLine() const { return m_error; }
    CapsuleButton *generateButton() const { return m_generate; }

private:
    PlanErrorLine *m_error = nullptr;
    CapsuleButton *m_generate = nullptr;
};

// The composer under the plan ("composer"): the error line, the draft field
// and "Send".
class PlansComposer : public QWidget {
    Q_OBJECT
public:
    explicit PlansComposer(QWidget *parent = nullptr);

    DraftField *field() const { return m_field; }
    PlanErrorLine *errorLine() const { return m_error; }
    CapsuleButton *sendButton() const { return m_send; }

private:
    DraftField *m_field = nullptr;
    PlanErrorLine *m_error = nullptr;
    CapsuleButton *m_send = nullptr;
};

} // namespace nerim
