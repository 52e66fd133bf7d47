#include "app/KeyboardFocusRing.h"

#include "ui/deploy/DeployControls.h"
#include "ui/deploy/DeployPill.h"
#include "ui/deploy/DeployProviderPickerSheet.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/NmCapsuleButton.h"
#include "ui/workspace/ActionTiles.h"
#include "ui/workspace/OutputModeToggle.h"
#include "ui/workspace/ProjectCard.h"
#include "ui/workspace/SidebarView.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QWidget>

#include <algorithm>

namespace nerim {

namespace {

// The ring: the design's focus line, just outside the control it surrounds
// (rounded as a capsule for a short control, with a gentler corner for a
// large one).
class RingFrame : public QFocusFrame {
public:
    explicit RingFrame(QWidget *parent = nullptr) : QFocusFrame(parent)
    {
        setObjectName(QStringLiteral("keyboardFocusRing"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box(rect());
        const qreal radius = std::min<qreal>(box.height() / 2.0, 10.0);
        NmPainter::focusRing(painter, NmShape::roundedRect(radius), box);
    }
};

bool drawsItsOwnRing(const QWidget *widget)
{
    return dynamic_cast<const NmCapsuleButton *>(widget) || dynamic_cast<const ActionTile *>(widget) ||
           dynamic_cast<const ProjectCard *>(widget) || dynamic_cast<const DeployCapsuleButton *>(widget) ||
           dynamic_cast<const DeploySegmentedChoice *>(widget) || dynamic_cast<const DeployPill *>(widget) ||
           dynamic_cast<const DeployProviderRow *>(widget) || dynamic_cast<const SidebarButton *>(widget) ||
           dynamic_cast<const OutputModeToggle::Segment *>(widget);
}

} // namespace

KeyboardFocusRing::KeyboardFocusRing(QObject *parent) : QObject(parent)
{
    qApp->installEventFilter(this);
}

bool KeyboardFocusRing::ringsWidget(const QWidget *widget)
{
    // Text fields too: a blinking caret alone is easy to miss.
    return widget && !widget->isWindow() && !drawsItsOwnRing(widget);
}

QWidget *KeyboardFocusRing::ringedWidget() const
{
    return m_frame && m_frame->isVisible() ? m_frame->widget() : nullptr;
}

bool KeyboardFocusRing::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent *>(event)->key();
        m_tabPressed = key == Qt::Key_Tab || key == Qt::Key_Backtab;
        break;
    }
    case QEvent::MouseButtonPress: m_tabPressed = false; break;
    case QEvent::FocusIn: {
        // Only a Tab the user pressed: Qt also gives the Tab reason to the
        // focus it moves on when the focused control is hidden.
        auto *widget = qobject_cast<QWidget *>(watched);
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        const bool byTab = m_tabPressed && (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason);
        if (widget && byTab && ringsWidget(widget))
            ring(widget);
        else if (widget && !widget->isWindow())
            hide();
        if (widget && !widget->isWindow())
            m_tabPressed = false;
        break;
    }
    case QEvent::FocusOut:
        if (m_frame && watched == m_frame->widget())
            hide();
        break;
    default: break;
    }
    return QObject::eventFilter(watched, event);
}

void KeyboardFocusRing::ring(QWidget *widget)
{
    if (!m_frame)
        m_frame = new RingFrame;
    m_frame->setWidget(widget);
    m_frame->show();
    m_frame->raise();
}

void KeyboardFocusRing::hide()
{
    if (!m_frame)
        return;
    m_frame->setWidget(nullptr);
    m_frame->hide();
}

} // namespace nerim
