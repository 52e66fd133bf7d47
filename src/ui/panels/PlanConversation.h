#pragma once

#include "plans/PlanState.h"
#include "ui/panels/PanelWidgets.h"

#include <QHash>
#include <QList>
#include <QUuid>
#include <QWidget>

class QVBoxLayout;

namespace nerim {

class PlanTurnRowView;

// The planning conversation: the user's words verbatim in a bubble at the
// trailing edge, the Plans agent's replies as labelled Markdown, in turn
// order. Rows are kept by id, so new turns add rows and nothing else moves.
//
// Rows for tests: "userTurn" with "userBubble"; "agentTurn" with
// "agentLabel" and, for a reply that changed the plan, "updatedThePlan".
class PlanConversation : public QWidget {
    Q_OBJECT
public:
    PlanConversation(LinkOpener opener, QWidget *parent = nullptr);

    void setTurns(const QList<PlanTurn> &turns);
    // Rows made from now on open links with `opener`; the rows shown are
    // dropped, to be made again by the next setTurns.
    void setLinkOpener(LinkOpener opener);

private:
    LinkOpener m_opener;
    QVBoxLayout *m_layout = nullptr;
    QHash<QUuid, PlanTurnRowView *> m_rows;
    QList<QUuid> m_order;
};

} // namespace nerim
