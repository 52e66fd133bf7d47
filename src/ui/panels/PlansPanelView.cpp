#include "ui/panels/PlansPanelView.h"

#include "plans/PlanState.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmActivitySpinner.h"
#include "ui/design/widgets/NmFrameMotion.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panels/PlansPanelLook.h"

#include <QDesktopServices>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace nerim {

namespace {

constexpr int kTiledWidth = 300;
constexpr int kTiledHeight = 620;

QScrollArea *darkScrollArea(QWidget *content, Qt::Orientation orientation, QWidget *parent)
{
    auto *area = new QScrollArea(parent);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    // A click on a row must not pull keyboard focus away from the draft field.
    area->setFocusPolicy(Qt::NoFocus);
    area->setWidget(content);
    area->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    area->setAttribute(Qt::WA_TranslucentBackground);
    area->setStyleSheet(QStringLiteral("QScrollArea{background:transparent;}"));
    if (orientation == Qt::Horizontal) {
        area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    } else {
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    }
    return area;
}

CapsuleButton::Look primaryLook()
{
    CapsuleButton::Look look;
    look.font = NmFont::captionMedium();
    look.text = qColor(NmColor::inkSurface);
    look.fill = qColor(NmColor::accent);
    look.disabledFill = qColor(NmColor::accent, 0.55);
    look.stroke = Qt::transparent;
    look.symbol = QStringLiteral("arrow.right");
    look.symbolTrailing = true;
    look.paddingX = 14;
    look.paddingY = 8;
    return look;
}

} // namespace

// One step of the plan: number, status mark, title (struck through when
// done) and detail. The whole row is one click target.
class PlanStepRowView : public QWidget {
public:
    PlanStepRowView(std::function<void()> onToggle, QWidget *parent)
        : QWidget(parent)
        , m_onToggle(std::move(onToggle))
    {
        setObjectName(QStringLiteral("planStepRow"));
        setCursor(Qt::PointingHandCursor);
        auto *row = new QHBoxLayout(this);
        row->setContentsMargins(8, 6, 8, 6);
        row->setSpacing(10);
        row->addSpacing(18);
        auto *text = new QVBoxLayout;
        text->setSpacing(3);
        auto *titleLine = new QHBoxLayout;
        titleLine->setSpacing(6);
        m_number = plainLabel(QString(), NmFont::caption(), PlansPanelColor::textTertiary(), this);
        m_number->setObjectName(QStringLiteral("stepNumber"));
        QFont numberFont = NmFont::caption();
        m_number->setFont(numberFont);
        m_number->setFixedWidth(QFontMetrics(numberFont).horizontalAdvance(QStringLiteral("00.")) + 1);
        m_number->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        m_title = plainLabel(QString(), NmFont::bodyMedium(), PlansPanelColor::text(), this, true);
        m_title->setObjectName(QStringLiteral("stepTitle"));
        titleLine->addWidget(m_number, 0, Qt::AlignTop);
        titleLine->addWidget(m_title, 1);
        text->addLayout(titleLine);
        m_detail = plainLabel(QString(), NmFont::body(), PlansPanelColor::textSecondary(), this, true);
        m_detail->setObjectName(QStringLiteral("stepDetail"));
        text->addWidget(m_detail);
        row->addLayout(text, 1);
        for (QLabel *label : {m_number, m_title, m_detail})
            label->setAttribute(Qt::WA_TransparentForMouseEvents);
    }

    void setStep(int number, const PlanStep &step)
    {
        m_status = step.status;
        NmText::setPlainText(m_number, QString::number(number) + QLatin1Char('.'));
        NmText::setPlainText(m_title, step.title);
        QFont titleFont = NmFont::bodyMedium();
        titleFont.setStrikeOut(step.status == PlanStep::Status::done);
        m_title->setFont(titleFont);
        QPalette palette = m_title->palette();
        palette.setColor(QPalette::WindowText, step.status == PlanStep::Status::done ? PlansPanelColor::textTertiary()
                                                                                   : PlansPanelColor::text());
        m_title->setPalette(palette);
        NmText::setPlainText(m_detail, step.detail);
        m_detail->setVisible(!step.detail.isEmpty());
        update();
    }

    PlanStep::Status status() const { return m_status; }

protected:
    void mousePressEvent(QMouseEvent *event) override { event->accept(); }
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && m_onToggle)
            m_onToggle();
    }

    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (m_status == PlanStep::Status::inProgress) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(qColor(NmColor::accent, 0.18));
            painter.drawRoundedRect(QRectF(rect()), 8, 8);
        }
        // The mark sits in an 18-wide column, 2 below the row's top margin.
        const QPointF centre(8 + 9, 6 + 2 + QFontMetrics(NmFont::bodyMedium()).height() / 2.0 - 2);
        switch (m_status) {
        case PlanStep::Status::pending:
            painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.45f), 1));
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(centre, 6.5, 6.5);
            break;
        case PlanStep::Status::inProgress:
            painter.setPen(QPen(qColor(NmColor::accent, 0.5), 3));
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(centre, 10, 10);
            painter.setPen(Qt::NoPen);
            painter.setBrush(qColor(NmColor::accent));
            painter.drawEllipse(centre, 7, 7);
            break;
        case PlanStep::Status::done: {
            const qreal side = NmIcons::boxSide(14);
            NmIcons::paint(painter, QRectF(centre.x() - side / 2, centre.y() - side / 2, side, side),
                           u"checkmark.circle.fill", NmSymbolWeight::regular, 14, qColor(NmColor::accent));
            break;
        }
        }
    }

private:
    std::function<void()> m_onToggle;
    PlanStep::Status m_status = PlanStep::Status::pending;
    QLabel *m_number = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_detail = nullptr;
};

namespace {

class UserBubble : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        {
            QPainter painter(this);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(QPen(qColor(NmColor::accent, 0.35), 0.5));
            painter.setBrush(qColor(NmColor::accent, 0.22));
            painter.drawRoundedRect(QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25), 8, 8);
        }
        QLabel::paintEvent(event);
    }
};

} // namespace

// One turn of the planning conversation: the user's words verbatim in a
// bubble at the trailing edge, or the agent's labelled Markdown reply.
class PlanTurnRowView : public QWidget {
public:
    PlanTurnRowView(const PlanTurn &turn, const LinkOpener &opener, QWidget *parent)
        : QWidget(parent)
    {
        if (turn.role == PlanTurn::Role::user) {
            setObjectName(QStringLiteral("userTurn"));
            auto *row = new QHBoxLayout(this);
            row->setContentsMargins(24, 0, 0, 0);
            row->setSpacing(0);
            row->addStretch(1);
            auto *bubble = new UserBubble(this);
            bubble->setObjectName(QStringLiteral("userBubble"));
            bubble->setFont(NmFont::body());
            bubble->setWordWrap(true);
            bubble->setContentsMargins(10, 6, 10, 6);
            bubble->setTextInteractionFlags(Qt::TextSelectableByMouse);
            QPalette palette = bubble->palette();
            palette.setColor(QPalette::WindowText, PlansPanelColor::text());
            bubble->setPalette(palette);
            NmText::setPlainText(bubble, turn.content);
            row->addWidget(bubble, 0, Qt::AlignRight);
            return;
        }
        setObjectName(QStringLiteral("agentTurn"));
        auto *column = new QVBoxLayout(this);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(3);
        auto *header = new QHBoxLayout;
        header->setSpacing(5);
        const QFont micro = Font::tracked(NmFont::micro(), 0.08);
        QLabel *label = plainLabel(Strings::PlansPanel::agentLabel.toUpper(), micro, qColor(NmColor::accent), this);
        label->setObjectName(QStringLiteral("agentLabel"));
        header->addWidget(label);
        if (turn.revisedPlan) {
            QLabel *updated =
                plainLabel(Strings::PlansPanel::updatedThePlan.toUpper(), micro, PlansPanelColor::textTertiary(), this);
            updated->setObjectName(QStringLiteral("updatedThePlan"));
            header->addWidget(updated);
        }
        header->addStretch(1);
        column->addLayout(header);
        auto *reply = new PlanMarkdownView(PlansPanelColor::textSecondary(), opener, this);
        reply->setContent(turn.content);
        column->addWidget(reply);
    }
};

// A branch holding a draft field: coming on screen focuses the field and
// sets the focus mirror; leaving the screen clears the mirror. A minimised
// window (a spontaneous hide) is not leaving.
class DraftBranch : public QWidget {
public:
    DraftBranch(PlansPanelView *panel, QWidget *parent) : QWidget(parent), m_panel(panel) {}
    DraftField *field = nullptr;

protected:
    void showEvent(QShowEvent *event) override
    {
        QWidget::showEvent(event);
        if (!event->spontaneous())
            m_panel->branchAppeared(field);
    }
    void hideEvent(QHideEvent *event) override
    {
        QWidget::hideEvent(event);
        if (!event->spontaneous())
            m_panel->branchDisappeared();
    }

private:
    PlansPanelView *m_panel;
};

// ---- PlansPanelView ----------------------------------------------------------------------

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
    buildHeader(column);
    column->addWidget(panelDivider(PlansPanelColor::fill(), this));
    m_stack = new QStackedWidget(this);
    m_stack->setObjectName(QStringLiteral("plansContent"));
    m_filePage = buildFilePage();
    m_emptyPage = buildEmptyPage();
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
        connect(state, &PlanState::goalChanged, this, [this] {
            NmText::setPlainText(m_goal, m_state->goal());
            m_goal->setVisible(!m_state->goal().isEmpty());
        });
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
    if (state) {
        NmText::setPlainText(m_goal, state->goal());
        m_goal->setVisible(!state->goal().isEmpty());
    }
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
    for (PlanTurnRowView *row : std::as_const(m_turnRows))
        delete row;
    m_turnRows.clear();
    m_turnOrder.clear();
    refreshTurns();
    if (m_fileText) {
        auto *layout = m_fileText->parentWidget()->layout();
        auto *replacement = new PlanMarkdownView(PlansPanelColor::textSecondary(), m_linkOpener,
                                                 m_fileText->parentWidget());
        replacement->setObjectName(m_fileText->objectName());
        layout->replaceWidget(m_fileText, replacement);
        delete m_fileText;
        m_fileText = replacement;
        refreshFile();
    }
}

void PlansPanelView::buildHeader(QVBoxLayout *column)
{
    auto *header = new QWidget(this);
    m_header = header;
    header->setObjectName(QStringLiteral("plansHeader"));
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(8);
    auto *title = new QHBoxLayout;
    title->setSpacing(6);
    title->addWidget(symbolLabel(QStringLiteral("list.bullet.rectangle"), 11, NmSymbolWeight::regular,
                                 qColor(NmColor::accent), header));
    const QFont micro = Font::tracked(NmFont::micro(), 0.08);
    title->addWidget(plainLabel(Strings::PlansPanel::title.toUpper(), micro, qColor(NmColor::accent), header));
    m_generatingDot = new QLabel(header);
    m_generatingDot->setObjectName(QStringLiteral("generatingDot"));
    {
        QPixmap dot(18, 10);
        dot.setDevicePixelRatio(2);
        dot.fill(Qt::transparent);
        QPainter painter(&dot);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(qColor(NmColor::accent, 0.85));
        painter.drawEllipse(QRectF(4, 0, 5, 5).translated(0, 0));
        m_generatingDot->setPixmap(dot);
    }
    title->addWidget(m_generatingDot);
    row->addLayout(title);
    row->addStretch(1);

    const QColor iconColor = PlansPanelColor::textSecondary();
    m_organizeSlot = new QWidget(header);
    m_organizeSlot->setFixedSize(20, 20);
    m_organize = new PanelIconButton(QStringLiteral("folder.badge.gearshape"), 10, NmSymbolWeight::medium, iconColor,
                                     20, m_organizeSlot);
    m_organize->setObjectName(QStringLiteral("organizeButton"));
    m_organizeSpinner = new NmActivitySpinner(m_organizeSlot);
    m_organizeSpinner->setObjectName(QStringLiteral("organizeSpinner"));
    m_organizeSpinner->setColor(iconColor);
    m_organizeSpinner->setDiameter(11);
    m_organizeSpinner->setGeometry(0, 0, 20, 20);
    m_organizeSpinner->setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(m_organize, &QAbstractButton::clicked, this, [this] {
        if (m_callbacks.onOrganizeRequested)
            m_callbacks.onOrganizeRequested();
    });
    m_startOver = new PanelIconButton(QStringLiteral("arrow.clockwise"), 10, NmSymbolWeight::medium, iconColor, 20,
                                      header);
    m_startOver->setObjectName(QStringLiteral("startOverButton"));
    connect(m_startOver, &QAbstractButton::clicked, this, [this] {
        if (m_callbacks.onRegenerateRequested)
            m_callbacks.onRegenerateRequested();
    });
    m_expand = new PanelIconButton(QString(), 10, NmSymbolWeight::medium, iconColor, 20, header);
    m_expand->setObjectName(QStringLiteral("expandButton"));
    connect(m_expand, &QAbstractButton::clicked, this, [this] {
        if (m_state)
            m_state->toggleExpanded();
    });
    m_close = new PanelIconButton(QStringLiteral("xmark"), 9, NmSymbolWeight::medium, iconColor, 20, header);
    m_close->setObjectName(QStringLiteral("closeButton"));
    connect(m_close, &QAbstractButton::clicked, this, [this] {
        if (m_state)
            m_state->close();
    });
    row->addWidget(m_organizeSlot);
    row->addWidget(m_startOver);
    row->addWidget(m_expand);
    row->addWidget(m_close);
    column->addWidget(header);
}

QWidget *PlansPanelView::buildFilePage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("openFileBranch"));
    auto *column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto *header = new QHBoxLayout;
    header->setContentsMargins(14, 10, 14, 10);
    header->setSpacing(8);
    CapsuleButton::Look backLook;
    backLook.font = NmFont::caption();
    backLook.text = PlansPanelColor::textSecondary();
    backLook.fill = Qt::transparent;
    backLook.stroke = Qt::transparent;
    backLook.symbol = QStringLiteral("chevron.left");
    backLook.symbolWeight = NmSymbolWeight::semibold;
    backLook.paddingX = 0;
    backLook.paddingY = 2;
    auto *back = new CapsuleButton(Strings::PlansPanel::back, backLook, page);
    back->setObjectName(QStringLiteral("backButton"));
    connect(back, &QAbstractButton::clicked, this, [this] {
        if (m_callbacks.onCloseWorkspaceFile)
            m_callbacks.onCloseWorkspaceFile();
    });
    header->addWidget(back);
    header->addStretch(1);
    m_fileName = new MiddleElidedLabel(NmFont::caption(), PlansPanelColor::textTertiary(), page);
    m_fileName->setObjectName(QStringLiteral("openFileName"));
    header->addWidget(m_fileName, 0);
    column->addLayout(header);
    column->addWidget(panelDivider(PlansPanelColor::fill(), page));
    auto *content = new QWidget;
    auto *padded = new QVBoxLayout(content);
    padded->setContentsMargins(14, 12, 14, 12);
    m_fileText = new PlanMarkdownView(PlansPanelColor::textSecondary(), m_linkOpener, content);
    m_fileText->setObjectName(QStringLiteral("openFileText"));
    padded->addWidget(m_fileText);
    padded->addStretch(1);
    column->addWidget(darkScrollArea(content, Qt::Vertical, page), 1);
    return page;
}

QWidget *PlansPanelView::buildErrorLine(QWidget *parent)
{
    auto *line = new QWidget(parent);
    line->setObjectName(QStringLiteral("planError"));
    auto *row = new QHBoxLayout(line);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    QLabel *mark = symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), 10, NmSymbolWeight::regular,
                               qColor(NmColor::accent), line);
    mark->setContentsMargins(0, 2, 0, 0);
    row->addWidget(mark, 0, Qt::AlignTop);
    QLabel *message = plainLabel(QString(), NmFont::caption(), PlansPanelColor::textSecondary(), line, true);
    message->setObjectName(QStringLiteral("planErrorText"));
    row->addWidget(message, 1);
    return line;
}

QWidget *PlansPanelView::buildEmptyPage()
{
    auto *page = new DraftBranch(this, nullptr);
    page->setObjectName(QStringLiteral("emptyBranch"));
    auto *column = new QVBoxLayout(page);
    column->setContentsMargins(14, 14, 14, 12);
    column->setSpacing(12);
    const QFont titleFont = Font::tracked(NmFont::title(), -0.01);
    column->addWidget(plainLabel(Strings::PlansPanel::emptyTitle, titleFont, PlansPanelColor::text(), page));
    column->addWidget(plainLabel(Strings::PlansPanel::emptyDescription, NmFont::body(),
                                 PlansPanelColor::textSecondary(), page, true));
    auto *hint = new QHBoxLayout;
    hint->setSpacing(6);
    QLabel *mic = symbolLabel(QStringLiteral("mic"), 10, NmSymbolWeight::medium, qColor(NmColor::accent), page);
    hint->addWidget(mic, 0, Qt::AlignTop);
    hint->addWidget(
        plainLabel(Strings::PlansPanel::voiceHint, NmFont::caption(), PlansPanelColor::textTertiary(), page, true), 1);
    column->addLayout(hint);
    m_emptyDraft = new DraftField(page);
    m_emptyDraft->setPlaceholderText(Strings::PlansPanel::emptyPlaceholder);
    page->field = m_emptyDraft;
    column->addWidget(m_emptyDraft);
    m_emptyError = buildErrorLine(page);
    column->addWidget(m_emptyError);
    auto *actions = new QHBoxLayout;
    actions->addStretch(1);
    m_generateButton = new CapsuleButton(Strings::PlansPanel::generatePlan, primaryLook(), page);
    m_generateButton->setObjectName(QStringLiteral("generateButton"));
    connect(m_generateButton, &QAbstractButton::clicked, this, &PlansPanelView::submitDraft);
    actions->addWidget(m_generateButton);
    column->addLayout(actions);
    column->addStretch(1);
    for (DraftField *field : {m_emptyDraft}) {
        connect(field, &QPlainTextEdit::textChanged, this, [this, field] {
            if (m_state)
                m_state->setDraftVision(field->toPlainText());
        });
        connect(field, &DraftField::returnPressed, this, &PlansPanelView::returnPressed);
        connect(field, &DraftField::focusChanged, this, &PlansPanelView::draftFocusChanged);
    }
    return page;
}

QWidget *PlansPanelView::buildPlanPage()
{
    auto *page = new DraftBranch(this, nullptr);
    page->setObjectName(QStringLiteral("planBranch"));
    auto *column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto *chips = new QWidget;
    chips->setObjectName(QStringLiteral("fileChips"));
    m_chipLayout = new QHBoxLayout(chips);
    m_chipLayout->setContentsMargins(14, 8, 14, 8);
    m_chipLayout->setSpacing(6);
    m_chipStrip = darkScrollArea(chips, Qt::Horizontal, page);
    m_chipStrip->setFixedHeight(chips->sizeHint().height() + 22);
    column->addWidget(m_chipStrip);
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
    m_stepsBox = new QWidget(content);
    m_stepsLayout = new QVBoxLayout(m_stepsBox);
    m_stepsLayout->setContentsMargins(0, 0, 0, 0);
    m_stepsLayout->setSpacing(6);
    sections->addWidget(m_stepsBox);
    m_turnsDivider = panelDivider(PlansPanelColor::fill(), content);
    sections->addWidget(m_turnsDivider);
    m_turnsBox = new QWidget(content);
    m_turnsLayout = new QVBoxLayout(m_turnsBox);
    m_turnsLayout->setContentsMargins(0, 0, 0, 0);
    m_turnsLayout->setSpacing(8);
    sections->addWidget(m_turnsBox);
    sections->addStretch(1);
    auto *scroll = darkScrollArea(content, Qt::Vertical, page);
    scroll->setObjectName(QStringLiteral("planScroll"));
    column->addWidget(scroll, 1);
    column->addWidget(panelDivider(PlansPanelColor::fill(), page));

    auto *composer = new QWidget(page);
    composer->setObjectName(QStringLiteral("composer"));
    auto *composerColumn = new QVBoxLayout(composer);
    composerColumn->setContentsMargins(14, 10, 14, 10);
    composerColumn->setSpacing(8);
    m_composerError = buildErrorLine(composer);
    composerColumn->addWidget(m_composerError);
    m_composerDraft = new DraftField(composer);
    page->field = m_composerDraft;
    composerColumn->addWidget(m_composerDraft);
    auto *sendRow = new QHBoxLayout;
    sendRow->addStretch(1);
    m_sendButton = new CapsuleButton(Strings::PlansPanel::send, primaryLook(), composer);
    m_sendButton->setObjectName(QStringLiteral("sendButton"));
    connect(m_sendButton, &QAbstractButton::clicked, this, &PlansPanelView::submitDraft);
    sendRow->addWidget(m_sendButton);
    composerColumn->addLayout(sendRow);
    column->addWidget(composer);

    connect(m_composerDraft, &QPlainTextEdit::textChanged, this, [this] {
        if (m_state)
            m_state->setDraftVision(m_composerDraft->toPlainText());
    });
    connect(m_composerDraft, &DraftField::returnPressed, this, &PlansPanelView::returnPressed);
    connect(m_composerDraft, &DraftField::focusChanged, this, &PlansPanelView::draftFocusChanged);
    return page;
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
    const PlansPanelLook::Header header = PlansPanelLook::header({
        !m_state->steps().isEmpty(),
        !m_state->conversation().isEmpty(),
        !m_state->workspaceFiles().isEmpty(),
        m_state->isOrganizing(),
        m_state->isGenerating(),
        m_state->isExpanded(),
    });
    m_generatingDot->setVisible(header.showsGeneratingDot);
    m_organizeSlot->setVisible(header.organize.present);
    m_organize->setEnabled(header.organize.enabled);
    m_organize->setVisible(!header.organizeSpins);
    m_organizeSpinner->setVisible(header.organizeSpins);
    NmText::setPlainToolTip(m_organize, header.organize.help);
    NmText::setPlainToolTip(m_organizeSlot, header.organize.help);
    m_startOver->setVisible(header.startOver.present);
    m_startOver->setEnabled(header.startOver.enabled);
    NmText::setPlainToolTip(m_startOver, header.startOver.help);
    m_expand->setSymbol(header.expand.symbol);
    NmText::setPlainToolTip(m_expand, header.expand.help);
    NmText::setPlainToolTip(m_close, header.close.help);
}

void PlansPanelView::refreshBranch()
{
    if (!m_state)
        return;
    const PlansPanelLook::Branch branch = PlansPanelLook::contentBranch(
        m_state->openWorkspaceFile().has_value(), !m_state->steps().isEmpty(), !m_state->conversation().isEmpty());
    QWidget *page = branch == PlansPanelLook::Branch::openFile     ? m_filePage
                    : branch == PlansPanelLook::Branch::emptyState ? m_emptyPage
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
    m_fileName->setText(name);
    m_fileText->setContent(PlansPanelLook::fileText(m_state->workspaceFiles(), name));
}

void PlansPanelView::refreshChips()
{
    if (!m_state)
        return;
    while (QLayoutItem *item = m_chipLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const auto &files = m_state->workspaceFiles();
    for (const PlansWorkspaceStore::File &file : files) {
        CapsuleButton::Look look;
        look.font = NmFont::caption();
        look.text = PlansPanelColor::textSecondary();
        look.fill = QColor::fromRgbF(1, 1, 1, 0.06f);
        look.stroke = PlansPanelColor::hairline();
        look.symbol = PlansPanelLook::chipSymbol(file.filename);
        look.symbolSize = 9;
        look.paddingX = 8;
        look.paddingY = 4;
        auto *chip = new CapsuleButton(PlansPanelLook::displayName(file.filename), look);
        chip->setObjectName(QStringLiteral("fileChip"));
        chip->setProperty("filename", file.filename);
        NmText::setPlainToolTip(chip, Strings::PlansPanel::openFileHelpPrefix + file.filename);
        const QString filename = file.filename;
        connect(chip, &QAbstractButton::clicked, this, [this, filename] {
            if (m_callbacks.onOpenWorkspaceFile)
                m_callbacks.onOpenWorkspaceFile(filename);
        });
        m_chipLayout->addWidget(chip);
    }
    m_chipLayout->addStretch(1);
    m_chipStrip->setVisible(!files.isEmpty());
    m_chipDivider->setVisible(!files.isEmpty());
}

void PlansPanelView::refreshSteps()
{
    if (!m_state)
        return;
    const QList<PlanStep> &steps = m_state->steps();
    QSet<QUuid> present;
    for (const PlanStep &step : steps)
        present.insert(step.id);
    for (auto it = m_stepRows.begin(); it != m_stepRows.end();) {
        if (!present.contains(it.key())) {
            delete it.value();
            it = m_stepRows.erase(it);
        } else {
            ++it;
        }
    }
    for (int i = 0; i < steps.size(); ++i) {
        const PlanStep &step = steps.at(i);
        PlanStepRowView *row = m_stepRows.value(step.id);
        if (!row) {
            const QUuid id = step.id;
            row = new PlanStepRowView(
                [this, id] {
                    if (!m_state)
                        return;
                    for (const PlanStep &current : m_state->steps()) {
                        if (current.id == id) {
                            m_state->setStepStatus(id, PlansPanelLook::nextStatus(current.status));
                            return;
                        }
                    }
                },
                m_stepsBox);
            m_stepRows.insert(step.id, row);
        }
        row->setStep(i + 1, step);
        if (m_stepsLayout->indexOf(row) != i) {
            m_stepsLayout->removeWidget(row);
            m_stepsLayout->insertWidget(i, row);
        }
    }
    m_stepsBox->setVisible(!steps.isEmpty());
    m_turnsDivider->setVisible(!steps.isEmpty() && !m_state->conversation().isEmpty());
}

void PlansPanelView::refreshTurns()
{
    if (!m_state)
        return;
    const QList<PlanTurn> &turns = m_state->conversation();
    QList<QUuid> order;
    order.reserve(turns.size());
    for (const PlanTurn &turn : turns)
        order.append(turn.id);
    if (order != m_turnOrder) {
        const QSet<QUuid> present(order.begin(), order.end());
        for (auto it = m_turnRows.begin(); it != m_turnRows.end();) {
            if (!present.contains(it.key())) {
                delete it.value();
                it = m_turnRows.erase(it);
            } else {
                ++it;
            }
        }
        for (int i = 0; i < turns.size(); ++i) {
            PlanTurnRowView *row = m_turnRows.value(turns.at(i).id);
            if (!row) {
                row = new PlanTurnRowView(turns.at(i), m_linkOpener, m_turnsBox);
                m_turnRows.insert(turns.at(i).id, row);
            }
            if (m_turnsLayout->indexOf(row) != i) {
                m_turnsLayout->removeWidget(row);
                m_turnsLayout->insertWidget(i, row);
            }
        }
        m_turnOrder = order;
    }
    m_turnsBox->setVisible(!turns.isEmpty());
    m_turnsDivider->setVisible(!turns.isEmpty() && !m_state->steps().isEmpty());
}

void PlansPanelView::refreshDraft()
{
    if (!m_state)
        return;
    const QString &draft = m_state->draftVision();
    m_emptyDraft->setDraft(draft);
    m_composerDraft->setDraft(draft);
    const bool generating = m_state->isGenerating();
    m_composerDraft->setPlaceholderText(PlansPanelLook::composerPlaceholder(generating));
    const bool disabled = isSubmitDisabled();
    m_generateButton->setText(PlansPanelLook::primaryTitle(true, generating));
    m_generateButton->setEnabled(!disabled);
    m_generateButton->updateGeometry();
    m_sendButton->setText(PlansPanelLook::primaryTitle(false, generating));
    m_sendButton->setEnabled(!disabled);
    m_sendButton->updateGeometry();
}

void PlansPanelView::refreshError()
{
    if (!m_state)
        return;
    const bool shows = PlansPanelLook::showsError(m_state->lastError());
    for (QWidget *line : {m_emptyError, m_composerError}) {
        line->setVisible(shows);
        if (shows)
            NmText::setPlainText(line->findChild<QLabel *>(QStringLiteral("planErrorText")), *m_state->lastError());
    }
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
        height += m_stack->currentWidget()->sizeHint().height();
    return {kTiledWidth, std::min(height, kTiledHeight)};
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
