#include "ui/panels/PlanStepList.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PanelWidgets.h"
#include "ui/panels/PlansPanelLook.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QSet>
#include <QVBoxLayout>

#include <functional>

namespace nerim {

// One step of the plan: number, status mark, title (struck through when
// done) and detail. The whole row is one click target.
class PlanStepRowView : public QWidget {
public:
    PlanStepRowView(std::function<void()> onToggle, QWidget *parent)
        : QWidget(parent)
        , m_onToggle(std::move(onToggle))
    {
        setObjectName(QStringLiteral("planStepRow"));
        setCursor(Qt::PointingHandCursor);
        auto *row = new QHBoxLayout(this);
        row->setContentsMargins(8, 6, 8, 6);
        row->setSpacing(10);
        row->addSpacing(18);
        auto *text = new QVBoxLayout;
        text->setSpacing(3);
        auto *titleLine = new QHBoxLayout;
        titleLine->setSpacing(6);
        m_number = plainLabel(QString(), NmFont::caption(), PlansPanelColor::textTertiary(), this);
        m_number->setObjectName(QStringLiteral("stepNumber"));
        QFont numberFont = NmFont::caption();
        m_number->setFont(numberFont);
        m_number->setFixedWidth(QFontMetrics(numberFont).horizontalAdvance(QStringLiteral("00.")) + 1);
        m_number->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        m_title = plainLabel(QString(), NmFont::bodyMedium(), PlansPanelColor::text(), this, true);
        m_title->setObjectName(QStringLiteral("stepTitle"));
        titleLine->addWidget(m_number, 0, Qt::AlignTop);
        titleLine->addWidget(m_title, 1);
        text->addLayout(titleLine);
        m_detail = plainLabel(QString(), NmFont::body(), PlansPanelColor::textSecondary(), this, true);
        m_detail->setObjectName(QStringLiteral("stepDetail"));
        text->addWidget(m_detail);
        row->addLayout(text, 1);
        for (QLabel *label : {m_number, m_title, m_detail})
            label->setAttribute(Qt::WA_TransparentForMouseEvents);
    }

    void setStep(int number, const PlanStep &step)
    {
        m_status = step.status;
        NmText::setPlainText(m_number, QString::number(number) + QLatin1Char('.'));
        NmText::setPlainText(m_title, step.title);
        QFont titleFont = NmFont::bodyMedium();
        titleFont.setStrikeOut(step.status == PlanStep::Status::done);
        m_title->setFont(titleFont);
        QPalette palette = m_title->palette();
        palette.setColor(QPalette::WindowText, step.status == PlanStep::Status::done ? PlansPanelColor::textTertiary()
                                                                                   : PlansPanelColor::text());
        m_title->setPalette(palette);
        NmText::setPlainText(m_detail, step.detail);
        m_detail->setVisible(!step.detail.isEmpty());
        update();
    }

protected:
    void mousePressEvent(QMouseEvent *event) override { event->accept(); }
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && m_onToggle)
            m_onToggle();
    }

    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (m_status == PlanStep::Status::inProgress) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(qColor(NmColor::accent, 0.18));
            painter.drawRoundedRect(QRectF(rect()), 8, 8);
        }
        // The mark sits in an 18-wide column, 2 below the row's top margin.
        const QPointF centre(8 + 9, 6 + 2 + QFontMetrics(NmFont::bodyMedium()).height() / 2.0 - 2);
        switch (m_status) {
        case PlanStep::Status::pending:
            painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.45f), 1));
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(centre, 6.5, 6.5);
            break;
        case PlanStep::Status::inProgress:
            painter.setPen(QPen(qColor(NmColor::accent, 0.5), 3));
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(centre, 10, 10);
            painter.setPen(Qt::NoPen);
            painter.setBrush(qColor(NmColor::accent));
            painter.drawEllipse(centre, 7, 7);
            break;
        case PlanStep::Status::done: {
            const qreal side = NmIcons::boxSide(14);
            NmIcons::paint(painter, QRectF(centre.x() - side / 2, centre.y() - side / 2, side, side),
                           u"checkmark.circle.fill", NmSymbolWeight::regular, 14, qColor(NmColor::accent));
            break;
        }
        }
    }

private:
    std::function<void()> m_onToggle;
    PlanStep::Status m_status = PlanStep::Status::pending;
    QLabel *m_number = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_detail = nullptr;
};

PlanStepList::PlanStepList(QWidget *parent)
    : QWidget(parent)
{
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(6);
}

void PlanStepList::setSteps(const QList<PlanStep> &steps)
{
    QSet<QUuid> present;
    for (const PlanStep &step : steps)
        present.insert(step.id);
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        if (!present.contains(it.key())) {
            delete it.value();
            it = m_rows.erase(it);
        } else {
            ++it;
        }
    }
    for (int i = 0; i < steps.size(); ++i) {
        const PlanStep &step = steps.at(i);
        PlanStepRowView *row = m_rows.value(step.id);
        if (!row) {
            const QUuid id = step.id;
            row = new PlanStepRowView([this, id] { emit stepClicked(id); }, this);
            m_rows.insert(step.id, row);
        }
        row->setStep(i + 1, step);
        if (m_layout->indexOf(row) != i) {
            m_layout->removeWidget(row);
            m_layout->insertWidget(i, row);
        }
    }
}

} // namespace nerim
