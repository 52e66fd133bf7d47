#include "ui/panels/PreviewContent.h"

#include "preview/PreviewPageFactory.h"
#include "preview/engine/PreviewEngine.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/panels/PanelWidgets.h"

#include <QLabel>
#include <QOpenGLContext>
#include <QPainter>
#include <QResizeEvent>
#include <QVBoxLayout>

namespace nerim {

namespace {

// Lies over the web view while nothing is loaded; clicks pass through.
class EmptyState : public QWidget {
public:
    explicit EmptyState(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("previewEmptyState"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        m_column = new QVBoxLayout(this);
        m_column->setContentsMargins(32, 32, 32, 32);
        m_column->setSpacing(14);
        m_column->addStretch(1);
        m_globe = symbolLabel(QStringLiteral("globe.americas"), 32, NmSymbolWeight::light,
                              qColor(NmColor::inkTertiary), this);
        m_column->addWidget(m_globe, 0, Qt::AlignHCenter);
        const QFont title = Font::tracked(NmFont::title(), -0.01);
        QLabel *heading = plainLabel(Strings::PreviewPanel::title, title, qColor(NmColor::ink), this);
        m_column->addWidget(heading, 0, Qt::AlignHCenter);
        m_message =
            plainLabel(Strings::PreviewPanel::emptyMessage, NmFont::body(), qColor(NmColor::inkSecondary), this, true);
        m_message->setObjectName(QStringLiteral("previewEmptyMessage"));
        m_message->setAlignment(Qt::AlignHCenter);
        m_message->setContentsMargins(24, 0, 24, 0);
        m_column->addWidget(m_message);
        m_column->addStretch(1);
    }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QWidget::resizeEvent(event);
        // A narrow or short preview (a small window, a tall banner above it)
        // gives the message the room its margins and the globe would take.
        const QSize size = event->size();
        const bool narrow = size.width() < kRoomyWidth;
        const int margin = narrow ? 12 : 32;
        m_column->setContentsMargins(margin, margin, margin, margin);
        m_column->setSpacing(narrow ? 8 : 14);
        m_message->setContentsMargins(narrow ? 0 : 24, 0, narrow ? 0 : 24, 0);
        m_globe->setVisible(size.height() >= kGlobeHeight);
    }

    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), qColor(NmColor::paperBright));
    }

private:
    static constexpr int kRoomyWidth = 360;
    static constexpr int kGlobeHeight = 260;

    QVBoxLayout *m_column;
    QLabel *m_globe;
    QLabel *m_message;
};

QWidget *webPage(PreviewState *state, QWidget *parent)
{
    // The web engine is loaded now, the first time any preview shows.
    if (PreviewPageFactory *engine = PreviewEngine::factory())
        return engine->createPage(state, parent);
    auto *failure = new QLabel(PreviewEngine::errorText(), parent);
    failure->setObjectName(QStringLiteral("previewEngineError"));
    failure->setAlignment(Qt::AlignCenter);
    failure->setWordWrap(true);
    return failure;
}

} // namespace

PreviewContent::PreviewContent(PreviewState *state, PreviewPageMaker maker, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_maker(maker ? std::move(maker) : PreviewPageMaker(webPage))
{
    setObjectName(QStringLiteral("previewContent"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_emptyState = new EmptyState(this);
}

void PreviewContent::makePage()
{
    if (m_page)
        return;
    // A page the engine composites through OpenGL takes its surface from the
    // window it is drawn in: a native child window made for it would be a
    // plain one, which the page cannot be drawn into. Without OpenGL (the
    // engine then draws in software) the page sits in a native child window
    // of its own.
    m_pageHost = new QWidget(this);
    m_pageHost->setObjectName(QStringLiteral("previewPageHost"));
    auto *hostLayout = new QVBoxLayout(m_pageHost);
    hostLayout->setContentsMargins(0, 0, 0, 0);
    m_page = m_maker(m_state, m_pageHost);
    hostLayout->addWidget(m_page);
    const QOpenGLContext *shared = QOpenGLContext::globalShareContext();
    if (!shared || !shared->isValid())
        m_pageHost->setAttribute(Qt::WA_NativeWindow);
    layout()->addWidget(m_pageHost);
    m_page->show();
}

void PreviewContent::setShowsEmptyState(bool shows)
{
    m_emptyState->setGeometry(rect());
    m_emptyState->setVisible(shows);
    if (shows)
        m_emptyState->raise();
    // The page's own window would cover the empty state: it steps aside
    // while the empty state shows (nothing is loading then).
    if (m_pageHost)
        m_pageHost->setVisible(!shows);
}

void PreviewContent::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_emptyState->setGeometry(rect());
}

} // namespace nerim
