#include "ui/panels/PlansPanelView.h"

#include "plans/PlanState.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/widgets/NmFrameMotion.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PlanConversation.h"
#include "ui/panels/PlanStepList.h"
#include "ui/panels/PlanWorkspaceFiles.h"
#include "ui/panels/PlansComposer.h"
#include "ui/panels/PlansPanelHeader.h"
#include "ui/panels/PlansPanelLook.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QShowEvent>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace nerim {

namespace {

constexpr int kTiledWidth = 300;
constexpr int kTiledHeight = 620;

} // namespace

PlansPanelView::PlansPanelView(PlanState *state, PlansPanelCallbacks callbacks, QWidget *parent)
    : QWidget(parent)
    , m_state(state)
    , m_callbacks(std::move(callbacks))
    , m_linkOpener([](const QUrl &url) { QDesktopServices::openUrl(url); })
{
    setObjectName(QStringLiteral("PlansPanelView"));
    setAttribute(Qt::WA_TranslucentBackground);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_header = new PlansPanelHeader(this);
    connect(m_header, &PlansPanelHeader::organizeClicked, this, [this] {
        if (m_callbacks.onOrganizeRequested)
            m_callbacks.onOrganizeRequested();
    });
    connect(m_header, &PlansPanelHeader::startOverClicked, this, [this] {
        if (m_callbacks.onRegenerateRequested)
            m_callbacks.onRegenerateRequested();
    });
    connect(m_header, &PlansPanelHeader::expandClicked, this, [this] {
        if (m_state)
            m_state->toggleExpanded();
    });
    connect(m_header, &PlansPanelHeader::closeClicked, this, [this] {
        if (m_state)
            m_state->close();
    });
    column->addWidget(m_header);
    column->addWidget(panelDivider(PlansPanelColor::fill(), this));

    m_stack = new QStackedWidget(this);
    m_stack->setObjectName(QStringLiteral("plansContent"));
    m_filePage = new PlanFilePage(m_linkOpener);
    connect(m_filePage, &PlanFilePage::backClicked, this, [this] {
        if (m_callbacks.onCloseWorkspaceFile)
            m_callbacks.onCloseWorkspaceFile();
    });
    m_emptyPage = new PlansEmptyState;
    m_emptyPage->onAppeared = [this](DraftField *field) { branchAppeared(field); };
    m_emptyPage->onDisappeared = [this] { branchDisappeared(); };
    connect(m_emptyPage->generateButton(), &QAbstractButton::clicked, this, &PlansPanelView::submitDraft);
    watchDraftField(m_emptyPage->field());
    m_planPage = buildPlanPage();
    m_stack->addWidget(m_filePage);
    m_stack->addWidget(m_emptyPage);
    m_stack->addWidget(m_planPage);
    column->addWidget(m_stack, 1);

    if (state) {
        const auto header = [this] { refreshHeader(); };
        connect(state, &PlanState::stepsChanged, this, [this] {
            refreshHeader();
            refreshBranch();
            refreshSteps();
        });
        connect(state, &PlanState::conversationChanged, this, [this] {
            refreshHeader();
            refreshBranch();
            refreshTurns();
        });
        connect(state, &PlanState::goalChanged, this, &PlansPanelView::refreshGoal);
        connect(state, &PlanState::isGeneratingChanged, this, [this] {
            refreshHeader();
            refreshDraft();
        });
        connect(state, &PlanState::isOrganizingChanged, this, header);
        connect(state, &PlanState::isExpandedChanged, this, [this] {
            refreshHeader();
            refreshFrame();
        });
        connect(state, &PlanState::workspaceFilesChanged, this, [this] {
            refreshHeader();
            refreshChips();
            refreshFile();
        });
        connect(state, &PlanState::openWorkspaceFileChanged, this, [this] {
            refreshBranch();
            refreshFile();
        });
        connect(state, &PlanState::draftVisionChanged, this, &PlansPanelView::refreshDraft);
        connect(state, &PlanState::lastErrorChanged, this, &PlansPanelView::refreshError);
    }
    refreshHeader();
    refreshChips();
    refreshSteps();
    refreshTurns();
    if (state)
        refreshGoal();
    refreshDraft();
    refreshError();
    refreshFile();
    refreshBranch();
    refreshFrame();
}

void PlansPanelView::setLinkOpener(LinkOpener opener)
{
    m_linkOpener = std::move(opener);
    // Rows built from now on use it; rebuild what is shown.
    m_turns->setLinkOpener(m_linkOpener);
    refreshTurns();
    m_filePage->setLinkOpener(m_linkOpener);
    refreshFile();
}

QWidget *PlansPanelView::buildPlanPage()
{
    auto *page = new PlanDraftBranch;
    page->setObjectName(QStringLiteral("planBranch"));
    auto *column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_chips = new PlanFileChips(page);
    connect(m_chips, &PlanFileChips::fileChosen, this, [this](const QString &filename) {
        if (m_callbacks.onOpenWorkspaceFile)
            m_callbacks.onOpenWorkspaceFile(filename);
    });
    column->addWidget(m_chips);
    m_chipDivider = panelDivider(PlansPanelColor::fill(), page);
    column->addWidget(m_chipDivider);

    auto *content = new QWidget;
    auto *sections = new QVBoxLayout(content);
    sections->setContentsMargins(14, 12, 14, 8);
    sections->setSpacing(10);
    m_goal = plainLabel(QString(), NmFont::bodyMedium(), PlansPanelColor::text(), content, true);
    m_goal->setObjectName(QStringLiteral("planGoal"));
    m_goal->setContentsMargins(0, 4, 0, 0);
    sections->addWidget(m_goal);
    m_steps = new PlanStepList(content);
    connect(m_steps, &PlanStepList::stepClicked, this, &PlansPanelView::toggleStep);
    sections->addWidget(m_steps);
    m_turnsDivider = panelDivider(PlansPanelColor::fill(), content);
    sections->addWidget(m_turnsDivider);
    m_turns = new PlanConversation(m_linkOpener, content);
    sections->addWidget(m_turns);
    sections->addStretch(1);
    auto *scroll = darkScrollArea(content, Qt::Vertical, page);
    scroll->setObjectName(QStringLiteral("planScroll"));
    m_planContent = content;
    m_planScroll = scroll;
    content->installEventFilter(this); // its height is the panel's
    column->addWidget(scroll, 1);
    column->addWidget(panelDivider(PlansPanelColor::fill(), page));

    m_composer = new PlansComposer(page);
    page->setField(m_composer->field());
    page->onAppeared = [this](DraftField *field) { branchAppeared(field); };
    page->onDisappeared = [this] { branchDisappeared(); };
    connect(m_composer->sendButton(), &QAbstractButton::clicked, this, &PlansPanelView::submitDraft);
    column->addWidget(m_composer);
    watchDraftField(m_composer->field());
    return page;
}

void PlansPanelView::watchDraftField(DraftField *field)
{
    connect(field, &QPlainTextEdit::textChanged, this, [this, field] {
        if (m_state)
            m_state->setDraftVision(field->toPlainText());
    });
    connect(field, &DraftField::returnPressed, this, &PlansPanelView::returnPressed);
    connect(field, &DraftField::focusChanged, this, &PlansPanelView::draftFocusChanged);
}

void PlansPanelView::toggleStep(const QUuid &id)
{
    if (!m_state)
        return;
    for (const PlanStep &current : m_state->steps()) {
        if (current.id == id) {
            m_state->setStepStatus(id, PlansPanelLook::nextStatus(current.status));
            return;
        }
    }
}

// ---- Submitting and focus ----------------------------------------------------------------

void PlansPanelView::submitDraft()
{
    if (!m_state)
        return;
    const std::optional<QString> text = PlansPanelLook::submittedText(m_state->draftVision());
    if (!text)
        return;
    if (m_callbacks.onGenerateRequested)
        m_callbacks.onGenerateRequested(*text);
    m_state->setDraftVision(QString());
}

bool PlansPanelView::isSubmitDisabled() const
{
    return !m_state || PlansPanelLook::isSubmitDisabled(m_state->draftVision(), m_state->isGenerating());
}

void PlansPanelView::returnPressed()
{
    if (m_state && PlansPanelLook::returnSubmits(m_state->isGenerating()))
        submitDraft();
}

void PlansPanelView::branchAppeared(DraftField *field)
{
    if (field)
        field->setFocus(Qt::OtherFocusReason);
    m_draftFieldFocused = true;
    if (m_state)
        m_state->setDraftFieldFocused(true);
}

void PlansPanelView::branchDisappeared()
{
    if (m_state)
        m_state->setDraftFieldFocused(false);
}

void PlansPanelView::draftFocusChanged(bool focused)
{
    if (focused == m_draftFieldFocused)
        return;
    m_draftFieldFocused = focused;
    if (m_state)
        m_state->setDraftFieldFocused(focused);
}

// ---- Following the model -----------------------------------------------------------------

void PlansPanelView::refreshHeader()
{
    if (!m_state)
        return;
    m_header->showLook(PlansPanelLook::header({
        !m_state->steps().isEmpty(),
        !m_state->conversation().isEmpty(),
        !m_state->workspaceFiles().isEmpty(),
        m_state->isOrganizing(),
        m_state->isGenerating(),
        m_state->isExpanded(),
    }));
}

void PlansPanelView::refreshBranch()
{
    if (!m_state)
        return;
    const PlansPanelLook::Branch branch = PlansPanelLook::contentBranch(
        m_state->openWorkspaceFile().has_value(), !m_state->steps().isEmpty(), !m_state->conversation().isEmpty());
    QWidget *page = branch == PlansPanelLook::Branch::openFile     ? static_cast<QWidget *>(m_filePage)
                    : branch == PlansPanelLook::Branch::emptyState ? static_cast<QWidget *>(m_emptyPage)
                                                                   : m_planPage;
    if (m_stack->currentWidget() != page) {
        m_stack->setCurrentWidget(page);
        updateGeometry();
    }
}

void PlansPanelView::refreshFile()
{
    if (!m_state || !m_state->openWorkspaceFile())
        return;
    const QString &name = *m_state->openWorkspaceFile();
    m_filePage->showFile(name, PlansPanelLook::fileText(m_state->workspaceFiles(), name));
}

void PlansPanelView::refreshChips()
{
    if (!m_state)
        return;
    const auto &files = m_state->workspaceFiles();
    m_chips->setFiles(files);
    m_chips->setVisible(!files.isEmpty());
    m_chipDivider->setVisible(!files.isEmpty());
}

void PlansPanelView::refreshSteps()
{
    if (!m_state)
        return;
    const QList<PlanStep> &steps = m_state->steps();
    m_steps->setSteps(steps);
    m_steps->setVisible(!steps.isEmpty());
    m_turnsDivider->setVisible(!steps.isEmpty() && !m_state->conversation().isEmpty());
}

void PlansPanelView::refreshTurns()
{
    if (!m_state)
        return;
    const QList<PlanTurn> &turns = m_state->conversation();
    m_turns->setTurns(turns);
    m_turns->setVisible(!turns.isEmpty());
    m_turnsDivider->setVisible(!turns.isEmpty() && !m_state->steps().isEmpty());
}

void PlansPanelView::refreshGoal()
{
    if (!m_state)
        return;
    NmText::setPlainText(m_goal, m_state->goal());
    m_goal->setVisible(!m_state->goal().isEmpty());
}

void PlansPanelView::refreshDraft()
{
    if (!m_state)
        return;
    const QString &draft = m_state->draftVision();
    m_emptyPage->field()->setDraft(draft);
    m_composer->field()->setDraft(draft);
    const bool generating = m_state->isGenerating();
    m_composer->field()->setPlaceholderText(PlansPanelLook::composerPlaceholder(generating));
    const bool disabled = isSubmitDisabled();
    for (auto [button, fromEmptyState] :
         {std::pair{m_emptyPage->generateButton(), true}, std::pair{m_composer->sendButton(), false}}) {
        button->setText(PlansPanelLook::primaryTitle(fromEmptyState, generating));
        button->setEnabled(!disabled);
        button->updateGeometry();
    }
}

void PlansPanelView::refreshError()
{
    if (!m_state)
        return;
    const bool shows = PlansPanelLook::showsError(m_state->lastError());
    const QString message = shows ? *m_state->lastError() : QString();
    m_emptyPage->errorLine()->showMessage(shows, message);
    m_composer->errorLine()->showMessage(shows, message);
}

void PlansPanelView::refreshFrame()
{
    const bool expanded = m_state && m_state->isExpanded();
    // A limit for the canvas's row, not for the widget: the row moves the
    // panel through the sizes between when it is expanded or collapsed.
    NmLayoutLimits::setMaximumSize(
        this, QSize(expanded ? QWIDGETSIZE_MAX : kTiledWidth, expanded ? QWIDGETSIZE_MAX : kTiledHeight));
    setSizePolicy(QSizePolicy::Expanding, expanded ? QSizePolicy::Expanding : QSizePolicy::Maximum);
    updateGeometry();
}

QSize PlansPanelView::sizeHint() const
{
    // Tiled, the panel hugs the branch on screen (not the tallest of the
    // three), up to its maximum height.
    int height = m_header ? m_header->sizeHint().height() + 1 : 0;
    if (m_stack && m_stack->currentWidget())
        height += pageHeightForWidth(m_stack->currentWidget(), kTiledWidth);
    return {kTiledWidth, std::min(height, kTiledHeight)};
}

bool PlansPanelView::eventFilter(QObject *watched, QEvent *event)
{
    // The plan's content changed its layout (a plan arrived, a turn was
    // added): the panel's own size hint follows it.
    if (watched == m_planContent && event->type() == QEvent::LayoutRequest)
        updateGeometry();
    return QWidget::eventFilter(watched, event);
}

int PlansPanelView::pageHeightForWidth(QWidget *page, int width) const
{
    if (page != m_planPage || !m_planScroll || !page->layout())
        return page->hasHeightForWidth() ? page->heightForWidth(width) : page->sizeHint().height();
    // The plan's page: its rows by their own heights, the scroll area by the
    // whole of what it scrolls, so that the panel is as tall as the plan
    // (within its limit) and only a plan taller than that scrolls.
    QLayout *column = page->layout();
    int height = 0;
    for (int i = 0; i < column->count(); ++i) {
        QLayoutItem *item = column->itemAt(i);
        if (item->isEmpty())
            continue;
        if (item->widget() == m_planScroll) {
            const int frame = 2 * m_planScroll->frameWidth();
            height += frame + (m_planContent->hasHeightForWidth() ? m_planContent->heightForWidth(width - frame)
                                                                  : m_planContent->sizeHint().height());
        } else {
            height += item->hasHeightForWidth() ? item->heightForWidth(width) : item->sizeHint().height();
        }
    }
    return height;
}

void PlansPanelView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    // Re-list the plan files each time the panel comes on screen; a panel
    // shown only in passing (with its parent, then hidden by the canvas)
    // lists nothing.
    QTimer::singleShot(0, this, [this] {
        if (isVisible() && m_callbacks.onRefreshWorkspace)
            m_callbacks.onRefreshWorkspace();
    });
}

void PlansPanelView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.375, 0.375, -0.375, -0.375);
    painter.setPen(QPen(PlansPanelColor::hairline(), 0.75));
    painter.setBrush(qColor(NmColor::inkSurface, 0.88));
    painter.drawRoundedRect(box, 14, 14);
}

} // namespace nerim
