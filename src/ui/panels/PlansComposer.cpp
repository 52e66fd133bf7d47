#include "ui/panels/PlansComposer.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PlansPanelLook.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QShowEvent>
#include <QVBoxLayout>

namespace nerim {

namespace {

// "Generate plan" and "Send": accent capsules with a trailing arrow.
CapsuleButton::Look primaryLook()
{
    CapsuleButton::Look look;
    look.font = NmFont::captionMedium();
    look.text = qColor(NmColor::inkSurface);
    look.fill = qColor(NmColor::accent);
    look.disabledFill = qColor(NmColor::accent, 0.55);
    look.stroke = Qt::transparent;
    look.symbol = QStringLiteral("arrow.right");
    look.symbolTrailing = true;
    look.paddingX = 14;
    look.paddingY = 8;
    return look;
}

} // namespace

// ---- PlanDraftBranch ---------------------------------------------------------------------

PlanDraftBranch::PlanDraftBranch(QWidget *parent)
    : QWidget(parent)
{
}

void PlanDraftBranch::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous() && onAppeared)
        onAppeared(m_field);
}

void PlanDraftBranch::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous() && onDisappeared)
        onDisappeared();
}

// ---- PlanErrorLine -----------------------------------------------------------------------

PlanErrorLine::PlanErrorLine(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("planError"));
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    QLabel *mark = symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), 10, NmSymbolWeight::regular,
                               qColor(NmColor::accent), this);
    mark->setContentsMargins(0, 2, 0, 0);
    row->addWidget(mark, 0, Qt::AlignTop);
    QLabel *message = plainLabel(QString(), NmFont::caption(), PlansPanelColor::textSecondary(), this, true);
    message->setObjectName(QStringLiteral("planErrorText"));
    row->addWidget(message, 1);
}

void PlanErrorLine::showMessage(bool shows, const QString &message)
{
    setVisible(shows);
    if (shows)
        NmText::setPlainText(findChild<QLabel *>(QStringLiteral("planErrorText")), message);
}

// ---- PlansEmptyState ---------------------------------------------------------------------

PlansEmptyState::PlansEmptyState(QWidget *parent)
    : PlanDraftBranch(parent)
{
    setObjectName(QStringLiteral("emptyBranch"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(14, 14, 14, 12);
    column->setSpacing(12);
    const QFont titleFont = Font::tracked(NmFont::title(), -0.01);
    column->addWidget(plainLabel(Strings::PlansPanel::emptyTitle, titleFont, PlansPanelColor::text(), this));
    column->addWidget(plainLabel(Strings::PlansPanel::emptyDescription, NmFont::body(),
                                 PlansPanelColor::textSecondary(), this, true));
    auto *hint = new QHBoxLayout;
    hint->setSpacing(6);
    QLabel *mic = symbolLabel(QStringLiteral("mic"), 10, NmSymbolWeight::medium, qColor(NmColor::accent), this);
    hint->addWidget(mic, 0, Qt::AlignTop);
    hint->addWidget(
        plainLabel(Strings::PlansPanel::voiceHint, NmFont::caption(), PlansPanelColor::textTertiary(), this, true), 1);
    column->addLayout(hint);
    m_field = new DraftField(this);
    m_field->setPlaceholderText(Strings::PlansPanel::emptyPlaceholder);
    column->addWidget(m_field);
    m_error = new PlanErrorLine(this);
    column->addWidget(m_error);
    auto *actions = new QHBoxLayout;
    actions->addStretch(1);
    m_generate = new CapsuleButton(Strings::PlansPanel::generatePlan, primaryLook(), this);
    m_generate->setObjectName(QStringLiteral("generateButton"));
    actions->addWidget(m_generate);
    column->addLayout(actions);
    column->addStretch(1);
}

// ---- PlansComposer -----------------------------------------------------------------------

PlansComposer::PlansComposer(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("composer"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(14, 10, 14, 10);
    column->setSpacing(8);
    m_error = new PlanErrorLine(this);
    column->addWidget(m_error);
    m_field = new DraftField(this);
    column->addWidget(m_field);
    auto *sendRow = new QHBoxLayout;
    sendRow->addStretch(1);
    m_send = new CapsuleButton(Strings::PlansPanel::send, primaryLook(), this);
    m_send->setObjectName(QStringLiteral("sendButton"));
    sendRow->addWidget(m_send);
    column->addLayout(sendRow);
}

} // namespace nerim
