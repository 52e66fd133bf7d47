#include "ui/panels/PreviewPanelView.h"

#include "preview/PreviewState.h"
#include "repair/RepairSessionState.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmSurfaceModifier.h"
#include "ui/design/widgets/NmText.h"

#include <QLabel>
#include <QVBoxLayout>

namespace nerim {

PreviewPanelView::PreviewPanelView(PreviewState *state, RepairSessionState *repairState,
                                   RepairBannerCoordinator coordinator, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_repairState(repairState)
    , m_coordinator(std::move(coordinator))
{
    setObjectName(QStringLiteral("PreviewPanelView"));
    setMinimumWidth(300);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 18);
    layout->setSpacing(10);
    auto *title = new QLabel(this);
    NmText::setPlainText(title, Strings::Header::preview.toUpper());
    title->setFont(NmFont::micro());
    QPalette palette = title->palette();
    palette.setColor(QPalette::WindowText, qColor(NmColor::inkSecondary));
    title->setPalette(palette);
    layout->addWidget(title);
    m_address = new QLabel(this);
    m_address->setTextFormat(Qt::PlainText);
    m_address->setFont(NmFont::monoSmall());
    m_address->setWordWrap(true);
    m_address->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    palette.setColor(QPalette::WindowText, qColor(NmColor::inkSecondary));
    m_address->setPalette(palette);
    layout->addWidget(m_address, 1);
    NmPaneSurfaceModifier::apply(this, false);
    if (state) {
        connect(state, &PreviewState::loadedURLChanged, this, &PreviewPanelView::refresh);
        connect(state, &PreviewState::addressBarChanged, this, &PreviewPanelView::refresh);
    }
    refresh();
}

void PreviewPanelView::setRepairCoordinator(RepairBannerCoordinator coordinator)
{
    m_coordinator = std::move(coordinator);
}

void PreviewPanelView::refresh()
{
    if (!m_state)
        return;
    const QString address = m_state->loadedURL() ? m_state->loadedURL()->toString() : m_state->addressBar();
    NmText::setPlainText(m_address, address);
}

} // namespace nerim
