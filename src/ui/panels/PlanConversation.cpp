#include "ui/panels/PlanConversation.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PlansPanelLook.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QSet>
#include <QVBoxLayout>

namespace nerim {

namespace {

class UserBubble : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        {
            QPainter painter(this);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(QPen(qColor(NmColor::accent, 0.35), 0.5));
            painter.setBrush(qColor(NmColor::accent, 0.22));
            painter.drawRoundedRect(QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25), 8, 8);
        }
        QLabel::paintEvent(event);
    }
};

} // namespace

// One turn of the planning conversation: the user's words verbatim in a
// bubble at the trailing edge, or the agent's labelled Markdown reply.
class PlanTurnRowView : public QWidget {
public:
    PlanTurnRowView(const PlanTurn &turn, const LinkOpener &opener, QWidget *parent)
        : QWidget(parent)
    {
        if (turn.role == PlanTurn::Role::user) {
            setObjectName(QStringLiteral("userTurn"));
            auto *row = new QHBoxLayout(this);
            row->setContentsMargins(24, 0, 0, 0);
            row->setSpacing(0);
            row->addStretch(1);
            auto *bubble = new UserBubble(this);
            bubble->setObjectName(QStringLiteral("userBubble"));
            bubble->setFont(NmFont::body());
            bubble->setWordWrap(true);
            bubble->setContentsMargins(10, 6, 10, 6);
            bubble->setTextInteractionFlags(Qt::TextSelectableByMouse);
            QPalette palette = bubble->palette();
            palette.setColor(QPalette::WindowText, PlansPanelColor::text());
            bubble->setPalette(palette);
            NmText::setPlainText(bubble, turn.content);
            row->addWidget(bubble, 0, Qt::AlignRight);
            return;
        }
        setObjectName(QStringLiteral("agentTurn"));
        auto *column = new QVBoxLayout(this);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(3);
        auto *header = new QHBoxLayout;
        header->setSpacing(5);
        const QFont micro = Font::tracked(NmFont::micro(), 0.08);
        QLabel *label = plainLabel(Strings::PlansPanel::agentLabel.toUpper(), micro, qColor(NmColor::accent), this);
        label->setObjectName(QStringLiteral("agentLabel"));
        header->addWidget(label);
        if (turn.revisedPlan) {
            QLabel *updated =
                plainLabel(Strings::PlansPanel::updatedThePlan.toUpper(), micro, PlansPanelColor::textTertiary(), this);
            updated->setObjectName(QStringLiteral("updatedThePlan"));
            header->addWidget(updated);
        }
        header->addStretch(1);
        column->addLayout(header);
        auto *reply = new PlanMarkdownView(PlansPanelColor::textSecondary(), opener, this);
        reply->setContent(turn.content);
        column->addWidget(reply);
    }
};

PlanConversation::PlanConversation(LinkOpener opener, QWidget *parent)
    : QWidget(parent)
    , m_opener(std::move(opener))
{
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(8);
}

void PlanConversation::setLinkOpener(LinkOpener opener)
{
    m_opener = std::move(opener);
    for (PlanTurnRowView *row : std::as_const(m_rows))
        delete row;
    m_rows.clear();
    m_order.clear();
}

void PlanConversation::setTurns(const QList<PlanTurn> &turns)
{
    QList<QUuid> order;
    order.reserve(turns.size());
    for (const PlanTurn &turn : turns)
        order.append(turn.id);
    if (order == m_order)
        return;
    const QSet<QUuid> present(order.begin(), order.end());
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        if (!present.contains(it.key())) {
            delete it.value();
            it = m_rows.erase(it);
        } else {
            ++it;
        }
    }
    for (int i = 0; i < turns.size(); ++i) {
        PlanTurnRowView *row = m_rows.value(turns.at(i).id);
        if (!row) {
            row = new PlanTurnRowView(turns.at(i), m_opener, this);
            m_rows.insert(turns.at(i).id, row);
        }
        if (m_layout->indexOf(row) != i) {
            m_layout->removeWidget(row);
            m_layout->insertWidget(i, row);
        }
    }
    m_order = order;
}

} // namespace nerim
