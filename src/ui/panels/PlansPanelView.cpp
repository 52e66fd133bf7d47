#include "ui/panels/PlansPanelView.h"

#include "plans/PlanState.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmSurfaceModifier.h"
#include "ui/design/widgets/NmText.h"

#include <QLabel>
#include <QVBoxLayout>

namespace nerim {

namespace {

QLabel *panelLabel(const QFont &font, NmRgb colour, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setWordWrap(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, qColor(colour));
    label->setPalette(palette);
    return label;
}

} // namespace

PlansPanelView::PlansPanelView(PlanState *state, PlansPanelCallbacks callbacks, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_callbacks(std::move(callbacks))
{
    setObjectName(QStringLiteral("PlansPanelView"));
    setMinimumWidth(300);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 18);
    layout->setSpacing(10);
    QLabel *title = panelLabel(NmFont::micro(), NmColor::inkSecondary, this);
    NmText::setPlainText(title, Strings::Header::plan.toUpper());
    layout->addWidget(title);
    m_body = panelLabel(NmFont::body(), NmColor::ink, this);
    m_body->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(m_body, 1);
    NmPaneSurfaceModifier::apply(this, false);
    if (state) {
        connect(state, &PlanState::goalChanged, this, &PlansPanelView::refresh);
        connect(state, &PlanState::stepsChanged, this, &PlansPanelView::refresh);
    }
    refresh();
}

void PlansPanelView::refresh()
{
    if (!m_state)
        return;
    QStringList lines;
    if (!m_state->goal().isEmpty())
        lines.append(m_state->goal());
    int number = 1;
    for (const PlanStep &step : m_state->steps())
        lines.append(QString::number(number++) + QStringLiteral(". ") + step.title);
    NmText::setPlainText(m_body, lines.join(QLatin1Char('\n')));
}

} // namespace nerim
