// The strip above an agent pane that shows the deploy card the session asks
// for (on the Deploy pane only): which card, made or updated as the phase
// changes, and the heights the agent column places it at.
#include "ui/deploy/DeployPaneCards.h"

#include "ui/deploy/DeployCardParts.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QVBoxLayout>

namespace nerim {

using namespace deploy_cards;

DeployPaneOverlay::DeployPaneOverlay(DeployCardSession *session, const QUuid &paneID, QWidget *parent)
    : QWidget(parent), m_session(session), m_paneID(paneID)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    if (session) {
        connect(&session->state(), &DeploySessionState::phaseChanged, this, &DeployPaneOverlay::refresh);
        connect(&session->state(), &DeploySessionState::deployPaneIDChanged, this, &DeployPaneOverlay::refresh);
        // A card that has answered waits while the session says a run goes.
        connect(&session->state(), &DeploySessionState::agentRunGoingChanged, this, [this] {
            if (m_card)
                m_card->setAgentRunning(deployAgentRunning());
        });
    }
    refresh();
}

int DeployPaneOverlay::leastHeightForWidth(int width) const
{
    return m_card && !isHidden() ? m_card->leastHeightForWidth(width) : 0;
}

int DeployPaneOverlay::fittedHeight(int width, int height) const
{
    return m_card && !isHidden() ? m_card->fittedHeight(width, height) : 0;
}

int DeployPaneOverlay::heightForWidth(int width) const
{
    return m_card && !isHidden() ? m_card->heightForWidth(width) : 0;
}

bool DeployPaneOverlay::deployAgentRunning() const
{
    return m_session && m_session->state().agentRunGoing();
}

void DeployPaneOverlay::refresh()
{
    const DeploySessionState::Phase phase =
        m_session ? m_session->state().phase() : DeploySessionState::Phase::idle();
    const Card kind = m_session ? DeployLook::cardKind(m_session->state().deployPaneID(), m_paneID, phase) : Card::none;
    // A card that takes over from one that held the keyboard holds it in
    // turn, so that Escape still closes the step (the verify card after the
    // domain typed into the input card).
    const bool hadKeyboard = m_card && m_card->isAncestorOf(QApplication::focusWidget());
    if (m_card && m_card->kind() != kind) {
        m_card->hide();
        m_card->deleteLater();
        m_card = nullptr;
    }
    if (kind != Card::none && !m_card) {
        switch (kind) {
        case Card::token:
        case Card::secret: m_card = new PasteCard(kind, m_session.get(), this); break;
        case Card::envChecklist: m_card = new EnvVarChecklistCard(m_session.get(), this); break;
        case Card::domainInput: m_card = new DomainInputCard(m_session.get(), this); break;
        case Card::domainVerify: m_card = new DomainVerifyCard(m_session.get(), this); break;
        case Card::none: break;
        }
        layout()->addWidget(m_card);
    }
    if (m_card) {
        m_card->setAgentRunning(deployAgentRunning());
        m_card->setPhase(phase);
        if (hadKeyboard && !m_card->isAncestorOf(QApplication::focusWidget()))
            QTimer::singleShot(0, m_card, [card = m_card] {
                if (card)
                    card->takeKeyboard();
            });
    }
    setVisible(m_card != nullptr);
    updateGeometry();
}

bool DeployPaneOverlay::event(QEvent *event)
{
    // The card's height changes with its rows and wrapped lines: the parent
    // places this strip again.
    if (event->type() == QEvent::LayoutRequest)
        updateGeometry();
    return QWidget::event(event);
}

} // namespace nerim
