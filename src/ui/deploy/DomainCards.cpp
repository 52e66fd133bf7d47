// The custom-domain cards: the domain input with "Fetch DNS records", and
// the verify card listing the records to add, each with a copy button, with
// the checking line while the Deploy agent polls DNS.
#include "ui/deploy/DeployPaneCards.h"

#include "ui/deploy/DeployCardParts.h"
#include "ui/deploy/DeployControls.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/NmActivitySpinner.h"
#include "ui/panes/DetachedTask.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace nerim {

using namespace deploy_cards;

namespace {

// A record row: type, name and value on a light rounded inset.
class RecordRow : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(NmPainter::continuousRoundedRectPath(QRectF(rect()), 4), qColor(NmColor::paperShade, 0.4));
    }
};

} // namespace

DomainInputCard::DomainInputCard(DeployCardSession *session, QWidget *parent)
    : DeployCard(Card::domainInput, session, parent)
{
    setObjectName(QStringLiteral("DomainInputCard"));
    const DeployLook::DomainInputLook look = DeployLook::domainInputLook(QString());
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(10);
    buildHeader(look.symbol, true, true, QString());
    auto *row = new DeployFlowLayout(8, 8);
    m_field = new DeployField(true, 8, 6, this);
    m_field->setObjectName(QStringLiteral("cardField"));
    m_field->setFont(NmFont::monoSmall());
    m_field->setPlaceholderText(look.placeholder);
    m_field->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_field->setMinimumWidth(fieldMinimumWidth);
    connect(m_field, &QLineEdit::textChanged, this, [this] { refreshLook(); });
    connect(m_field, &QLineEdit::returnPressed, this, &DomainInputCard::submit);
    m_primary = new DeployCapsuleButton(look.buttonTitle, this);
    m_primary->setObjectName(QStringLiteral("primaryButton"));
    primaryInk(m_primary, 12, 6);
    connect(m_primary, &QAbstractButton::clicked, this, &DomainInputCard::submit);
    row->addWidget(m_field);
    row->addWidget(m_primary);
    layout->addLayout(row);
    addReturnShortcut();
}

void DomainInputCard::refreshLook()
{
    const DeployLook::DomainInputLook look = DeployLook::domainInputLook(m_field->text());
    m_title->setText(look.title);
    m_lead->setText(look.lead);
    m_primary->setEnabled(look.buttonEnabled);
    contentChanged();
}

void DomainInputCard::submit()
{
    if (!m_session)
        return;
    const std::optional<QString> domain = DeployLook::domainSubmission(m_field->text());
    if (!domain)
        return;
    // The draft stays: the controller's next phase replaces this card.
    m_answer.answered = true;
    startDetached(this, m_session->beginCustomDomain(*domain));
}

void DomainInputCard::leave()
{
    if (m_session)
        startDetached(this, m_session->closeDomainCard());
}

DomainVerifyCard::DomainVerifyCard(DeployCardSession *session, QWidget *parent)
    : DeployCard(Card::domainVerify, session, parent)
{
    setObjectName(QStringLiteral("DomainVerifyCard"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(10);
    buildHeader(QStringLiteral("globe"), true, true, QString());
    m_rows = new QWidget(this);
    auto *rows = new QVBoxLayout(m_rows);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(6);
    // The records scroll when the pane is short; the checking line stays.
    addBody(m_rows);
    auto *checking = new QHBoxLayout;
    checking->setSpacing(8);
    auto *spinner = new NmActivitySpinner(this);
    spinner->setObjectName(QStringLiteral("checkingSpinner"));
    spinner->setDiameter(10);
    spinner->setColor(qColor(NmColor::inkSecondary));
    m_checking = textLabel(NmFont::caption(), NmColor::inkSecondary, this, false);
    m_checking->setObjectName(QStringLiteral("checkingLine"));
    checking->addWidget(spinner, 0, Qt::AlignVCenter);
    checking->addWidget(m_checking, 1, Qt::AlignVCenter);
    layout->addLayout(checking);
}

void DomainVerifyCard::setPhase(const DeploySessionState::Phase &phase)
{
    DeployCard::setPhase(phase);
}

void DomainVerifyCard::refreshLook()
{
    const DeployLook::DomainVerifyLook look = DeployLook::domainVerifyLook(m_phase.domain(), m_phase.attemptsRemaining());
    m_title->setText(look.title);
    m_lead->setText(look.lead);
    m_checking->setText(look.checkingLine);
    if (m_phase.records() != m_records) {
        m_records = m_phase.records();
        auto *rows = static_cast<QVBoxLayout *>(m_rows->layout());
        qDeleteAll(m_rows->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly));
        for (const DomainRecord &record : m_records) {
            auto *row = new RecordRow(m_rows);
            row->setObjectName(QStringLiteral("record:") + record.identity());
            auto *line = new QHBoxLayout(row);
            line->setContentsMargins(6, 6, 6, 6);
            line->setSpacing(8);
            QLabel *type = textLabel(NmFont::monoSmall(), NmColor::ink, row, false);
            type->setText(record.type);
            type->setMinimumWidth(50);
            // A long name or value is shortened in the middle, its whole text
            // on hover, so the copy button stays inside the card.
            auto *name = new DeployElidedLabel(NmFont::monoSmall(), NmColor::ink, Qt::ElideMiddle, row);
            name->setText(record.name);
            name->setFloorWidth(100);
            auto *valueLabel = new DeployElidedLabel(NmFont::monoSmall(), NmColor::ink, Qt::ElideMiddle, row);
            valueLabel->setObjectName(QStringLiteral("recordValue"));
            valueLabel->setText(record.value);
            valueLabel->setFloorWidth(100); // a long name shortens before the value vanishes
            valueLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
            line->addWidget(type);
            line->addWidget(name);
            line->addWidget(valueLabel, 1);
            QToolButton *copy = deployIconButton(QStringLiteral("doc.on.doc"), 10, NmColor::inkSecondary,
                                                 qCeil(NmIcons::boxSide(10)) + 8, DeployLook::Text::copyValueHelp, row);
            copy->setObjectName(QStringLiteral("copyValue"));
            const QString value = record.value;
            connect(copy, &QToolButton::clicked, this, [value] {
                QGuiApplication::clipboard()->clear();
                QGuiApplication::clipboard()->setText(value);
            });
            line->addWidget(copy);
            rows->addWidget(row);
        }
    }
    m_body->setVisible(!m_records.isEmpty());
    contentChanged();
}

void DomainVerifyCard::leave()
{
    if (m_session)
        startDetached(this, m_session->closeDomainCard());
}

QList<QToolButton *> DomainVerifyCard::copyButtons() const
{
    return m_rows->findChildren<QToolButton *>(QStringLiteral("copyValue"));
}

} // namespace nerim
