#include "ui/deploy/DeployPaneCards.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/Strings.h"
#include "ui/panes/DetachedTask.h"

#include <QClipboard>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

namespace nerim {

namespace {

using Card = DeployLook::CardKind;
using Kind = DeploySessionState::Phase::Kind;

QToolButton *iconButton(const QString &symbol, const QString &help, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setToolTip(help);
    button->setIcon(QIcon(QPixmap::fromImage(
        NmIcons::image(symbol, NmSymbolWeight::medium, 9, qColor(NmColor::inkSecondary), 2.0))));
    button->setFixedSize(18, 18);
    return button;
}

QString styleFor(const QString &objectName)
{
    return QStringLiteral("#%1 { background: %2; border: 1px solid %3; border-radius: 6px; padding: 4px 8px; }")
        .arg(objectName, qColor(NmColor::paperShade).name(), qColor(NmColor::hairline, 0.6).name(QColor::HexArgb));
}

} // namespace

DeployCard::DeployCard(DeployLook::CardKind kind, ProjectCanvasViewModel *canvas, QWidget *parent)
    : QFrame(parent), m_kind(kind), m_canvas(canvas)
{
    setObjectName(QStringLiteral("deployCard"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(8);
    auto *header = new QHBoxLayout;
    m_title = new QLabel(this);
    m_title->setFont(NmFont::bodyMedium());
    m_title->setTextFormat(Qt::PlainText);
    m_title->setWordWrap(true);
    header->addWidget(m_title, 1);
    if (kind == Card::domainInput || kind == Card::domainVerify) {
        QToolButton *close = iconButton(QStringLiteral("xmark"), Strings::Deploy::closeHelp, this);
        close->setObjectName(QStringLiteral("closeButton"));
        connect(close, &QToolButton::clicked, this, [this] {
            if (m_canvas)
                startDetached(this, m_canvas->closeDomainCard());
        });
        header->addWidget(close, 0, Qt::AlignTop);
    }
    layout->addLayout(header);
    m_text = new QLabel(this);
    m_text->setFont(NmFont::caption());
    m_text->setTextFormat(Qt::PlainText);
    m_text->setWordWrap(true);
    QPalette secondary = m_text->palette();
    secondary.setColor(QPalette::WindowText, qColor(NmColor::inkSecondary));
    m_text->setPalette(secondary);
    layout->addWidget(m_text);

    m_rows = new QWidget(this);
    layout->addWidget(m_rows);
    m_rows->setVisible(kind == Card::envChecklist || kind == Card::domainVerify);

    auto *actions = new QHBoxLayout;
    if (kind == Card::token || kind == Card::secret || kind == Card::domainInput) {
        m_field = new QLineEdit(this);
        m_field->setObjectName(QStringLiteral("cardField"));
        m_field->setFont(NmFont::body());
        m_field->setStyleSheet(styleFor(QStringLiteral("cardField")));
        if (kind == Card::domainInput) {
            m_field->setPlaceholderText(Strings::Deploy::domainPlaceholder);
        } else {
            m_field->setPlaceholderText(Strings::Deploy::pastePlaceholder);
            m_field->setEchoMode(QLineEdit::Password);
        }
        connect(m_field, &QLineEdit::textChanged, this, &DeployCard::refreshEnabled);
        connect(m_field, &QLineEdit::returnPressed, this, &DeployCard::submit);
        actions->addWidget(m_field, 1);
    } else {
        actions->addStretch(1);
    }
    if (kind != Card::domainVerify) {
        const QString label = kind == Card::envChecklist  ? Strings::Deploy::uploadButton
                              : kind == Card::domainInput ? Strings::Deploy::fetchRecords
                                                          : Strings::Deploy::continueButton;
        m_primary = new QPushButton(label, this);
        m_primary->setObjectName(QStringLiteral("primaryButton"));
        m_primary->setFont(NmFont::bodyMedium());
        m_primary->setCursor(Qt::PointingHandCursor);
        m_primary->setStyleSheet(QStringLiteral("#primaryButton { color: white; background: %1; border: none; "
                                                "border-radius: 11px; padding: 4px 12px; }"
                                                "#primaryButton:disabled { background: %2; }")
                                     .arg(qColor(NmColor::ink).name(), qColor(NmColor::inkTertiary).name()));
        connect(m_primary, &QPushButton::clicked, this, &DeployCard::submit);
        actions->addWidget(m_primary);
        // Return belongs to this card only: another pane's card or the prompt bar keeps its own.
        auto *returnKey = new QShortcut(QKeySequence(Qt::Key_Return), this);
        returnKey->setContext(Qt::WidgetWithChildrenShortcut);
        connect(returnKey, &QShortcut::activated, this, &DeployCard::submit);
        auto *enterKey = new QShortcut(QKeySequence(Qt::Key_Enter), this);
        enterKey->setContext(Qt::WidgetWithChildrenShortcut);
        connect(enterKey, &QShortcut::activated, this, &DeployCard::submit);
    }
    layout->addLayout(actions);
}

void DeployCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(NmPainter::continuousRoundedRectPath(QRectF(rect()).adjusted(6, 4, -6, -4), 10),
                     qColor(NmColor::accent, 0.08));
}

void DeployCard::setPhase(const DeploySessionState::Phase &phase)
{
    if (!(phase == m_phase))
        m_submitted = false;
    m_phase = phase;
    const QString provider = phase.provider() ? phase.provider()->displayName() : QString();
    switch (m_kind) {
    case Card::token:
        m_title->setText(phase.provider() ? Strings::Deploy::tokenTitle.arg(provider)
                                          : Strings::Deploy::tokenTitleNoProvider);
        m_text->setText(phase.explanation().isEmpty() ? phase.varName() : phase.explanation());
        break;
    case Card::secret:
        m_title->setText(Strings::Deploy::secretTitle.arg(phase.varName()));
        m_text->setText(phase.explanation());
        break;
    case Card::envChecklist: {
        m_title->setText(Strings::Deploy::checklistTitle.arg(provider));
        const QStringList names =
            m_canvas && m_canvas->deployState().context() ? m_canvas->deployState().context()->envVarNames : QStringList{};
        m_text->setText(names.isEmpty() ? Strings::Deploy::checklistEmpty : QString());
        m_text->setVisible(names.isEmpty());
        if (names != m_names)
            buildChecklist(names);
        break;
    }
    case Card::domainInput:
        m_title->setText(Strings::Deploy::domainTitle);
        m_text->setVisible(false);
        break;
    case Card::domainVerify: {
        m_title->setText(Strings::Deploy::verifyTitle);
        m_text->setText(Strings::Deploy::verifyChecking.arg(phase.domain()).arg(phase.attemptsRemaining()));
        delete m_rows->layout();
        qDeleteAll(m_rows->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly));
        auto *grid = new QGridLayout(m_rows);
        grid->setContentsMargins(0, 0, 0, 0);
        int row = 0;
        for (const DomainRecord &record : phase.records()) {
            int column = 0;
            for (const QString &part : {record.type, record.name, record.value}) {
                auto *label = new QLabel(part, m_rows);
                label->setTextFormat(Qt::PlainText);
                label->setFont(column == 2 ? NmFont::monoSmall() : NmFont::caption());
                label->setTextInteractionFlags(Qt::TextSelectableByMouse);
                grid->addWidget(label, row, column++);
            }
            QToolButton *copy = iconButton(QStringLiteral("doc.on.doc"), Strings::Deploy::copyHelp, m_rows);
            const QString value = record.value;
            connect(copy, &QToolButton::clicked, this, [value] {
                QGuiApplication::clipboard()->clear();
                QGuiApplication::clipboard()->setText(value);
            });
            grid->addWidget(copy, row++, column);
        }
        grid->setColumnStretch(2, 1);
        m_rows->setVisible(!phase.records().isEmpty());
        break;
    }
    case Card::none: break;
    }
    refreshEnabled();
}

void DeployCard::buildChecklist(const QStringList &names)
{
    m_names = names;
    delete m_rows->layout();
    qDeleteAll(m_rows->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly));
    auto *grid = new QGridLayout(m_rows);
    grid->setContentsMargins(0, 0, 0, 0);
    int row = 0;
    for (const QString &name : names) {
        auto *label = new QLabel(name, m_rows);
        label->setTextFormat(Qt::PlainText);
        label->setFont(NmFont::monoSmall());
        auto *choice = new QComboBox(m_rows);
        choice->setObjectName(QStringLiteral("choice:") + name);
        choice->addItems({Strings::Deploy::choiceSend, Strings::Deploy::choiceSkip, Strings::Deploy::choiceCustom});
        auto *custom = new QLineEdit(m_rows);
        custom->setObjectName(QStringLiteral("custom:") + name);
        custom->setPlaceholderText(Strings::Deploy::customPlaceholder);
        custom->setEchoMode(QLineEdit::Password);
        custom->setVisible(false);
        connect(choice, &QComboBox::currentIndexChanged, this, [this, custom](int index) {
            custom->setVisible(index == 2);
            refreshEnabled();
        });
        connect(custom, &QLineEdit::textChanged, this, &DeployCard::refreshEnabled);
        grid->addWidget(label, row, 0);
        grid->addWidget(choice, row, 1);
        grid->addWidget(custom, row++, 2);
    }
    grid->setColumnStretch(2, 1);
}

QComboBox *DeployCard::choiceBox(const QString &name) const
{
    return m_rows->findChild<QComboBox *>(QStringLiteral("choice:") + name);
}

QLineEdit *DeployCard::customField(const QString &name) const
{
    return m_rows->findChild<QLineEdit *>(QStringLiteral("custom:") + name);
}

void DeployCard::refreshEnabled()
{
    if (!m_primary)
        return;
    bool ready = true;
    if (m_kind == Card::token || m_kind == Card::secret)
        ready = !m_field->text().trimmed().isEmpty();
    else if (m_kind == Card::domainInput)
        ready = isPlausibleDomain(m_field->text());
    else if (m_kind == Card::envChecklist) {
        QMap<QString, DeployLook::EnvChoice> choices;
        QMap<QString, QString> drafts;
        for (const QString &name : m_names) {
            if (QComboBox *box = choiceBox(name))
                choices.insert(name, DeployLook::EnvChoice(box->currentIndex()));
            if (QLineEdit *field = customField(name))
                drafts.insert(name, field->text());
        }
        ready = DeployLook::checklistDecisions(m_names, choices, drafts).has_value();
    }
    m_primary->setEnabled(ready && !m_submitted);
}

void DeployCard::submit()
{
    if (!m_canvas || !m_primary || !m_primary->isEnabled() || m_submitted)
        return;
    switch (m_kind) {
    case Card::token:
    case Card::secret: {
        const QString value = m_field->text().trimmed();
        if (value.isEmpty())
            return;
        // The field is emptied first: the value lives on only in the controller.
        m_field->clear();
        m_submitted = true;
        const QString name = m_phase.varName();
        startDetached(this, m_kind == Card::token ? m_canvas->submitDeployToken(name, value)
                                                  : m_canvas->submitDeploySecret(name, value));
        break;
    }
    case Card::envChecklist: {
        QMap<QString, DeployLook::EnvChoice> choices;
        QMap<QString, QString> drafts;
        for (const QString &name : m_names) {
            choices.insert(name, DeployLook::EnvChoice(choiceBox(name)->currentIndex()));
            drafts.insert(name, customField(name)->text());
        }
        const auto decisions = DeployLook::checklistDecisions(m_names, choices, drafts);
        if (!decisions)
            return;
        for (const QString &name : m_names)
            customField(name)->clear();
        m_submitted = true;
        startDetached(this, m_canvas->applyEnvVarChecklist(*decisions));
        break;
    }
    case Card::domainInput: {
        const QString domain = cleanedDomain(m_field->text());
        if (!isPlausibleDomain(domain))
            return;
        m_submitted = true;
        startDetached(this, m_canvas->beginCustomDomain(domain));
        break;
    }
    default: break;
    }
    refreshEnabled();
}

DeployPaneOverlay::DeployPaneOverlay(ProjectCanvasViewModel *canvas, const QUuid &paneID, QWidget *parent)
    : QWidget(parent), m_canvas(canvas), m_paneID(paneID)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    if (canvas) {
        connect(&canvas->deployState(), &DeploySessionState::phaseChanged, this, &DeployPaneOverlay::refresh);
        connect(&canvas->deployState(), &DeploySessionState::deployPaneIDChanged, this, &DeployPaneOverlay::refresh);
    }
    refresh();
}

void DeployPaneOverlay::refresh()
{
    const DeploySessionState::Phase phase =
        m_canvas ? m_canvas->deployState().phase() : DeploySessionState::Phase::idle();
    const Card kind = m_canvas ? DeployLook::cardKind(m_canvas->deployState().deployPaneID(), m_paneID, phase) : Card::none;
    if (m_card && m_card->kind() != kind) {
        m_card->hide();
        m_card->deleteLater();
        m_card = nullptr;
    }
    if (kind != Card::none && !m_card) {
        m_card = new DeployCard(kind, m_canvas, this);
        layout()->addWidget(m_card);
    }
    if (m_card)
        m_card->setPhase(phase);
    setVisible(m_card != nullptr);
    updateGeometry();
}

} // namespace nerim
