#pragma once

#include "agents/AgentPaneState.h"
#include "panes-store/AgentRole.h"
#include "persistence/AppState.h"
#include "ui/panes/AgentPaneLook.h"

#include <QPointF>
#include <QPointer>
#include <QUuid>
#include <QWidget>
#include <functional>

class QLabel;
class QMenu;

namespace nerim {


class PaneIconButton;
class PaneRenameField;
class RoleMenuButton;
class StatusPill;
class TaskCompletePulseWrapper;
class TranscriptView;

// One agent pane: a header with the agent's name (renamed in place by a
// double click), its role menu, its responsibility, its status and buttons
// to expand and close the pane, and under it the transcript, which follows
// the newest line. It reads the pane's state and reports what the user does
// through its callbacks; it never calls the canvas controller itself.
//
// The pane is drawn on the pane surface, at 85 % opacity while another pane
// has the focus, no wider than 360 points unless expanded, and brightens
// briefly each time the agent reports a finished task. A click anywhere in
// it asks for the focus. Clicks into the transcript focus the pane and select
// text but never take the keyboard from the prompt field; the rename field
// claims Escape and Return before the window's shortcuts; menus are built by
// functions that return them (tests trigger their actions).
//
// Children for tests: "nameLabel", "systemName", "renameField", "roleMenu",
// "statusPill", "expandButton", "closeButton", "responsibility", "transcript".
class AgentPaneView : public QWidget {
    Q_OBJECT
public:
    struct Callbacks {
        std::function<void()> onFocus;
        std::function<void()> onClose;
        std::function<void()> onToggleExpand;
        // With the new name, trimmed.
        std::function<void(const QString &)> onRename;
        // Optional: without it the view sets the pane's role itself.
        std::function<void(AgentRole)> onRoleChanged;
    };

    AgentPaneView(AgentPaneState *pane, AppState::OutputMode outputMode, Callbacks callbacks,
                  QWidget *parent = nullptr);
    ~AgentPaneView() override;

    AgentPaneState *pane() const { return m_pane; }
    QUuid paneId() const { return m_paneId; }

    void setFocused(bool focused);
    bool isFocused() const { return m_focused; }
    void setExpanded(bool expanded);
    bool isExpanded() const { return m_expanded; }
    void setOutputMode(AppState::OutputMode mode);
    // Sets the opacity its focus calls for at once (after a transition that
    // ended at full opacity).
    void restoreFocusOpacity();

    // Renaming in place (not for system panes).
    void beginRename();
    void commitRename();
    void cancelRename();
    const AgentPaneLook::RenameState &renameState() const { return m_rename; }
    // The name's context menu: "Rename…".
    QMenu *buildNameMenu(QWidget *parent);

    // The number of task-complete lines the pulse has counted.
    int taskCompleteCount() const { return m_taskCompleteCount; }

    // The least height that shows the whole header and, with `withLine`, one
    // line of the transcript under it. The column keeps a pane at least this
    // tall while a deploy card stands above it.
    int compactHeight(bool withLine) const;

    TranscriptView *transcript() const { return m_transcript; }
    RoleMenuButton *roleMenu() const { return m_roleMenu; }
    StatusPill *statusPill() const { return m_statusPill; }
    PaneIconButton *expandButton() const { return m_expandButton; }
    PaneIconButton *closeButton() const { return m_closeButton; }
    PaneRenameField *renameField() const { return m_renameField; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void build();
    void refreshName();
    void refreshNameForm();
    void refreshResponsibility();
    void countTaskCompletes();
    void chooseRole(AgentRole role);

    QPointer<AgentPaneState> m_pane;
    QUuid m_paneId;
    Callbacks m_callbacks;
    AppState::OutputMode m_outputMode;
    bool m_focused = false;
    bool m_expanded = false;
    AgentPaneLook::RenameState m_rename;

    QWidget *m_header = nullptr;
    QWidget *m_nameLabel = nullptr;
    QWidget *m_systemName = nullptr;
    QWidget *m_systemNameLabel = nullptr;
    PaneRenameField *m_renameField = nullptr;
    RoleMenuButton *m_roleMenu = nullptr;
    StatusPill *m_statusPill = nullptr;
    PaneIconButton *m_expandButton = nullptr;
    PaneIconButton *m_closeButton = nullptr;
    QWidget *m_responsibility = nullptr;
    TranscriptView *m_transcript = nullptr;
    TaskCompletePulseWrapper *m_pulse = nullptr;

    quint64 m_lastPressTimestamp = 0;
    QPointF m_lastPressPosition;
    int m_taskCompleteCount = 0;
    qsizetype m_countedLines = 0;
    QUuid m_lastCountedLineId;
    // The rest of a long transcript is counted in the next turn.
    bool m_countingLater = false;
};

} // namespace nerim
