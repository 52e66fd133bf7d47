#pragma once

#include "ui/panels/PanelWidgets.h"
#include "ui/workspace/CanvasPanelWiring.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QStackedWidget;

class QScrollArea;

namespace nerim {

class DraftField;
class PlanConversation;
class PlanFileChips;
class PlanFilePage;
class PlanState;
class PlanStepList;
class PlansComposer;
class PlansEmptyState;
class PlansPanelHeader;

// The Plans side panel of the canvas: a dark surface with a header (title,
// organize, start over, expand, close) and one of three branches: an open plan
// file, the empty state inviting a first goal, or the plan column (file
// chips, goal, numbered steps, the conversation and the composer). It reads
// the project's PlanState and hands all work to the six callbacks; it writes
// only the draft, the draft field's focus mirror, expand/close and step
// statuses. Rows are kept by id, so a change redraws in place.
//
// The parts live in their own files: the header (PlansPanelHeader), the
// file chips and the open file (PlanWorkspaceFiles), the steps
// (PlanStepList), the conversation (PlanConversation), and the empty state
// and composer (PlansComposer). This class lays them out and follows the
// model.
class PlansPanelView : public QWidget {
    Q_OBJECT
public:
    PlansPanelView(PlanState *state, PlansPanelCallbacks callbacks, QWidget *parent = nullptr);

    const PlansPanelCallbacks &callbacks() const { return m_callbacks; }
    // Whether the panel's draft field has keyboard focus.
    bool draftFieldFocused() const { return m_draftFieldFocused; }
    // Where links in plan text open (http and https only); the desktop's
    // handler by default.
    void setLinkOpener(LinkOpener opener);

    void submitDraft();
    bool isSubmitDisabled() const;

    QSize sizeHint() const override;
    bool eventFilter(QObject *watched, QEvent *event) override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // The height a page wants at `width`: its wrapped text as it wraps there,
    // and the whole of a scrolled content (not its scroll area's own hint).
    int pageHeightForWidth(QWidget *page, int width) const;

    QWidget *buildPlanPage();
    void watchDraftField(DraftField *field);
    void toggleStep(const QUuid &id);

    void refreshHeader();
    void refreshBranch();
    void refreshFile();
    void refreshChips();
    void refreshSteps();
    void refreshTurns();
    void refreshGoal();
    void refreshDraft();
    void refreshError();
    void refreshFrame();

    void branchAppeared(DraftField *field);
    void branchDisappeared();
    void draftFocusChanged(bool focused);
    void returnPressed();

    QPointer<PlanState> m_state;
    PlansPanelCallbacks m_callbacks;
    LinkOpener m_linkOpener;
    bool m_draftFieldFocused = false;

    PlansPanelHeader *m_header = nullptr;
    QStackedWidget *m_stack = nullptr;
    PlanFilePage *m_filePage = nullptr;
    PlansEmptyState *m_emptyPage = nullptr;
    QWidget *m_planPage = nullptr;
    QWidget *m_planContent = nullptr; // the goal, the steps and the turns, in their scroll area
    QScrollArea *m_planScroll = nullptr;

    PlanFileChips *m_chips = nullptr;
    QWidget *m_chipDivider = nullptr;
    QLabel *m_goal = nullptr;
    PlanStepList *m_steps = nullptr;
    QWidget *m_turnsDivider = nullptr;
    PlanConversation *m_turns = nullptr;
    PlansComposer *m_composer = nullptr;
};

} // namespace nerim
