#include "ui/panes/AgentPaneView.h"

#include "agents/AgentPaneState.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmIconImage.h"
#include "ui/design/widgets/NmMotionEffect.h"
#include "ui/design/widgets/NmSurfaceModifier.h"
#include "ui/design/widgets/NmText.h"
#include "ui/design/widgets/ReducibleAnimation.h"
#include "ui/design/widgets/TaskCompletePulseWrapper.h"
#include "ui/panes/AgentPaneHeader.h"
#include "ui/panes/ElidedLabel.h"
#include "ui/panes/StatusPill.h"
#include "ui/panes/TranscriptView.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <QtMath>
#include <cmath>

namespace nerim {

namespace {

// An opacity change smaller than half a level of an 8-bit colour.
constexpr double kUnseenOpacityChange = 0.5 / 255;

} // namespace

namespace {

// The agent's name; a double click or its context menu starts renaming.
class NameLabel : public ElidedLabel {
public:
    NameLabel(AgentPaneView *view, QWidget *parent)
        : ElidedLabel(parent)
        , m_view(view)
    {
    }

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton) {
            m_view->beginRename();
            event->accept();
            return;
        }
        ElidedLabel::mouseDoubleClickEvent(event);
    }

    void contextMenuEvent(QContextMenuEvent *event) override
    {
        QMenu *menu = m_view->buildNameMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(event->globalPos());
        event->accept();
    }

private:
    AgentPaneView *m_view;
};

constexpr int kDividerHeight = 1;

// The thin line under the header.
class Divider : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), qColor(NmColor::hairline, 0.4));
    }
};

} // namespace

AgentPaneView::AgentPaneView(AgentPaneState *pane, AppState::OutputMode outputMode, Callbacks callbacks,
                             QWidget *parent)
    : QWidget(parent)
    , m_pane(pane)
    , m_paneId(pane->id())
    , m_callbacks(std::move(callbacks))
    , m_outputMode(outputMode)
{
    setObjectName(QStringLiteral("agentPane"));
    build();

    connect(pane, &AgentPaneState::agentNameChanged, this, &AgentPaneView::refreshName);
    connect(pane, &AgentPaneState::roleChanged, this, [this] {
        if (m_pane)
            m_roleMenu->setRole(m_pane->role());
    });
    connect(pane, &AgentPaneState::responsibilityChanged, this, &AgentPaneView::refreshResponsibility);
    connect(pane, &AgentPaneState::statusChanged, this, [this] {
        if (m_pane)
            m_statusPill->setStatus(m_pane->status());
    });
    connect(pane, &AgentPaneState::outputLinesChanged, this, &AgentPaneView::countTaskCompletes);

    // A click anywhere in the pane (its empty transcript included) focuses it.
    qApp->installEventFilter(this);
}

AgentPaneView::~AgentPaneView() { qApp->removeEventFilter(this); }

void AgentPaneView::build()
{
    NmPaneSurfaceModifier::apply(this, m_focused);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    auto *header = new QWidget(this);
    m_header = header;
    auto *headerLayout = new QVBoxLayout(header);
    headerLayout->setContentsMargins(16, 12, 16, 12);
    headerLayout->setSpacing(4);

    auto *row = new QHBoxLayout;
    row->setSpacing(8);

    auto *nameLabel = new NameLabel(this, header);
    nameLabel->setObjectName(QStringLiteral("nameLabel"));
    nameLabel->setColor(qColor(NmColor::ink));
    NmText::setPlainToolTip(nameLabel, Strings::AgentPane::renameHelp);
    m_nameLabel = nameLabel;
    row->addWidget(nameLabel, 0, Qt::AlignVCenter);

    m_systemName = new QWidget(header);
    m_systemName->setObjectName(QStringLiteral("systemName"));
    NmText::setPlainToolTip(m_systemName, Strings::AgentPane::systemPaneHelp);
    auto *systemRow = new QHBoxLayout(m_systemName);
    systemRow->setContentsMargins(0, 0, 0, 0);
    systemRow->setSpacing(5);
    auto *wand = new QLabel(m_systemName);
    const int wandSide = qCeil(NmIcons::boxSide(10));
    wand->setPixmap(NmIcons::icon(u"wand.and.stars", NmSymbolWeight::medium, 10, qColor(NmColor::accent))
                        .pixmap(QSize(wandSide, wandSide)));
    wand->setFixedSize(wandSide, wandSide);
    systemRow->addWidget(wand, 0, Qt::AlignVCenter);
    auto *systemLabel = new ElidedLabel(m_systemName);
    systemLabel->setObjectName(QStringLiteral("systemNameLabel"));
    systemLabel->setColor(qColor(NmColor::ink));
    m_systemNameLabel = systemLabel;
    systemRow->addWidget(systemLabel, 1, Qt::AlignVCenter);
    row->addWidget(m_systemName, 0, Qt::AlignVCenter);

    m_renameField = new PaneRenameField(header);
    m_renameField->hide();
    connect(m_renameField, &QLineEdit::textEdited, this, [this](const QString &text) { m_rename.draft = text; });
    connect(m_renameField, &PaneRenameField::commitRequested, this, &AgentPaneView::commitRename);
    connect(m_renameField, &PaneRenameField::cancelRequested, this, &AgentPaneView::cancelRename);
    row->addWidget(m_renameField, 0, Qt::AlignVCenter);

    m_roleMenu = new RoleMenuButton(header);
    m_roleMenu->setRole(m_pane->role());
    connect(m_roleMenu, &RoleMenuButton::roleChosen, this, &AgentPaneView::chooseRole);
    row->addWidget(m_roleMenu, 0, Qt::AlignVCenter);

    row->addSpacing(8);
    row->addStretch(1);

    m_statusPill = new StatusPill(m_pane->status(), header);
    m_statusPill->setObjectName(QStringLiteral("statusPill"));
    row->addWidget(m_statusPill, 0, Qt::AlignVCenter);

    m_expandButton = new PaneIconButton(header);
    m_expandButton->setObjectName(QStringLiteral("expandButton"));
    m_expandButton->setLook(AgentPaneLook::expandButton(false));
    connect(m_expandButton, &QAbstractButton::clicked, this, [this] {
        if (m_callbacks.onToggleExpand)
            m_callbacks.onToggleExpand();
    });
    row->addWidget(m_expandButton, 0, Qt::AlignVCenter);

    m_closeButton = new PaneIconButton(header);
    m_closeButton->setObjectName(QStringLiteral("closeButton"));
    m_closeButton->setLook(AgentPaneLook::closeButton());
    connect(m_closeButton, &QAbstractButton::clicked, this, [this] {
        if (m_callbacks.onClose)
            m_callbacks.onClose();
    });
    row->addWidget(m_closeButton, 0, Qt::AlignVCenter);

    headerLayout->addLayout(row);

    auto *responsibility = new ElidedLabel(header);
    responsibility->setObjectName(QStringLiteral("responsibility"));
    responsibility->setFont(NmFont::caption());
    responsibility->setColor(qColor(NmColor::inkSecondary));
    m_responsibility = responsibility;
    headerLayout->addWidget(responsibility);

    root->addWidget(header);

    auto *divider = new Divider(this);
    divider->setFixedHeight(kDividerHeight);
    root->addWidget(divider);

    m_transcript = new TranscriptView(m_pane, m_outputMode, this);
    // The transcript takes what the header leaves, down to nothing: a short
    // pane (under a deploy card) keeps its whole header.
    m_transcript->setSizePolicy(m_transcript->sizePolicy().horizontalPolicy(), QSizePolicy::Ignored);
    root->addWidget(m_transcript, 1);

    m_pulse = TaskCompletePulseWrapper::apply(this);
    countTaskCompletes();

    refreshName();
    refreshNameForm();
    refreshResponsibility();
    if (NmMotionEffect *effect = NmMotionEffect::of(this))
        effect->setOpacity(AgentPaneLook::opacity(m_focused));
}

int AgentPaneView::compactHeight(bool withLine) const
{
    // The header, the divider under it and, for a line, the transcript's top
    // padding and one line of agent text.
    int height = m_header->sizeHint().height() + kDividerHeight;
    if (withLine)
        height += TranscriptRows::verticalPadding + QFontMetrics(NmFont::body()).height();
    return height;
}

void AgentPaneView::refreshName()
{
    if (!m_pane)
        return;
    const QFont font = Font::make(AgentPaneLook::nameFont(m_focused));
    for (QWidget *label : {m_nameLabel, m_systemNameLabel}) {
        static_cast<ElidedLabel *>(label)->setText(m_pane->agentName());
        label->setFont(font);
    }
    m_renameField->setFont(font);
}

void AgentPaneView::refreshNameForm()
{
    if (!m_pane)
        return;
    const AgentPaneLook::NameForm form = AgentPaneLook::nameForm(m_rename.isEditing, m_pane->isSystemPane());
    m_nameLabel->setVisible(form == AgentPaneLook::NameForm::renamable);
    m_systemName->setVisible(form == AgentPaneLook::NameForm::system);
    m_renameField->setVisible(form == AgentPaneLook::NameForm::editing);
    m_roleMenu->setVisible(!m_pane->isSystemPane());
}

void AgentPaneView::refreshResponsibility()
{
    if (m_pane)
        static_cast<ElidedLabel *>(m_responsibility)->setText(m_pane->displayResponsibility());
}

void AgentPaneView::setFocused(bool focused)
{
    if (focused == m_focused)
        return;
    m_focused = focused;
    if (NmSurfaceModifier *surface = NmSurfaceModifier::of(this))
        surface->setFocused(focused);
    refreshName();
    if (NmMotionEffect *effect = NmMotionEffect::of(this)) {
        // The spring's long tail moves the opacity by less than a colour
        // level for many frames, and every change draws the whole pane again
        // (and its shadow): within that of the target, the target is shown.
        const qreal target = AgentPaneLook::opacity(focused);
        ReducibleAnimation::animateValue(effect, "opacity", effect->opacity(), target, NmMotion::quick(),
                                         [effect, target](double opacity) {
                                             effect->setOpacity(std::abs(opacity - target) < kUnseenOpacityChange
                                                                    ? target
                                                                    : opacity);
                                         });
    }
}

void AgentPaneView::restoreFocusOpacity()
{
    if (NmMotionEffect *effect = NmMotionEffect::of(this))
        effect->setOpacity(AgentPaneLook::opacity(m_focused));
}

void AgentPaneView::setExpanded(bool expanded)
{
    if (expanded == m_expanded)
        return;
    m_expanded = expanded;
    // The column gives the pane its width (at most 360 points unless
    // expanded), so that the width can change gradually.
    m_expandButton->setLook(AgentPaneLook::expandButton(expanded));
}

void AgentPaneView::setOutputMode(AppState::OutputMode mode)
{
    m_outputMode = mode;
    m_transcript->setOutputMode(mode);
}

void AgentPaneView::beginRename()
{
    if (!m_pane || m_pane->isSystemPane())
        return;
    m_rename.begin(m_pane->agentName());
    m_renameField->setText(m_rename.draft);
    refreshNameForm();
    m_renameField->setFocus(Qt::OtherFocusReason);
    m_renameField->selectAll();
}

void AgentPaneView::commitRename()
{
    if (!m_rename.isEditing || !m_pane)
        return;
    const std::optional<QString> name = m_rename.commit(m_pane->agentName());
    refreshNameForm();
    if (name && m_callbacks.onRename)
        m_callbacks.onRename(*name);
}

void AgentPaneView::cancelRename()
{
    if (!m_rename.isEditing)
        return;
    m_rename.cancel();
    m_renameField->clear();
    refreshNameForm();
}

QMenu *AgentPaneView::buildNameMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("nameMenu"));
    QAction *rename = menu->addAction(Strings::AgentPane::renameMenuItem);
    connect(rename, &QAction::triggered, this, &AgentPaneView::beginRename);
    return menu;
}

void AgentPaneView::chooseRole(AgentRole role)
{
    if (m_callbacks.onRoleChanged) {
        m_callbacks.onRoleChanged(role);
        return;
    }
    if (m_pane && m_pane->role() != role)
        m_pane->setRole(role);
}

void AgentPaneView::countTaskCompletes()
{
    if (!m_pane)
        return;
    const OutputLines &lines = m_pane->outputLines();
    const bool appended = lines.size() >= m_countedLines &&
                          (m_countedLines == 0 || lines.id(m_countedLines - 1) == m_lastCountedLineId);
    if (!appended) {
        m_taskCompleteCount = 0;
        m_countedLines = 0;
    }
    // A long transcript (one opened, or replaced) is counted a slice a turn;
    // the pulse takes the count once it is whole.
    constexpr qsizetype kLinesPerTurn = 200'000;
    const qsizetype end = std::min(lines.size(), m_countedLines + kLinesPerTurn);
    m_taskCompleteCount += AgentPaneLook::taskCompleteCount(lines, m_countedLines, end);
    m_countedLines = end;
    m_lastCountedLineId = end == 0 ? QUuid() : lines.id(end - 1);
    if (end < lines.size()) {
        if (!m_countingLater) {
            m_countingLater = true;
            QTimer::singleShot(0, this, [this] {
                m_countingLater = false;
                countTaskCompletes();
            });
        }
        return;
    }
    m_pulse->setTrigger(m_taskCompleteCount);
}

bool AgentPaneView::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonPress && watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        if ((widget == this || isAncestorOf(widget)) && m_callbacks.onFocus) {
            auto *mouse = static_cast<QMouseEvent *>(event);
            // A press handed on from child to parent is one click.
            if (mouse->timestamp() == m_lastPressTimestamp && mouse->globalPosition() == m_lastPressPosition)
                return QWidget::eventFilter(watched, event);
            m_lastPressTimestamp = mouse->timestamp();
            m_lastPressPosition = mouse->globalPosition();
            // Only the rounded pane counts, not the corners outside it.
            const QPointF point = mapFromGlobal(mouse->globalPosition());
            if (NmShape::roundedRect(SurfaceStyles::kPaneCornerRadius).path(QRectF(rect())).contains(point))
                m_callbacks.onFocus();
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace nerim
