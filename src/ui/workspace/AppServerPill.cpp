#include "ui/workspace/AppServerPill.h"

#include "launcher/DevServerRunner.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmKeyboardButton.h"
#include "ui/design/widgets/NmText.h"
#include "ui/workspace/HeaderControlsLook.h"
#include "ui/workspace/WorkspacePainting.h"

#include <QCoro/QCoroTask>
#include <QFontMetricsF>
#include <QPainter>
#include <cmath>

namespace nerim {

namespace {

constexpr double kHorizontalPadding = 11;
constexpr double kVerticalPadding = 6;
constexpr double kSpacing = 8;
constexpr double kDot = 8;

QCoro::Task<> stopServer(QPointer<DevServerRunner> runner)
{
    if (!runner)
        co_return;
    QCoro::Task<> stopping = runner->stop();
    co_await std::move(stopping);
}

} // namespace

AppServerPill::AppServerPill(DevServerRunner *runner, QWidget *parent)
    : QWidget(parent)
    , m_runner(runner)
{
    setObjectName(QStringLiteral("AppServerPill"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    IconCircleButton::Look stop;
    stop.symbol = QStringLiteral("xmark");
    stop.weight = NmSymbolWeight::semibold;
    stop.pointSize = 9;
    stop.iconColor = {NmColor::inkSecondary};
    stop.side = NmIcons::boxSide(9) + 6;
    stop.fill = {NmColor::hairline, 0.25};
    stop.stroke = {NmColor::hairline, 0.0};
    m_stop = new IconCircleButton(stop, this);
    m_stop->setObjectName(QStringLiteral("stopButton"));
    NmKeyboardButton::enable(m_stop);
    NmText::setPlainToolTip(m_stop, Strings::Header::stopServerHelp);
    connect(m_stop, &QAbstractButton::clicked, this, [this] { stopServer(m_runner); });
    if (runner)
        connect(runner, &DevServerRunner::statusChanged, this, &AppServerPill::refresh);
    refresh();
}

void AppServerPill::refresh()
{
    const HeaderControlsLook::AppServerPill look =
        m_runner ? HeaderControlsLook::appServerPill(m_runner->status(), m_runner->lastFailure())
                 : HeaderControlsLook::appServerPill(DevServerStatus::idle());
    m_label = look.label;
    m_dot = WorkspacePainting::color(look.dot);
    // Server reasons come from the server's own output: shown as plain text.
    NmText::setPlainToolTip(this, look.help);
    m_stop->setVisible(look.showsStopButton);
    setVisible(look.shown);
    updateGeometry();
    update();
}

QSize AppServerPill::sizeHint() const
{
    const QFontMetricsF metrics(WorkspacePainting::pillLabelFont());
    double width = kHorizontalPadding * 2 + kDot + kSpacing + metrics.horizontalAdvance(m_label.toUpper());
    double height = std::max(metrics.height(), kDot);
    if (!m_stop->isHidden()) {
        width += kSpacing + m_stop->width();
        height = std::max(height, double(m_stop->height()));
    }
    return QSize(int(std::ceil(width)), int(std::ceil(height + kVerticalPadding * 2)));
}

void AppServerPill::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_stop->move(int(width() - kHorizontalPadding - m_stop->width()), (height() - m_stop->height()) / 2);
}

void AppServerPill::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = rect();
    WorkspacePainting::paintHeaderPillBackground(painter, bounds);
    double x = kHorizontalPadding;
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_dot);
    painter.drawEllipse(QRectF(x, (height() - kDot) / 2, kDot, kDot));
    x += kDot + kSpacing;
    painter.setFont(WorkspacePainting::pillLabelFont());
    painter.setPen(WorkspacePainting::color({NmColor::ink}));
    painter.drawText(QRectF(x, 0, width() - x, height()), Qt::AlignVCenter | Qt::AlignLeft, m_label.toUpper());
    WorkspacePainting::paintHeaderPillOutline(painter, bounds);
}

} // namespace nerim
