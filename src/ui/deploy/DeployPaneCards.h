#pragma once

#include "ui/deploy/DeployLook.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QUuid>

namespace nerim {

class ProjectCanvasViewModel;

// One deploy card: its own padding and a tinted background, a title, a text
// and the controls of its kind. A card whose case comes again with a new
// payload is updated in place and keeps what the user typed.
class DeployCard : public QFrame {
    Q_OBJECT
public:
    DeployCard(DeployLook::CardKind kind, ProjectCanvasViewModel *canvas, QWidget *parent = nullptr);

    DeployLook::CardKind kind() const { return m_kind; }
    void setPhase(const DeploySessionState::Phase &phase);

    QLineEdit *field() const { return m_field; }
    QPushButton *primaryButton() const { return m_primary; }
    QLabel *titleLabel() const { return m_title; }
    // The checklist's choice box and custom field of a variable.
    QComboBox *choiceBox(const QString &name) const;
    QLineEdit *customField(const QString &name) const;
    // The primary action, as the button and Return do.
    void submit();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void buildChecklist(const QStringList &names);
    void refreshEnabled();

    DeployLook::CardKind m_kind;
    QPointer<ProjectCanvasViewModel> m_canvas;
    DeploySessionState::Phase m_phase;
    QLabel *m_title = nullptr;
    QLabel *m_text = nullptr;
    QLineEdit *m_field = nullptr;
    QPushButton *m_primary = nullptr;
    QWidget *m_rows = nullptr;
    QStringList m_names;
    // Set by a submit until the phase moves on, so a second Return sends nothing.
    bool m_submitted = false;
};

// The strip above one agent pane that shows the deploy card the session asks
// for, on the Deploy pane only; nothing (and no room) otherwise.
class DeployPaneOverlay : public QWidget {
    Q_OBJECT
public:
    DeployPaneOverlay(ProjectCanvasViewModel *canvas, const QUuid &paneID, QWidget *parent = nullptr);
    DeployCard *card() const { return m_card; }

private:
    void refresh();
    QPointer<ProjectCanvasViewModel> m_canvas;
    QUuid m_paneID;
    QPointer<DeployCard> m_card;
};

} // namespace nerim
