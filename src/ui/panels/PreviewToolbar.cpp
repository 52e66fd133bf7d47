#include "ui/panels/PreviewToolbar.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmActivitySpinner.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PanelWidgets.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>

namespace nerim {

PreviewToolbar::PreviewToolbar(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("previewToolbar"));
    setFixedHeight(36);
    auto *tools = new QHBoxLayout(this);
    tools->setContentsMargins(10, 0, 10, 0);
    tools->setSpacing(6);
    const auto toolButton = [&](const char *name) {
        auto *button = new PanelIconButton(QString(), 11, NmSymbolWeight::medium, qColor(NmColor::ink), 22, this);
        button->setObjectName(QLatin1String(name));
        button->setDisabledColor(qColor(NmColor::inkTertiary, 0.5));
        tools->addWidget(button);
        return button;
    };
    m_back = toolButton("backButton");
    m_forward = toolButton("forwardButton");
    m_reload = toolButton("reloadButton");
    connect(m_back, &QAbstractButton::clicked, this, &PreviewToolbar::backClicked);
    connect(m_forward, &QAbstractButton::clicked, this, &PreviewToolbar::forwardClicked);
    connect(m_reload, &QAbstractButton::clicked, this, &PreviewToolbar::reloadClicked);
    m_address = new QLineEdit(this);
    m_address->setObjectName(QStringLiteral("addressField"));
    m_address->setFont(NmFont::monoSmall());
    m_address->setPlaceholderText(Strings::PreviewPanel::addressPrompt);
    m_address->setFrame(false);
    m_address->setTextMargins(10, 0, 10, 0);
    m_address->setFixedHeight(24);
    m_address->setAttribute(Qt::WA_TranslucentBackground);
    {
        QPalette palette = m_address->palette();
        palette.setColor(QPalette::Base, Qt::transparent);
        palette.setColor(QPalette::Text, qColor(NmColor::ink));
        palette.setColor(QPalette::PlaceholderText, qColor(NmColor::inkTertiary));
        palette.setColor(QPalette::Highlight, qColor(NmColor::accent, 0.4));
        m_address->setPalette(palette);
    }
    m_address->installEventFilter(this);
    tools->addWidget(m_address, 1);
    m_spinner = new NmActivitySpinner(this);
    m_spinner->setObjectName(QStringLiteral("loadingSpinner"));
    m_spinner->setColor(qColor(NmColor::inkSecondary));
    tools->addWidget(m_spinner);
    tools->addSpacing(4);
}

void PreviewToolbar::showLook(const PreviewPanelLook::Toolbar &look)
{
    const std::pair<PanelIconButton *, PreviewPanelLook::ToolbarButton> buttons[] = {
        {m_back, look.back}, {m_forward, look.forward}, {m_reload, look.reload}};
    for (const auto &[button, spec] : buttons) {
        button->setSymbol(spec.symbol);
        button->setEnabled(spec.enabled);
        NmText::setPlainToolTip(button, spec.help);
    }
    m_spinner->setVisible(look.showsSpinner);
}

bool PreviewToolbar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_address && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut))
        update();
    return QWidget::eventFilter(watched, event);
}

void PreviewToolbar::paintEvent(QPaintEvent *)
{
    // The address field's inset and its stroke, accent while it has focus.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(m_address->geometry()).adjusted(0.25, 0.25, -0.25, -0.25);
    painter.setBrush(qColor(NmColor::paperShade, 0.6));
    painter.setPen(QPen(m_address->hasFocus() ? qColor(NmColor::accent, 0.6) : qColor(NmColor::hairline, 0.4), 0.5));
    painter.drawRoundedRect(box, 4, 4);
}

} // namespace nerim
