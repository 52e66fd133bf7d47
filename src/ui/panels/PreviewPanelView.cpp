#include "ui/panels/PreviewPanelView.h"

#include "preview/PreviewState.h"
#include "repair/RepairSessionState.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmFrameMotion.h"
#include "ui/design/widgets/NmSurfaceModifier.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PanelWidgets.h"
#include "ui/panels/PreviewStatusStrip.h"
#include "ui/panels/PreviewToolbar.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>

namespace nerim {

namespace {

constexpr int kTiledWidth = 640;
constexpr int kTiledHeight = 400;

// The header's title: one line that ends in "…" when the panel is too narrow
// for it, rather than losing part of its last letter at the edge. Its text
// stays whole; only the painting shortens it.
class HeaderTitle : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setFont(font());
        painter.setPen(palette().color(QPalette::WindowText));
        const QRect box = contentsRect();
        painter.drawText(box, int(alignment()) | Qt::TextSingleLine,
                         fontMetrics().elidedText(text(), Qt::ElideRight, box.width()));
    }
};

} // namespace

PreviewPanelView::PreviewPanelView(PreviewState *state, RepairSessionState *repairState,
                                   RepairBannerCoordinator coordinator, QWidget *parent)
    : PreviewPanelView(state, repairState, std::optional<RepairBannerCoordinator>(std::move(coordinator)), {}, parent)
{
}

PreviewPanelView::PreviewPanelView(PreviewState *state, RepairSessionState *repairState,
                                   std::optional<RepairBannerCoordinator> coordinator, ContentFactory contentFactory,
                                   QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_repairState(repairState)
    , m_coordinator(std::move(coordinator))
{
    setObjectName(QStringLiteral("PreviewPanelView"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // Header.
    auto *header = new QHBoxLayout;
    header->setContentsMargins(12, 8, 12, 8);
    header->setSpacing(8);
    header->addWidget(
        symbolLabel(QStringLiteral("globe"), 11, NmSymbolWeight::regular, qColor(NmColor::inkSecondary), this));
    const QFont micro = Font::tracked(NmFont::micro(), 0.08);
    m_title = new HeaderTitle(this);
    m_title->setFont(micro);
    QPalette titlePalette = m_title->palette();
    titlePalette.setColor(QPalette::WindowText, qColor(NmColor::inkSecondary));
    m_title->setPalette(titlePalette);
    NmText::setPlainText(m_title, QString());
    m_title->setObjectName(QStringLiteral("previewTitle"));
    m_title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // Only the row's spacing follows the title, so that "PREVIEW" still fits
    // whole in the preview's narrowest tiled frame (a 1024-wide window with
    // the Plans panel and the agent column beside it).
    header->addWidget(m_title, 1);
    m_expand = new PanelIconButton(QString(), 10, NmSymbolWeight::medium, qColor(NmColor::inkSecondary), 20, this);
    m_expand->setObjectName(QStringLiteral("previewExpandButton"));
    connect(m_expand, &QAbstractButton::clicked, this, [this] {
        if (m_state)
            m_state->toggleExpanded();
    });
    m_close = xmarkButton(20, Strings::PreviewPanel::closeHelp, this);
    m_close->setObjectName(QStringLiteral("previewCloseButton"));
    connect(m_close, &QAbstractButton::clicked, this, [this] {
        if (m_state)
            m_state->hide();
    });
    header->addWidget(m_expand);
    header->addWidget(m_close);
    column->addLayout(header);
    column->addWidget(panelDivider(qColor(NmColor::hairline, 0.3), this));

    // Toolbar.
    m_toolbar = new PreviewToolbar(this);
    const auto navigate = [this](PreviewState::PendingNavigation navigation) {
        if (m_state)
            m_state->setPendingNavigation(navigation);
    };
    connect(m_toolbar, &PreviewToolbar::backClicked, this,
            [navigate] { navigate(PreviewState::PendingNavigation::back()); });
    connect(m_toolbar, &PreviewToolbar::forwardClicked, this,
            [navigate] { navigate(PreviewState::PendingNavigation::forward()); });
    connect(m_toolbar, &PreviewToolbar::reloadClicked, this,
            [navigate] { navigate(PreviewState::PendingNavigation::reload()); });
    connect(m_toolbar->addressField(), &QLineEdit::textEdited, this, [this](const QString &text) {
        if (m_state)
            m_state->setAddressBar(text);
    });
    connect(m_toolbar->addressField(), &QLineEdit::returnPressed, this, &PreviewPanelView::submitAddress);
    column->addWidget(m_toolbar);
    column->addWidget(panelDivider(qColor(NmColor::hairline, 0.3), this));

    // Status strip.
    m_stripHolder = new QVBoxLayout;
    m_stripHolder->setContentsMargins(0, 0, 0, 0);
    column->addLayout(m_stripHolder);

    // Content: the page under the empty state.
    m_content = new PreviewContent(state, std::move(contentFactory), this);
    column->addWidget(m_content, 1);

    NmPaneSurfaceModifier::apply(this, false);

    if (state) {
        connect(state, &PreviewState::titleChanged, this, &PreviewPanelView::refreshHeader);
        connect(state, &PreviewState::loadedURLChanged, this, [this] {
            refreshHeader();
            refreshEmptyState();
        });
        connect(state, &PreviewState::isExpandedChanged, this, [this] {
            refreshHeader();
            refreshFrame();
        });
        connect(state, &PreviewState::isLoadingChanged, this, [this] {
            refreshToolbar();
            refreshEmptyState();
        });
        connect(state, &PreviewState::canGoBackChanged, this, &PreviewPanelView::refreshToolbar);
        connect(state, &PreviewState::canGoForwardChanged, this, &PreviewPanelView::refreshToolbar);
        connect(state, &PreviewState::addressBarChanged, this, &PreviewPanelView::refreshAddress);
        connect(state, &PreviewState::errorChanged, this, [this] { refreshStrip(); });
    }
    if (repairState)
        connect(repairState, &RepairSessionState::phaseChanged, this, [this] { refreshStrip(); });
    refreshHeader();
    refreshToolbar();
    refreshAddress();
    refreshStrip(true);
    refreshEmptyState();
    refreshFrame();
}

QWidget *PreviewPanelView::content() const { return m_content->page(); }

void PreviewPanelView::setRepairCoordinator(RepairBannerCoordinator coordinator)
{
    // The rows read the coordinator when clicked, so only a change of what
    // they offer rebuilds them (a secret being typed keeps its field).
    m_coordinator = std::move(coordinator);
    refreshStrip();
}

void PreviewPanelView::runCoordinator(std::function<void()> RepairBannerCoordinator::*action)
{
    if (!m_coordinator)
        return;
    // A copy of the whole coordinator: the action may renew the panel's own.
    const RepairBannerCoordinator coordinator = *m_coordinator;
    if (coordinator.*action)
        (coordinator.*action)();
}

// ---- Actions -----------------------------------------------------------------------------

void PreviewPanelView::submitAddress()
{
    if (!m_state)
        return;
    m_state->navigate(m_state->addressBar());
    m_toolbar->addressField()->clearFocus();
}

void PreviewPanelView::submitSecretDraft()
{
    const std::optional<QString> value = PreviewPanelLook::submittedSecret(m_secretDraft, m_coordinator.has_value());
    if (!value)
        return;
    // The draft is gone before the value leaves the panel.
    m_secretDraft.clear();
    if (auto *field = findChild<QLineEdit *>(QStringLiteral("secretField")))
        field->clear();
    if (auto *submit = findChild<QAbstractButton *>(QStringLiteral("secretSubmit")))
        submit->setEnabled(false);
    const RepairBannerCoordinator coordinator = *m_coordinator;
    if (coordinator.submitSecret)
        coordinator.submitSecret(*value);
}

PreviewStripActions PreviewPanelView::stripActions()
{
    PreviewStripActions actions;
    actions.beginRepair = [this] { runCoordinator(&RepairBannerCoordinator::beginRepair); };
    actions.cancelRepair = [this] { runCoordinator(&RepairBannerCoordinator::cancelRepair); };
    actions.retryRepair = [this] { runCoordinator(&RepairBannerCoordinator::retryRepairFromScratch); };
    actions.dismissError = [this] {
        if (m_state)
            PreviewPanelLook::dismissErrorRow(*m_state);
    };
    actions.dismissStuck = [this] {
        if (m_state)
            PreviewPanelLook::dismissStuckRow(*m_state, m_repairState);
    };
    actions.secretEdited = [this](const QString &text) { m_secretDraft = text; };
    actions.submitSecret = [this] { submitSecretDraft(); };
    return actions;
}

// ---- Following the models ----------------------------------------------------------------

void PreviewPanelView::refreshHeader()
{
    if (!m_state)
        return;
    NmText::setPlainText(m_title, PreviewPanelLook::displayTitle(m_state->title(), m_state->loadedURL()).toUpper());
    m_expand->setSymbol(PreviewPanelLook::expandSymbol(m_state->isExpanded()));
    NmText::setPlainToolTip(m_expand, PreviewPanelLook::expandHelp(m_state->isExpanded()));
}

void PreviewPanelView::refreshToolbar()
{
    if (!m_state)
        return;
    m_toolbar->showLook(PreviewPanelLook::toolbar(m_state->canGoBack(), m_state->canGoForward(), m_state->isLoading()));
}

void PreviewPanelView::refreshAddress()
{
    // The field always shows the model's text, focused or not; written only
    // when it differs so typing keeps its caret.
    QLineEdit *address = m_toolbar->addressField();
    if (m_state && address->text() != m_state->addressBar())
        address->setText(m_state->addressBar());
}

void PreviewPanelView::refreshStrip(bool force)
{
    if (!m_state)
        return;
    std::optional<RepairSessionState::Phase> phase;
    if (m_repairState)
        phase = m_repairState->phase();
    const PreviewPanelLook::Strip strip = PreviewPanelLook::strip(
        phase, m_state->error(), m_coordinator.has_value(), m_coordinator && m_coordinator->isRepairable);
    if (!force && m_shownStrip == strip)
        return;
    // A value typed for one prompt is never offered to the next one.
    if (m_shownStrip && m_shownStrip->row == PreviewPanelLook::Strip::Row::secret
        && (strip.row != PreviewPanelLook::Strip::Row::secret || strip.varName != m_shownStrip->varName))
        m_secretDraft.clear();
    m_shownStrip = strip;
    // A keyboard user who pressed a button of the row (say "Ask Nerim to fix
    // this") stays in the row that replaces it, not at the window's start.
    const bool heldFocus = m_strip && m_strip->isAncestorOf(QApplication::focusWidget());
    if (m_strip) {
        // The old row may be the one whose button is being clicked right now:
        // take it out at once, free it once the click is over.
        m_strip->setParent(nullptr);
        m_strip->deleteLater();
    }
    m_strip = buildPreviewStripRow(strip, m_secretDraft, stripActions(), this);
    if (m_strip)
        m_stripHolder->addWidget(m_strip);
    if (heldFocus)
        focusStrip();
}

void PreviewPanelView::focusStrip()
{
    if (m_strip) {
        m_strip->show();
        for (QWidget *widget = m_strip->nextInFocusChain(); m_strip->isAncestorOf(widget);
             widget = widget->nextInFocusChain()) {
            if ((widget->focusPolicy() & Qt::TabFocus) && widget->isEnabled() && widget->isVisibleTo(this)) {
                widget->setFocus(Qt::OtherFocusReason);
                return;
            }
        }
    }
    setFocus(Qt::OtherFocusReason);
}

void PreviewPanelView::refreshEmptyState()
{
    if (!m_state)
        return;
    m_content->setShowsEmptyState(PreviewPanelLook::showsEmptyState(m_state->loadedURL(), m_state->isLoading()));
}

void PreviewPanelView::refreshFrame()
{
    const bool expanded = m_state && m_state->isExpanded();
    // A limit for the canvas's row, not for the widget: the row moves the
    // panel through the sizes between when it is expanded or collapsed.
    NmLayoutLimits::setMaximumSize(
        this, QSize(expanded ? QWIDGETSIZE_MAX : kTiledWidth, expanded ? QWIDGETSIZE_MAX : kTiledHeight));
    updateGeometry();
}

QSize PreviewPanelView::sizeHint() const
{
    return {kTiledWidth, kTiledHeight};
}

void PreviewPanelView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The page (a whole browser engine) is made the first time the panel is
    // on screen, not for every project whose canvas merely opens.
    // A panel shown only in passing (its parent shown before the canvas hides
    // it again) makes none.
    if (!m_content->page())
        QTimer::singleShot(0, this, &PreviewPanelView::makeContent);
}

void PreviewPanelView::makeContent()
{
    if (m_content->page() || !isVisible())
        return;
    m_content->makePage();
    refreshEmptyState();
}

} // namespace nerim
