#include "ui/panels/PreviewPanelView.h"

#include "preview/PreviewState.h"
#include "preview/web/PreviewWebView.h"
#include "repair/RepairSessionState.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmActivitySpinner.h"
#include "ui/design/widgets/NmFrameMotion.h"
#include "ui/design/widgets/NmSurfaceModifier.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PanelWidgets.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace nerim {

namespace {

constexpr int kTiledWidth = 640;
constexpr int kTiledHeight = 400;

// A row of the status strip on its tint.
class TintedRow : public QWidget {
public:
    TintedRow(QColor fill, QWidget *parent) : QWidget(parent), m_fill(fill) {}

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), m_fill);
    }

private:
    QColor m_fill;
};

// Lies over the web view while nothing is loaded; clicks pass through.
class EmptyState : public QWidget {
public:
    explicit EmptyState(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("previewEmptyState"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        auto *column = new QVBoxLayout(this);
        column->setContentsMargins(32, 32, 32, 32);
        column->setSpacing(14);
        column->addStretch(1);
        QLabel *globe = symbolLabel(QStringLiteral("globe.americas"), 32, NmSymbolWeight::light,
                                    qColor(NmColor::inkTertiary), this);
        column->addWidget(globe, 0, Qt::AlignHCenter);
        const QFont title = Font::tracked(NmFont::title(), -0.01);
        QLabel *heading = plainLabel(Strings::PreviewPanel::title, title, qColor(NmColor::ink), this);
        column->addWidget(heading, 0, Qt::AlignHCenter);
        QLabel *message =
            plainLabel(Strings::PreviewPanel::emptyMessage, NmFont::body(), qColor(NmColor::inkSecondary), this, true);
        message->setAlignment(Qt::AlignHCenter);
        message->setContentsMargins(24, 0, 24, 0);
        column->addWidget(message);
        column->addStretch(1);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), qColor(NmColor::paperBright));
    }
};

CapsuleButton::Look pillLook(const QString &symbol)
{
    CapsuleButton::Look look;
    look.font = NmFont::caption();
    look.text = qColor(NmColor::ink);
    look.fill = qColor(NmColor::paperBright);
    look.stroke = qColor(NmColor::hairline, 0.4);
    look.symbol = symbol;
    look.symbolSize = 9;
    look.symbolWeight = NmSymbolWeight::semibold;
    look.paddingX = 10;
    look.paddingY = 4;
    return look;
}

PanelIconButton *xmarkButton(int side, const QString &help, QWidget *parent)
{
    auto *button =
        new PanelIconButton(QStringLiteral("xmark"), 9, NmSymbolWeight::medium, qColor(NmColor::inkSecondary), side,
                            parent);
    NmText::setPlainToolTip(button, help);
    return button;
}

// A wrapped banner text that asks for the height its lines take at its
// current width (up to its line limit): the strip's layouts size rows by
// their hints, which assume a wider label, and would cut the last line.
class BannerText : public QLabel {
public:
    explicit BannerText(QWidget *parent) : QLabel(parent) {}

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QLabel::resizeEvent(event);
        const int wanted = std::min(heightForWidth(width()), maximumHeight());
        if (wanted > 0 && wanted != minimumHeight())
            setMinimumHeight(wanted);
    }
};

QLabel *bannerText(const QString &text, int lines, QWidget *parent)
{
    auto *label = new BannerText(parent);
    NmText::setPlainText(label, text);
    label->setFont(NmFont::caption());
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, qColor(NmColor::ink));
    label->setPalette(palette);
    label->setWordWrap(true);
    label->setObjectName(QStringLiteral("bannerText"));
    label->setMaximumHeight(int(std::ceil(QFontMetricsF(label->font()).lineSpacing() * lines)) + 2);
    label->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    return label;
}

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
    m_title = plainLabel(QString(), micro, qColor(NmColor::inkSecondary), this);
    m_title->setObjectName(QStringLiteral("previewTitle"));
    m_title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    header->addWidget(m_title, 1);
    header->addSpacing(8);
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
    auto *toolbar = new QWidget(this);
    toolbar->setObjectName(QStringLiteral("previewToolbar"));
    toolbar->setFixedHeight(36);
    auto *tools = new QHBoxLayout(toolbar);
    tools->setContentsMargins(10, 0, 10, 0);
    tools->setSpacing(6);
    const auto toolButton = [&](const char *name) {
        auto *button = new PanelIconButton(QString(), 11, NmSymbolWeight::medium, qColor(NmColor::ink), 22, toolbar);
        button->setObjectName(QLatin1String(name));
        button->setDisabledColor(qColor(NmColor::inkTertiary, 0.5));
        tools->addWidget(button);
        return button;
    };
    m_back = toolButton("backButton");
    m_forward = toolButton("forwardButton");
    m_reload = toolButton("reloadButton");
    connect(m_back, &QAbstractButton::clicked, this, [this] {
        if (m_state)
            m_state->setPendingNavigation(PreviewState::PendingNavigation::back());
    });
    connect(m_forward, &QAbstractButton::clicked, this, [this] {
        if (m_state)
            m_state->setPendingNavigation(PreviewState::PendingNavigation::forward());
    });
    connect(m_reload, &QAbstractButton::clicked, this, [this] {
        if (m_state)
            m_state->setPendingNavigation(PreviewState::PendingNavigation::reload());
    });
    m_address = new QLineEdit(toolbar);
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
    connect(m_address, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (m_state)
            m_state->setAddressBar(text);
    });
    connect(m_address, &QLineEdit::returnPressed, this, &PreviewPanelView::submitAddress);
    tools->addWidget(m_address, 1);
    m_spinner = new NmActivitySpinner(toolbar);
    m_spinner->setObjectName(QStringLiteral("loadingSpinner"));
    m_spinner->setColor(qColor(NmColor::inkSecondary));
    tools->addWidget(m_spinner);
    tools->addSpacing(4);
    column->addWidget(toolbar);
    column->addWidget(panelDivider(qColor(NmColor::hairline, 0.3), this));

    // Status strip.
    m_stripHolder = new QVBoxLayout;
    m_stripHolder->setContentsMargins(0, 0, 0, 0);
    column->addLayout(m_stripHolder);

    // Content: the page, with the empty state as a sibling above it (never a
    // graphics effect over the web view, which would draw it blank).
    m_contentArea = new QWidget(this);
    m_contentArea->setObjectName(QStringLiteral("previewContent"));
    m_contentArea->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto *contentLayout = new QVBoxLayout(m_contentArea);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    m_contentFactory = contentFactory ? std::move(contentFactory) : [](PreviewState *previewState, QWidget *parent) {
        return static_cast<QWidget *>(new PreviewWebView(previewState, parent));
    };
    m_emptyState = new EmptyState(m_contentArea);
    m_contentArea->installEventFilter(this);
    column->addWidget(m_contentArea, 1);

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
    m_address->clearFocus();
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
    const PreviewPanelLook::Toolbar look =
        PreviewPanelLook::toolbar(m_state->canGoBack(), m_state->canGoForward(), m_state->isLoading());
    const std::pair<PanelIconButton *, PreviewPanelLook::ToolbarButton> buttons[] = {
        {m_back, look.back}, {m_forward, look.forward}, {m_reload, look.reload}};
    for (const auto &[button, spec] : buttons) {
        button->setSymbol(spec.symbol);
        button->setEnabled(spec.enabled);
        NmText::setPlainToolTip(button, spec.help);
    }
    m_spinner->setVisible(look.showsSpinner);
}

void PreviewPanelView::refreshAddress()
{
    // The field always shows the model's text, focused or not; written only
    // when it differs so typing keeps its caret.
    if (m_state && m_address->text() != m_state->addressBar())
        m_address->setText(m_state->addressBar());
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
    if (m_strip) {
        // The old row may be the one whose button is being clicked right now:
        // take it out at once, free it once the click is over.
        m_strip->setParent(nullptr);
        m_strip->deleteLater();
    }
    m_strip = strip.row == PreviewPanelLook::Strip::Row::none ? nullptr : buildStrip(strip);
    if (m_strip)
        m_stripHolder->addWidget(m_strip);
}

QWidget *PreviewPanelView::buildStrip(const PreviewPanelLook::Strip &strip)
{
    using Row = PreviewPanelLook::Strip::Row;
    QColor fill;
    switch (strip.row) {
    case Row::error: fill = qColor(NmColor::danger, 0.06); break;
    case Row::progress: fill = qColor(NmColor::accent, 0.06); break;
    case Row::secret: fill = qColor(NmColor::accent, 0.08); break;
    case Row::fixed: fill = QColor::fromRgbF(0.2f, 0.78f, 0.35f, 0.1f); break;
    case Row::stuck: fill = QColor::fromRgbF(1.0f, 0.58f, 0.0f, 0.08f); break;
    case Row::none: break;
    }
    auto *row = new TintedRow(fill, this);
    const auto dismiss = [this, row](std::function<void()> action) {
        auto *button = xmarkButton(18, Strings::PreviewPanel::dismiss, row);
        button->setObjectName(QStringLiteral("dismissButton"));
        connect(button, &QAbstractButton::clicked, this, std::move(action));
        return button;
    };

    if (strip.row == Row::secret) {
        row->setObjectName(QStringLiteral("secretPrompt"));
        auto *column = new QVBoxLayout(row);
        column->setContentsMargins(12, 10, 12, 10);
        column->setSpacing(8);
        auto *head = new QHBoxLayout;
        head->setSpacing(8);
        QLabel *key =
            symbolLabel(QStringLiteral("key.horizontal"), 12, NmSymbolWeight::regular, qColor(NmColor::accent), row);
        head->addWidget(key, 0, Qt::AlignTop);
        head->addWidget(bannerText(strip.text, 3, row), 1, Qt::AlignTop);
        if (strip.showsCancel) {
            auto *cancel = xmarkButton(18, Strings::PreviewPanel::cancelSecretHelp, row);
            cancel->setObjectName(QStringLiteral("cancelRepairButton"));
            connect(cancel, &QAbstractButton::clicked, this, [this] { runCoordinator(&RepairBannerCoordinator::cancelRepair); });
            head->addWidget(cancel, 0, Qt::AlignTop);
        }
        column->addLayout(head);
        auto *entry = new QHBoxLayout;
        entry->setSpacing(8);
        QLabel *name =
            plainLabel(strip.varName + QLatin1Char('='), NmFont::monoSmall(), qColor(NmColor::inkSecondary), row);
        name->setObjectName(QStringLiteral("secretName"));
        entry->addWidget(name);
        auto *field = new QLineEdit(row);
        field->setObjectName(QStringLiteral("secretField"));
        field->setEchoMode(QLineEdit::Password);
        field->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText
                                   | Qt::ImhNoAutoUppercase);
        field->setFont(NmFont::monoSmall());
        field->setText(m_secretDraft);
        field->setStyleSheet(QStringLiteral("QLineEdit{background:%1;border:0.5px solid %2;border-radius:4px;"
                                            "padding:4px 8px;color:%3;}")
                                 .arg(qColor(NmColor::paperShade, 0.7).name(QColor::HexArgb),
                                      qColor(NmColor::accent, 0.4).name(QColor::HexArgb),
                                      qColor(NmColor::ink).name()));
        entry->addWidget(field, 1);
        CapsuleButton::Look look;
        look.font = NmFont::caption();
        look.text = qColor(NmColor::ink);
        look.fill = qColor(NmColor::accent, 0.2);
        look.stroke = qColor(NmColor::accent, 0.5);
        look.paddingX = 12;
        look.paddingY = 4;
        auto *submit = new CapsuleButton(Strings::PreviewPanel::submit, look, row);
        submit->setObjectName(QStringLiteral("secretSubmit"));
        submit->setEnabled(!m_secretDraft.isEmpty());
        entry->addWidget(submit);
        column->addLayout(entry);
        connect(field, &QLineEdit::textEdited, this, [this, submit](const QString &text) {
            m_secretDraft = text;
            submit->setEnabled(!text.isEmpty());
        });
        connect(field, &QLineEdit::returnPressed, this, &PreviewPanelView::submitSecretDraft);
        connect(submit, &QAbstractButton::clicked, this, &PreviewPanelView::submitSecretDraft);
        return row;
    }

    auto *line = new QHBoxLayout(row);
    line->setContentsMargins(12, 8, 12, 8);
    line->setSpacing(8);
    switch (strip.row) {
    case Row::error: {
        row->setObjectName(QStringLiteral("errorRow"));
        line->addWidget(symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), 10, NmSymbolWeight::regular,
                                    qColor(NmColor::danger), row));
        line->addWidget(bannerText(strip.text, 2, row), 1);
        if (strip.showsAsk) {
            auto *ask = new CapsuleButton(Strings::PreviewPanel::ask, pillLook(QStringLiteral("wand.and.stars")), row);
            ask->setObjectName(QStringLiteral("askButton"));
            NmText::setPlainToolTip(ask, Strings::PreviewPanel::askHelp);
            connect(ask, &QAbstractButton::clicked, this, [this] { runCoordinator(&RepairBannerCoordinator::beginRepair); });
            line->addWidget(ask);
        }
        line->addWidget(dismiss([this] {
            if (m_state)
                PreviewPanelLook::dismissErrorRow(*m_state);
        }));
        break;
    }
    case Row::progress: {
        row->setObjectName(QStringLiteral("progressRow"));
        auto *spinner = new NmActivitySpinner(row);
        spinner->setColor(qColor(NmColor::inkSecondary));
        spinner->setDiameter(NmActivitySpinner::smallDiameter * 0.7);
        spinner->setFixedSize(14, 14);
        line->addWidget(spinner);
        line->addWidget(bannerText(strip.text, 2, row), 1);
        if (strip.showsCancel) {
            CapsuleButton::Look look;
            look.font = NmFont::caption();
            look.text = qColor(NmColor::inkSecondary);
            look.fill = qColor(NmColor::paperShade, 0.6);
            look.stroke = Qt::transparent;
            look.paddingX = 8;
            look.paddingY = 3;
            auto *cancel = new CapsuleButton(Strings::PreviewPanel::cancel, look, row);
            cancel->setObjectName(QStringLiteral("cancelRepairButton"));
            NmText::setPlainToolTip(cancel, Strings::PreviewPanel::cancelHelp);
            connect(cancel, &QAbstractButton::clicked, this, [this] { runCoordinator(&RepairBannerCoordinator::cancelRepair); });
            line->addWidget(cancel);
        }
        break;
    }
    case Row::fixed:
        row->setObjectName(QStringLiteral("fixedRow"));
        line->addWidget(symbolLabel(QStringLiteral("checkmark.circle.fill"), 11, NmSymbolWeight::regular,
                                    QColor::fromRgbF(0.2f, 0.78f, 0.35f), row));
        line->addWidget(bannerText(strip.text.isEmpty() ? Strings::PreviewPanel::fixedShort : strip.text, 2, row), 1);
        break;
    case Row::stuck: {
        row->setObjectName(QStringLiteral("stuckRow"));
        line->addWidget(symbolLabel(QStringLiteral("exclamationmark.circle.fill"), 11, NmSymbolWeight::regular,
                                    QColor::fromRgbF(1.0f, 0.58f, 0.0f), row));
        line->addWidget(bannerText(strip.text, 2, row), 1);
        if (strip.showsTryAgain) {
            auto *retry =
                new CapsuleButton(Strings::PreviewPanel::tryAgain, pillLook(QStringLiteral("arrow.clockwise")), row);
            retry->setObjectName(QStringLiteral("tryAgainButton"));
            NmText::setPlainToolTip(retry, Strings::PreviewPanel::tryAgainHelp);
            connect(retry, &QAbstractButton::clicked, this, [this] { runCoordinator(&RepairBannerCoordinator::retryRepairFromScratch); });
            line->addWidget(retry);
        }
        line->addWidget(dismiss([this] {
            if (m_state)
                PreviewPanelLook::dismissStuckRow(*m_state, m_repairState);
        }));
        break;
    }
    case Row::secret:
    case Row::none: break;
    }
    return row;
}

void PreviewPanelView::refreshEmptyState()
{
    if (!m_state)
        return;
    const bool shows = PreviewPanelLook::showsEmptyState(m_state->loadedURL(), m_state->isLoading());
    m_emptyState->setGeometry(m_contentArea->rect());
    m_emptyState->setVisible(shows);
    if (shows)
        m_emptyState->raise();
    // The page's own window would cover the empty state: it steps aside
    // while the empty state shows (nothing is loading then).
    if (m_pageHost)
        m_pageHost->setVisible(!shows);
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
    if (!m_content && m_contentFactory)
        QTimer::singleShot(0, this, &PreviewPanelView::makeContent);
}

void PreviewPanelView::makeContent()
{
    if (m_content || !m_contentFactory || !isVisible())
        return;
    // The page is drawn into the window's own surface: a native child window
    // for it leaves the page blank (the web view composites through the
    // window's OpenGL surface, which a raster child window lacks).
    m_pageHost = new QWidget(m_contentArea);
    m_pageHost->setObjectName(QStringLiteral("previewPageHost"));
    auto *hostLayout = new QVBoxLayout(m_pageHost);
    hostLayout->setContentsMargins(0, 0, 0, 0);
    m_content = m_contentFactory(m_state, m_pageHost);
    hostLayout->addWidget(m_content);
    m_contentArea->layout()->addWidget(m_pageHost);
    m_content->show();
    refreshEmptyState();
}

bool PreviewPanelView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_contentArea && event->type() == QEvent::Resize)
        m_emptyState->setGeometry(m_contentArea->rect());
    if (watched == m_address && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut))
        update();
    return QWidget::eventFilter(watched, event);
}

void PreviewPanelView::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (!m_address)
        return;
    // The address field's inset and its stroke, accent while it has focus.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect field(m_address->mapTo(this, QPoint(0, 0)), m_address->size());
    const QRectF box = QRectF(field).adjusted(0.25, 0.25, -0.25, -0.25);
    painter.setBrush(qColor(NmColor::paperShade, 0.6));
    painter.setPen(QPen(m_address->hasFocus() ? qColor(NmColor::accent, 0.6) : qColor(NmColor::hairline, 0.4), 0.5));
    painter.drawRoundedRect(box, 4, 4);
}

} // namespace nerim
