#include "ui/workspace/OutputModeToggle.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/design/NmPainter.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmKeyboardButton.h"
#include "ui/design/widgets/NmText.h"
#include "ui/design/widgets/ReducibleAnimation.h"
#include "ui/workspace/WorkspacePainting.h"

#include <QCoro/QCoroTask>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QPainter>
#include <cmath>

namespace nerim {

namespace {

constexpr double kSegmentHorizontalPadding = 11;
constexpr double kSegmentVerticalPadding = 5;
constexpr int kSpacing = 4;
constexpr int kPadding = 3;

QCoro::Task<> setMode(QPointer<ProjectCanvasViewModel> canvas, AppState::OutputMode mode)
{
    if (!canvas)
        co_return;
    QCoro::Task<> setting = canvas->setOutputMode(mode);
    co_await std::move(setting);
}

// The inactive and active ends of a segment's look, for the animation between them.
TokenColor inactiveFill() { return {NmColor::accentSoft, 0.0}; }
TokenColor activeFill() { return {NmColor::accentSoft}; }
TokenColor inactiveForeground() { return {NmColor::ink, 0.7}; }
TokenColor activeForeground() { return {NmColor::ink}; }

} // namespace

OutputModeToggle::Segment::Segment(const HeaderControlsLook::Segment &look, QWidget *parent)
    : QAbstractButton(parent)
    , m_look(look)
    , m_progress(look.active ? 1.0 : 0.0)
{
    setCursor(Qt::PointingHandCursor);
    NmKeyboardButton::enable(this);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void OutputModeToggle::Segment::setLook(const HeaderControlsLook::Segment &look)
{
    const bool changed = look.active != m_look.active;
    m_look = look;
    if (changed) {
        ReducibleAnimation::animateValue(this, "active", m_progress, look.active ? 1.0 : 0.0, NmMotion::quick(),
                                         [this](double value) {
                                             m_progress = value;
                                             update();
                                         });
    }
    update();
}

QSize OutputModeToggle::Segment::sizeHint() const
{
    const QFontMetricsF metrics(WorkspacePainting::pillLabelFont());
    return QSize(int(std::ceil(metrics.horizontalAdvance(m_look.label.toUpper()) + 2 * kSegmentHorizontalPadding)),
                 int(std::ceil(metrics.height() + 2 * kSegmentVerticalPadding)));
}

void OutputModeToggle::Segment::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    NmPainter::fill(painter, NmShape::capsule(), rect(), WorkspacePainting::mix(inactiveFill(), activeFill(), m_progress));
    painter.setFont(WorkspacePainting::pillLabelFont());
    painter.setPen(WorkspacePainting::mix(inactiveForeground(), activeForeground(), m_progress));
    painter.drawText(rect(), Qt::AlignCenter, m_look.label.toUpper());
    // Only Tab gives a segment the focus; its ring stays within the toggle.
    if (hasFocus())
        NmPainter::focusRing(painter, NmShape::capsule(), rect());
}

OutputModeToggle::OutputModeToggle(ProjectCanvasViewModel *canvas, QWidget *parent)
    : QWidget(parent)
    , m_canvas(canvas)
{
    setObjectName(QStringLiteral("OutputModeToggle"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    NmText::setPlainToolTip(this, Strings::Header::outputModeHelp);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    layout->setSpacing(kSpacing);
    const AppState::OutputMode mode = canvas ? canvas->outputMode() : AppState::OutputMode::verbose;
    for (const HeaderControlsLook::Segment &look : HeaderControlsLook::outputModeSegments(mode)) {
        auto *segment = new Segment(look, this);
        segment->setObjectName(QStringLiteral("segment-") + rawValue(look.mode));
        connect(segment, &QAbstractButton::clicked, this, [this, segment] { setMode(m_canvas, segment->look().mode); });
        layout->addWidget(segment);
        m_segments.append(segment);
    }
    if (canvas)
        connect(canvas, &ProjectCanvasViewModel::outputModeChanged, this, &OutputModeToggle::refresh);
}

void OutputModeToggle::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    WorkspacePainting::paintHeaderPillBackground(painter, rect());
    WorkspacePainting::paintHeaderPillOutline(painter, rect());
}

void OutputModeToggle::refresh()
{
    if (!m_canvas)
        return;
    const QList<HeaderControlsLook::Segment> looks = HeaderControlsLook::outputModeSegments(m_canvas->outputMode());
    for (qsizetype i = 0; i < looks.size() && i < m_segments.size(); ++i)
        m_segments[i]->setLook(looks[i]);
}

} // namespace nerim
