// The token and secret cards: the agent's reason, "NAME=", a masked field and
// Submit, handing what was pasted to the deploy session; the close mark
// cancels the deploy.
#include "ui/deploy/DeployPaneCards.h"

#include "ui/deploy/DeployCardParts.h"
#include "ui/deploy/DeployControls.h"
#include "ui/design/Font.h"
#include "ui/panes/DetachedTask.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace nerim {

using namespace deploy_cards;

PasteCard::PasteCard(DeployLook::CardKind kind, DeployCardSession *session, QWidget *parent)
    : DeployCard(kind, session, parent)
{
    setObjectName(kind == Card::token ? QStringLiteral("TokenPasteCard") : QStringLiteral("SecretPasteCard"));
    const DeployLook::PasteCardLook look = DeployLook::pasteCardLook(kind, m_phase, QString());
    m_bottomRule = look.bottomRule;
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->setSpacing(8);
    buildHeader(look.symbol, false, true, look.closeHelp);

    // "NAME=" then the field with Submit; a name too long to leave the field
    // room puts the field and Submit on the line below it.
    auto *input = new DeployFlowLayout(8, 6);
    m_name = new DeployElidedLabel(NmFont::monoSmall(), NmColor::inkSecondary, Qt::ElideMiddle, this);
    m_name->setObjectName(QStringLiteral("varLabel"));
    auto *entry = new QWidget(this);
    entry->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto *entryRow = new QHBoxLayout(entry);
    entryRow->setContentsMargins(0, 0, 0, 0);
    entryRow->setSpacing(8);
    m_field = new DeployField(true, 8, 4, entry);
    m_field->setObjectName(QStringLiteral("cardField"));
    m_field->setFont(NmFont::monoSmall());
    m_field->setEchoMode(QLineEdit::Password);
    m_field->setPlaceholderText(look.placeholder);
    m_field->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_field->setMinimumWidth(fieldMinimumWidth);
    connect(m_field, &QLineEdit::textChanged, this, [this] { refreshLook(); });
    connect(m_field, &QLineEdit::returnPressed, this, &PasteCard::submit);
    m_primary = new DeployCapsuleButton(look.submitTitle, entry);
    m_primary->setObjectName(QStringLiteral("primaryButton"));
    m_primary->setLook(NmFont::caption(), {NmColor::ink}, {NmColor::accent, 0.2}, DeployLook::Tint{NmColor::accent, 0.5},
                       0.5);
    m_primary->setPadding(12, 4);
    connect(m_primary, &QAbstractButton::clicked, this, &PasteCard::submit);
    entryRow->addWidget(m_field, 1, Qt::AlignVCenter);
    entryRow->addWidget(m_primary, 0, Qt::AlignVCenter);
    input->addWidget(m_name);
    input->addWidget(entry);
    layout->addLayout(input);
    addReturnShortcut();
}

void PasteCard::setPhase(const DeploySessionState::Phase &phase)
{
    DeployCard::setPhase(phase);
}

void PasteCard::refreshLook()
{
    const DeployLook::PasteCardLook look = DeployLook::pasteCardLook(m_kind, m_phase, m_field->text());
    m_lead->setText(look.explanation);
    m_name->setText(look.label);
    m_primary->setEnabled(look.submitEnabled);
    contentChanged();
}

void PasteCard::leave()
{
    if (m_session)
        startDetached(this, m_session->cancel());
}

void PasteCard::submit()
{
    if (!m_session)
        return;
    const std::optional<QString> value = DeployLook::pasteSubmission(m_kind, m_field->text());
    if (!value)
        return;
    // The field is emptied first: the value lives on only in the controller,
    // and a second Return at once finds nothing to send.
    m_field->clear();
    m_answer.answered = true;
    const QString name = m_phase.varName();
    startDetached(this, m_kind == Card::token ? m_session->submitToken(name, *value)
                                              : m_session->submitSecret(name, *value));
}

} // namespace nerim
