#pragma once

#include "sessions/DeployCardSession.h"
#include "ui/deploy/DeployLook.h"

#include <QLabel>
#include <QMap>
#include <QPointer>
#include <QScrollArea>
#include <QToolButton>
#include <QUuid>
#include <QWidget>

namespace nerim {

class DeployCapsuleButton;
class DeployElidedLabel;
class DeployField;
class DeploySegmentedChoice;

// One deploy card above the Deploy pane: it draws its own padding and its
// tinted background and hands the user's answer to the session it shows
// (through DeployCardSession, and only while that session exists).
// A card whose phase comes again with a new payload is updated in place and
// keeps what the user typed.
class DeployCard : public QWidget {
    Q_OBJECT
public:
    DeployCard(DeployLook::CardKind kind, DeployCardSession *session, QWidget *parent = nullptr);

    DeployLook::CardKind kind() const { return m_kind; }
    // The payload of the current phase.
    virtual void setPhase(const DeploySessionState::Phase &phase);
    // Whether the Deploy pane has an agent run going (or queued), as the
    // session reports it: a card that has answered waits only while it has.
    void setAgentRunning(bool running);
    DeployLook::AnswerState answerState() const { return m_answer; }

    // The card's action, as its button and Return do.
    virtual void submit() = 0;
    // The close mark's action, which Escape anywhere in the card takes too
    // while the mark is shown: the same controller call that closing the
    // Deploy pane at this step makes.
    virtual void leave() = 0;
    bool canLeave() const;
    // Takes the keyboard: its field, or the card itself (for Escape).
    void takeKeyboard();

    DeployField *field() const { return m_field; }
    DeployCapsuleButton *primaryButton() const { return m_primary; }
    // The middle that scrolls when the card is given less than its height
    // (the checklist's rows, the DNS records); none on the smaller cards.
    QScrollArea *body() const { return m_body; }

    // The whole card at `width`: its middle at its full height.
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    // The least height that keeps the header and the main control or status
    // line in view: the middle shows a part of itself and scrolls.
    int leastHeightForWidth(int width) const;
    // The card's height within `height` (between its least and its whole
    // height) at which its scrolling middle shows whole rows only.
    int fittedHeight(int width, int height) const;
    QToolButton *closeButton() const { return m_close; }
    QLabel *titleLabel() const { return m_title; }
    QLabel *leadLabel() const { return m_lead; }

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    virtual void refreshLook() = 0;
    // Header row: symbol, title (optional) and lead or explanation, close mark (optional).
    void buildHeader(const QString &symbol, bool withTitle, bool withClose, const QString &closeHelp);
    void addReturnShortcut();
    // Asks for the card's height again after its texts or rows changed.
    void contentChanged();
    // Puts `content` in the card's scrolling middle, added to the card's layout.
    void addBody(QWidget *content);
    // The card's height at `width` with its middle whole, or at its least.
    int withMiddle(int width, bool whole) const;

    DeployLook::CardKind m_kind;
    DeployCardSessionPointer m_session;
    DeploySessionState::Phase m_phase;
    DeployLook::AnswerState m_answer;
    QLabel *m_title = nullptr;
    QLabel *m_lead = nullptr;
    DeployField *m_field = nullptr;
    DeployCapsuleButton *m_primary = nullptr;
    QToolButton *m_close = nullptr;
    QScrollArea *m_body = nullptr;
    bool m_bottomRule = false;
};

// The token and secret cards: the agent's reason, "NAME=", a masked field
// and Submit; the close mark cancels the deploy.
class PasteCard : public DeployCard {
    Q_OBJECT
public:
    PasteCard(DeployLook::CardKind kind, DeployCardSession *session, QWidget *parent = nullptr);
    void setPhase(const DeploySessionState::Phase &phase) override;
    void submit() override;
    // Cancels the deploy (or the step of the live deploy).
    void leave() override;
    DeployElidedLabel *nameLabel() const { return m_name; }

protected:
    void refreshLook() override;

private:
    DeployElidedLabel *m_name = nullptr;
};

// The env-var checklist: one row per variable with a send / skip / replace
// choice, and one button that hands the decisions over.
class EnvVarChecklistCard : public DeployCard {
    Q_OBJECT
public:
    EnvVarChecklistCard(DeployCardSession *session, QWidget *parent = nullptr);
    void setPhase(const DeploySessionState::Phase &phase) override;
    void submit() override;
    // The close mark and Escape, on the checklist opened from the Live menu:
    // the controller's cancel, which leaves the live deploy as it was.
    void leave() override;

    QStringList names() const { return m_names; }
    DeploySegmentedChoice *choice(const QString &name) const;
    DeployField *customField(const QString &name) const;
    QLabel *emptyLabel() const { return m_empty; }
    // What the button would hand over now.
    QMap<QString, QString> resolvedDecisions() const;

protected:
    void refreshLook() override;
    void showEvent(QShowEvent *event) override;

private:
    void rebuildRows();
    QStringList currentNames() const;

    bool m_closable = false;
    bool m_focusTaken = false;
    QWidget *m_rows = nullptr;
    QLabel *m_empty = nullptr;
    QStringList m_names;
    QMap<QString, QString> m_decisions;
    QMap<QString, QString> m_customDrafts;
};

// The domain input card: the domain field and "Fetch DNS records".
class DomainInputCard : public DeployCard {
    Q_OBJECT
public:
    DomainInputCard(DeployCardSession *session, QWidget *parent = nullptr);
    void submit() override;
    // Back to the live deploy.
    void leave() override;

protected:
    void refreshLook() override;
};

// The verify card: the records to add, each with a copy button, and the
// checking line while the Deploy agent polls DNS.
class DomainVerifyCard : public DeployCard {
    Q_OBJECT
public:
    DomainVerifyCard(DeployCardSession *session, QWidget *parent = nullptr);
    void setPhase(const DeploySessionState::Phase &phase) override;
    void submit() override {}
    // Back to the live deploy, the DNS checks stopped.
    void leave() override;

    QList<QToolButton *> copyButtons() const;
    QLabel *checkingLabel() const { return m_checking; }

protected:
    void refreshLook() override;

private:
    QWidget *m_rows = nullptr;
    QLabel *m_checking = nullptr;
    QList<DomainRecord> m_records;
};

// The strip above one agent pane that shows the deploy card the session asks
// for, on the Deploy pane only; nothing (and no room) otherwise. It asks its
// parent to place it again whenever its card comes, goes or changes size.
class DeployPaneOverlay : public QWidget {
    Q_OBJECT
public:
    DeployPaneOverlay(DeployCardSession *session, const QUuid &paneID, QWidget *parent = nullptr);
    DeployCard *card() const { return m_card; }
    // The agent column asks this (by name, it knows no deploy types) for the
    // least height at which the card keeps its main control and status in view.
    Q_INVOKABLE int leastHeightForWidth(int width) const;
    // And, given room between that and the whole card, how much of it the
    // card takes so that its scrolling middle shows whole rows.
    Q_INVOKABLE int fittedHeight(int width, int height) const;
    // The card's whole height (a layout item would ask the card's layout,
    // which counts the scrolling middle at its least).
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

    // Shows, updates or drops the card for the session's phase. The overlay
    // follows the session's state itself; whoever makes it also calls this
    // when the canvas's panes change.
    void refresh();

protected:
    bool event(QEvent *event) override;

private:
    bool deployAgentRunning() const;

    DeployCardSessionPointer m_session;
    QUuid m_paneID;
    QPointer<DeployCard> m_card;
};

} // namespace nerim
