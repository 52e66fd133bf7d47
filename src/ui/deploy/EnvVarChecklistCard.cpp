// The env-var checklist card: one row per variable with a send / skip /
// replace choice (and a field for the replacement), kept across a new
// payload, and one button that hands the decisions over.
#include "ui/deploy/DeployPaneCards.h"

#include "ui/deploy/DeployCardParts.h"
#include "ui/deploy/DeployControls.h"
#include "ui/design/Font.h"
#include "ui/panes/DetachedTask.h"

#include <QHBoxLayout>
#include <QTimer>
#include <QVBoxLayout>

namespace nerim {

using namespace deploy_cards;

EnvVarChecklistCard::EnvVarChecklistCard(DeployCardSession *session, QWidget *parent)
    : DeployCard(Card::envChecklist, session, parent)
{
    setObjectName(QStringLiteral("EnvVarChecklistCard"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(10);
    buildHeader(QStringLiteral("checklist"), true, true, QString());
    // Opened from the Live menu, the card can be left: the close mark and
    // Escape cancel the env-var step, and the live deploy stays as it was.
    m_close->hide();
    m_empty = textLabel(NmFont::caption(), NmColor::inkSecondary, this, true);
    m_empty->setObjectName(QStringLiteral("emptyLine"));
    m_empty->setContentsMargins(0, 6, 0, 6);
    layout->addWidget(m_empty);
    m_rows = new QWidget(this);
    auto *rows = new QVBoxLayout(m_rows);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(6);
    // The rows scroll when the pane is short; the title and the button stay.
    addBody(m_rows);
    auto *footer = new QHBoxLayout;
    footer->addStretch(1);
    m_primary = new DeployCapsuleButton(QString(), this);
    m_primary->setObjectName(QStringLiteral("primaryButton"));
    primaryInk(m_primary, 16, 6);
    connect(m_primary, &QAbstractButton::clicked, this, &EnvVarChecklistCard::submit);
    footer->addWidget(m_primary);
    layout->addLayout(footer);
    addReturnShortcut();
    if (session) {
        connect(&session->state(), &DeploySessionState::contextChanged, this, [this] { refreshLook(); });
        // The rows start from the choices the user saved at the last deploy, so
        // a value kept local stays local until the user changes its row.
        m_decisions = session->state().envDecisions();
        connect(&session->state(), &DeploySessionState::envDecisionsChanged, this, [this] {
            m_decisions = m_session->state().envDecisions();
            m_customDrafts.clear();
            rebuildRows();
            contentChanged();
        });
    }
}

QStringList EnvVarChecklistCard::currentNames() const
{
    if (!m_session || !m_session->state().context())
        return {};
    return m_session->state().context()->envVarNames;
}

void EnvVarChecklistCard::setPhase(const DeploySessionState::Phase &phase)
{
    DeployCard::setPhase(phase);
}

void EnvVarChecklistCard::refreshLook()
{
    const QStringList names = currentNames();
    if (names != m_names) {
        m_names = names;
        rebuildRows();
    }
    const DeployProvider host = m_phase.provider().value_or(DeployProvider::vercel);
    const std::optional<DeployContext> &context =
        m_session ? m_session->state().context() : std::optional<DeployContext>();
    const bool fromLive = m_session && m_session->checklistFromLive();
    const DeployLook::ChecklistLook look =
        DeployLook::checklistLook(host, m_names, m_answer, context && context->envFileTooLarge, fromLive);
    m_closable = look.closable;
    m_close->setVisible(look.closable);
    m_title->setText(look.title);
    m_lead->setText(look.lead);
    m_empty->setText(look.emptyLine);
    m_empty->setVisible(look.showsEmptyLine);
    m_body->setVisible(!look.showsEmptyLine);
    m_primary->setText(look.buttonTitle);
    m_primary->updateGeometry();
    m_primary->setEnabled(look.buttonEnabled);
    contentChanged();
}

void EnvVarChecklistCard::rebuildRows()
{
    auto *rows = static_cast<QVBoxLayout *>(m_rows->layout());
    while (QLayoutItem *item = rows->takeAt(0)) {
        if (QLayout *row = item->layout()) {
            while (QLayoutItem *child = row->takeAt(0)) {
                delete child->widget();
                delete child;
            }
        }
        delete item;
    }
    for (const QString &name : m_names) {
        // The name, the choice, and the replacement field while it is chosen.
        // Where the pane is wide enough they share one line, the choices of
        // all rows in one column; in a narrow pane the choice goes under the
        // name and the field under the choice.
        auto *row = new DeployFlowLayout(8, 4);
        auto *label = new DeployElidedLabel(NmFont::monoSmall(), NmColor::ink, Qt::ElideMiddle, m_rows);
        label->setObjectName(QStringLiteral("name:") + name);
        label->setText(name);
        label->setFloorWidth(160);
        auto *choice = new DeploySegmentedChoice(DeployLook::envChoiceSegments(), m_rows);
        choice->setObjectName(QStringLiteral("choice:") + name);
        choice->setCurrentTag(DeployLook::rowDecision(m_decisions, name));
        auto *custom = new DeployField(false, 6, 3, m_rows);
        custom->setObjectName(QStringLiteral("custom:") + name);
        custom->setFont(NmFont::monoSmall());
        custom->setEchoMode(QLineEdit::Password);
        custom->setPlaceholderText(DeployLook::Text::customPlaceholder);
        custom->setText(m_customDrafts.value(name));
        custom->setVisible(DeployLook::showsCustomField(choice->currentTag()));
        custom->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        custom->setMinimumWidth(fieldMinimumWidth);
        connect(choice, &DeploySegmentedChoice::tagChosen, this, [this, name, custom](const QString &tag) {
            m_decisions.insert(name, tag);
            custom->setVisible(DeployLook::showsCustomField(tag));
            contentChanged();
        });
        connect(custom, &QLineEdit::textChanged, this, [this, name](const QString &text) {
            m_customDrafts.insert(name, text);
        });
        row->addWidget(label);
        row->addWidget(choice);
        row->addWidget(custom);
        rows->addLayout(row);
    }
}

DeploySegmentedChoice *EnvVarChecklistCard::choice(const QString &name) const
{
    return m_rows->findChild<DeploySegmentedChoice *>(QStringLiteral("choice:") + name);
}

DeployField *EnvVarChecklistCard::customField(const QString &name) const
{
    return m_rows->findChild<DeployField *>(QStringLiteral("custom:") + name);
}

QMap<QString, QString> EnvVarChecklistCard::resolvedDecisions() const
{
    return DeployLook::resolvedDecisions(m_names, m_decisions, m_customDrafts);
}

void EnvVarChecklistCard::leave()
{
    if (m_session && m_closable)
        startDetached(this, m_session->cancel());
}

void EnvVarChecklistCard::showEvent(QShowEvent *event)
{
    DeployCard::showEvent(event);
    // Opened from the menu, the card holds the keyboard at once, as a sheet
    // would: Return applies and Escape leaves without moving the pointer.
    if (m_closable && !m_focusTaken) {
        m_focusTaken = true;
        QTimer::singleShot(0, m_primary, [button = m_primary] { button->setFocus(Qt::OtherFocusReason); });
    }
}

void EnvVarChecklistCard::submit()
{
    if (!m_session || !m_primary->isEnabled())
        return;
    m_answer.answered = true;
    const QMap<QString, QString> decisions = resolvedDecisions();
    refreshLook();
    startDetached(this, m_session->applyEnvVarChecklist(decisions));
}

} // namespace nerim
