#pragma once

#include "plans/PlanStep.h"
#include "ui/panels/PanelWidgets.h"
#include "ui/workspace/CanvasPanelWiring.h"

#include <QHash>
#include <QPointer>
#include <QUuid>
#include <QWidget>

class QLabel;
class QStackedWidget;
class QVBoxLayout;
class QHBoxLayout;

namespace nerim {

class NmActivitySpinner;
class PlanState;
class PlanStepRowView;
class PlanTurnRowView;

// The Plans side panel of the canvas: a dark surface with a header (title,
// organize, start over, expand, close) and one of three branches: an open plan
// file, the empty state inviting a first goal, or the plan column (file
// chips, goal, numbered steps, the conversation and the composer). It reads
// the project's PlanState and hands all work to the six callbacks; it writes
// only the draft, the draft field's focus mirror, expand/close and step
// statuses. Rows are kept by id, so a change redraws in place.
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

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    friend class DraftBranch;
    void buildHeader(QVBoxLayout *column);
    QWidget *buildFilePage();
    QWidget *buildEmptyPage();
    QWidget *buildPlanPage();
    QWidget *buildErrorLine(QWidget *parent);

    void refreshHeader();
    void refreshBranch();
    void refreshFile();
    void refreshChips();
    void refreshSteps();
    void refreshTurns();
    void refreshDraft();
    void refreshError();
    void refreshFrame();

    void branchAppeared(class DraftField *field);
    void branchDisappeared();
    void draftFocusChanged(bool focused);
    void returnPressed();

    QPointer<PlanState> m_state;
    PlansPanelCallbacks m_callbacks;
    LinkOpener m_linkOpener;
    bool m_draftFieldFocused = false;

    QWidget *m_header = nullptr;
    QLabel *m_generatingDot = nullptr;
    QWidget *m_organizeSlot = nullptr;
    PanelIconButton *m_organize = nullptr;
    NmActivitySpinner *m_organizeSpinner = nullptr;
    PanelIconButton *m_startOver = nullptr;
    PanelIconButton *m_expand = nullptr;
    PanelIconButton *m_close = nullptr;

    QStackedWidget *m_stack = nullptr;
    QWidget *m_filePage = nullptr;
    QWidget *m_emptyPage = nullptr;
    QWidget *m_planPage = nullptr;

    MiddleElidedLabel *m_fileName = nullptr;
    PlanMarkdownView *m_fileText = nullptr;

    DraftField *m_emptyDraft = nullptr;
    DraftField *m_composerDraft = nullptr;
    class CapsuleButton *m_generateButton = nullptr;
    class CapsuleButton *m_sendButton = nullptr;
    QWidget *m_emptyError = nullptr;
    QWidget *m_composerError = nullptr;

    QWidget *m_chipStrip = nullptr;
    QHBoxLayout *m_chipLayout = nullptr;
    QWidget *m_chipDivider = nullptr;
    QLabel *m_goal = nullptr;
    QWidget *m_stepsBox = nullptr;
    QVBoxLayout *m_stepsLayout = nullptr;
    QWidget *m_turnsDivider = nullptr;
    QWidget *m_turnsBox = nullptr;
    QVBoxLayout *m_turnsLayout = nullptr;
    QHash<QUuid, PlanStepRowView *> m_stepRows;
    QHash<QUuid, PlanTurnRowView *> m_turnRows;
    QList<QUuid> m_turnOrder;
};

} // namespace nerim
