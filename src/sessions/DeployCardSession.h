#pragma once

#include "deploy/DeploySessionState.h"

#include <QCoro/QCoroTask>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>

namespace nerim {

// The one way a deploy card (and the strip above the Deploy pane that shows
// it) reads and acts on the deploy session it shows: the observed state whose
// signals the cards follow, whether the checklist came from the Live menu, and
// the answers and close marks the cards hand in. DeploySession implements it;
// the cards know nothing else of the session or of the canvas that owns it.
// GUI thread only.
class DeployCardSession {
public:
    // The state the cards show and connect to (phase, pane, run going,
    // context, env decisions).
    virtual DeploySessionState &state() const = 0;
    // Whether the checklist now shown was opened from the Live menu for the live deploy.
    virtual bool checklistFromLive() const = 0;

    virtual QCoro::Task<> submitToken(QString name, QString value) = 0;
    virtual QCoro::Task<> submitSecret(QString name, QString value) = 0;
    // Decisions per variable: "send", "skip" or "custom:" and a value.
    virtual QCoro::Task<> applyEnvVarChecklist(QMap<QString, QString> decisions) = 0;
    virtual QCoro::Task<> beginCustomDomain(QString domain) = 0;
    // A card's close mark: what the session is doing is cancelled.
    virtual QCoro::Task<> cancel() = 0;
    // The domain cards' close mark.
    virtual QCoro::Task<> closeDomainCard() = 0;

protected:
    ~DeployCardSession() = default;
};

// A card's hold on its session: null from the moment the session object is
// destroyed (the implementation is a QObject, watched through a QPointer), so
// a card outliving its project never touches a destroyed session.
class DeployCardSessionPointer {
public:
    DeployCardSessionPointer(DeployCardSession *session = nullptr)
        : m_session(session), m_alive(dynamic_cast<QObject *>(session))
    {
    }
    DeployCardSession *get() const { return m_alive ? m_session : nullptr; }
    DeployCardSession *operator->() const { return get(); }
    explicit operator bool() const { return get() != nullptr; }

private:
    DeployCardSession *m_session;
    QPointer<QObject> m_alive;
};

} // namespace nerim
