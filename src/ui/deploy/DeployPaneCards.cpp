#include "ui/deploy/DeployPaneCards.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/deploy/DeployControls.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/widgets/NmActivitySpinner.h"
#include "ui/panes/DetachedTask.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QKeyEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>

namespace nerim {

namespace {

using Card = DeployLook::CardKind;
using Kind = DeploySessionState::Phase::Kind;

QLabel *textLabel(const QFont &font, NmRgb color, QWidget *parent, bool wraps)
{
    QLabel *label = wraps ? new DeployWrappedLabel(parent) : new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, qColor(color));
    label->setPalette(palette);
    return label;
}

// A record row: type, name and value on a light rounded inset.
class RecordRow : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(NmPainter::continuousRoundedRectPath(QRectF(rect()), 4), qColor(NmColor::paperShade, 0.4));
    }
};

// The scrolling middle of a card: as tall as its least when asked, grown by
// the card's layout to whatever it is given; the content keeps its own height
// and scrolls inside. Transparent, so the card's tint shows through.
class CardBody : public QScrollArea {
public:
    explicit CardBody(QWidget *parent) : QScrollArea(parent)
    {
        setObjectName(QStringLiteral("cardBody"));
        setFrameShape(QFrame::NoFrame);
        setWidgetResizable(true);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
        setAutoFillBackground(false);
        viewport()->setAutoFillBackground(false);
        // A slim indicator in the card's tint, like the code blocks' one.
        verticalScrollBar()->setFocusPolicy(Qt::NoFocus);
        verticalScrollBar()->setStyleSheet(
            QStringLiteral("QScrollBar:vertical { width: 8px; background: transparent; margin: 0 0 0 2px; }"
                           "QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 20px;"
                           " margin: 0 1px; }"
                           "QScrollBar::add-line, QScrollBar::sub-line { height: 0; }"
                           "QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }")
                .arg(qColor(NmColor::ink, 0.25).name(QColor::HexArgb)));
        // The keyboard moving through the rows brings the focused one into
        // view, the whole row (a variable's name above its choice) where it fits.
        connect(qApp, &QApplication::focusChanged, this, [this](QWidget *, QWidget *now) {
            if (now && widget() && widget()->isAncestorOf(now))
                reveal(now);
        });
    }
    void reveal(QWidget *focused)
    {
        ensureWidgetVisible(focused, 0, 0);
        QLayout *rows = widget()->layout();
        const QPoint at = focused->mapTo(widget(), QPoint(0, 0));
        for (int i = 0; rows && i < rows->count(); ++i) {
            const QRect row = rows->itemAt(i)->geometry();
            if (row.contains(at)) {
                if (row.height() <= viewport()->height())
                    ensureVisible(row.center().x(), row.center().y(), row.width() / 2, row.height() / 2);
                return;
            }
        }
    }
    // The content's full height at a width.
    int contentHeight(int width) const
    {
        if (!widget())
            return 0;
        const int height = widget()->hasHeightForWidth() ? widget()->heightForWidth(width) : -1;
        return height >= 0 ? height : widget()->sizeHint().height();
    }
    // The least the middle shows of itself at a width: its first row whole
    // (a record, a variable with its choice), never a part of one.
    int leastHeight(int width) const
    {
        QLayout *rows = widget() ? widget()->layout() : nullptr;
        if (!rows || rows->count() == 0)
            return 0;
        QLayoutItem *first = rows->itemAt(0);
        const QMargins margins = rows->contentsMargins();
        const int inner = width - margins.left() - margins.right();
        const int row = first->hasHeightForWidth() ? first->heightForWidth(inner) : first->sizeHint().height();
        return qMin(contentHeight(width), row + margins.top() + margins.bottom());
    }

    // The most of `room` the middle can show in whole rows at a width (its
    // first row whole at least).
    int wholeRowsHeight(int width, int room) const
    {
        QLayout *rows = widget() ? widget()->layout() : nullptr;
        if (!rows || rows->count() == 0)
            return room;
        const QMargins margins = rows->contentsMargins();
        const int inner = width - margins.left() - margins.right();
        int shown = leastHeight(width);
        int bottom = margins.top();
        for (int i = 0; i < rows->count(); ++i) {
            QLayoutItem *item = rows->itemAt(i);
            if (item->isEmpty())
                continue;
            bottom += item->hasHeightForWidth() ? item->heightForWidth(inner) : item->sizeHint().height();
            if (bottom + margins.bottom() > room)
                break;
            shown = std::max(shown, bottom + margins.bottom());
            bottom += rows->spacing();
        }
        return std::min(shown, room);
    }

    // What the card's layout counts the middle at; the card adds the
    // difference to the least at the width it is asked about.
    static constexpr int nominalHeight = 1;
    QSize sizeHint() const override { return QSize(widget() ? widget()->sizeHint().width() : 0, nominalHeight); }
    QSize minimumSizeHint() const override { return QSize(0, nominalHeight); }

protected:
    // A notch of the wheel moves by a whole row, so that the rows in view
    // stay whole; a touchpad's pixels scroll as they come.
    void wheelEvent(QWheelEvent *event) override
    {
        QLayout *rows = widget() ? widget()->layout() : nullptr;
        if (!event->pixelDelta().isNull() || !rows || rows->count() == 0) {
            QScrollArea::wheelEvent(event);
            return;
        }
        event->accept();
        m_notches += event->angleDelta().y();
        int steps = m_notches / 120;
        m_notches -= steps * 120;
        QScrollBar *bar = verticalScrollBar();
        int value = bar->value();
        for (; steps != 0; steps += steps < 0 ? 1 : -1) {
            int next = steps < 0 ? bar->maximum() : 0;
            for (int i = 0; i < rows->count(); ++i) {
                const int top = rows->itemAt(i)->geometry().top();
                if (steps < 0 && top > value) {
                    next = top;
                    break;
                }
                if (steps > 0 && top < value)
                    next = top;
            }
            value = std::clamp(next, 0, bar->maximum());
        }
        bar->setValue(value);
    }

private:
    int m_notches = 0;
};

// The narrowest a text field gets before the controls of its row fold.
constexpr int fieldMinimumWidth = 120;

void primaryInk(DeployCapsuleButton *button, qreal padH, qreal padV)
{
    button->setLook(NmFont::bodyMedium(), {DeployLook::white}, {NmColor::ink});
    button->setPadding(padH, padV);
}

} // namespace

// ---- DeployCard ---------------------------------------------------------------------------------

DeployCard::DeployCard(DeployLook::CardKind kind, ProjectCanvasViewModel *canvas, QWidget *parent)
    : QWidget(parent), m_kind(kind), m_canvas(canvas)
{
    setObjectName(QStringLiteral("deployCard"));
    // As tall as its contents at the width it is given: wrapped lines and
    // folded rows make a card taller in a narrow pane.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void DeployCard::setPhase(const DeploySessionState::Phase &phase)
{
    // A new phase (or a new payload) asks afresh: the last answer is spent.
    if (!(phase == m_phase))
        m_answer.answered = false;
    m_phase = phase;
    refreshLook();
}

void DeployCard::setAgentRunning(bool running)
{
    if (m_answer.agentRunning == running)
        return;
    m_answer.agentRunning = running;
    refreshLook();
}

void DeployCard::contentChanged()
{
    // A nested row keeps the heights it worked out for its old text until it
    // is told otherwise; a height asked for before the next layout pass
    // (the agent column asks at once) would be short.
    for (QLayout *nested : findChildren<QLayout *>())
        nested->invalidate();
    updateGeometry();
}

void DeployCard::addBody(QWidget *content)
{
    auto *body = new CardBody(this);
    body->setWidget(content);
    // Set after setWidget, which turns it on.
    content->setAutoFillBackground(false);
    m_body = body;
    static_cast<QVBoxLayout *>(layout())->addWidget(body, 1);
}

int DeployCard::withMiddle(int width, bool whole) const
{
    // The layout counts the middle at a nominal point.
    int height = QWidget::heightForWidth(width);
    if (height < 0)
        height = sizeHint().height();
    const auto *body = static_cast<const CardBody *>(m_body);
    if (!body || !body->isVisibleTo(this))
        return height;
    const QMargins margins = layout()->contentsMargins();
    const int inner = width - margins.left() - margins.right();
    return height - CardBody::nominalHeight + (whole ? body->contentHeight(inner) : body->leastHeight(inner));
}

int DeployCard::leastHeightForWidth(int width) const { return withMiddle(width, false); }

int DeployCard::fittedHeight(int width, int height) const
{
    const int full = heightForWidth(width);
    const int least = leastHeightForWidth(width);
    const auto *body = static_cast<const CardBody *>(m_body);
    if (height >= full || height <= least || !body || !body->isVisibleTo(this))
        return std::clamp(height, least, full);
    const QMargins margins = layout()->contentsMargins();
    const int inner = width - margins.left() - margins.right();
    const int around = least - body->leastHeight(inner);
    return around + body->wholeRowsHeight(inner, height - around);
}

int DeployCard::heightForWidth(int width) const { return withMiddle(width, true); }

void DeployCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), qColor(NmColor::accent, 0.08));
    if (m_bottomRule)
        painter.fillRect(QRectF(0, height() - 1, width(), 1), qColor(NmColor::accent, 0.35));
}

void DeployCard::buildHeader(const QString &symbol, bool withTitle, bool withClose, const QString &closeHelp)
{
    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    header->addWidget(deploySymbol(symbol, 12, {NmColor::accent}, this, 1), 0, Qt::AlignTop);
    if (withTitle) {
        auto *texts = new QVBoxLayout;
        texts->setSpacing(2);
        m_title = textLabel(NmFont::bodyMedium(), NmColor::ink, this, true);
        m_title->setObjectName(QStringLiteral("cardTitle"));
        m_lead = textLabel(NmFont::caption(), NmColor::inkSecondary, this, true);
        m_lead->setObjectName(QStringLiteral("cardLead"));
        texts->addWidget(m_title);
        texts->addWidget(m_lead);
        header->addLayout(texts, 1);
    } else {
        m_lead = textLabel(NmFont::body(), NmColor::ink, this, true);
        m_lead->setObjectName(QStringLiteral("cardExplanation"));
        header->addWidget(m_lead, 1, Qt::AlignTop);
    }
    if (withClose) {
        m_close = deployIconButton(QStringLiteral("xmark"), 9, NmColor::inkSecondary, 18, closeHelp, this);
        m_close->setObjectName(QStringLiteral("closeButton"));
        m_close->setAccessibleName(QStringLiteral("Close"));
        connect(m_close, &QToolButton::clicked, this, &DeployCard::leave);
        header->addWidget(m_close, 0, Qt::AlignTop);
    }
    static_cast<QVBoxLayout *>(layout())->addLayout(header);
}

void DeployCard::addReturnShortcut()
{
    // Return belongs to this card only: another pane's card or the prompt bar keeps its own.
    for (const int key : {int(Qt::Key_Return), int(Qt::Key_Enter)}) {
        auto *shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (m_primary && m_primary->isEnabled())
                submit();
        });
    }
}

bool DeployCard::canLeave() const { return m_close && m_close->isVisibleTo(this); }

void DeployCard::takeKeyboard()
{
    if (m_field)
        m_field->setFocus(Qt::OtherFocusReason);
    else
        setFocus(Qt::OtherFocusReason);
}

namespace {

bool isPlainEscape(const QKeyEvent *key) { return key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier; }

} // namespace

bool DeployCard::event(QEvent *event)
{
    // Escape in the card belongs to the card while it can be closed, ahead
    // of the window's own Escape (which folds an expanded pane).
    if (event->type() == QEvent::ShortcutOverride && isPlainEscape(static_cast<QKeyEvent *>(event)) && canLeave()) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

void DeployCard::keyPressEvent(QKeyEvent *event)
{
    if (isPlainEscape(event) && canLeave()) {
        event->accept();
        leave();
        return;
    }
    QWidget::keyPressEvent(event);
}

// ---- PasteCard ----------------------------------------------------------------------------------

PasteCard::PasteCard(DeployLook::CardKind kind, ProjectCanvasViewModel *canvas, QWidget *parent)
    : DeployCard(kind, canvas, parent)
{
    setObjectName(kind == Card::token ? QStringLiteral("TokenPasteCard") : QStringLiteral("SecretPasteCard"));
    const DeployLook::PasteCardLook look = DeployLook::pasteCardLook(kind, m_phase, QString());
    m_bottomRule = look.bottomRule;
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->setSpacing(8);
    buildHeader(look.symbol, false, true, look.closeHelp);

    // "NAME=" then the field with Submit; a name too long to leave the field
    // room puts the field and Submit on the line below it.
    auto *input = new DeployFlowLayout(8, 6);
    m_name = new DeployElidedLabel(NmFont::monoSmall(), NmColor::inkSecondary, Qt::ElideMiddle, this);
    m_name->setObjectName(QStringLiteral("varLabel"));
    auto *entry = new QWidget(this);
    entry->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto *entryRow = new QHBoxLayout(entry);
    entryRow->setContentsMargins(0, 0, 0, 0);
    entryRow->setSpacing(8);
    m_field = new DeployField(true, 8, 4, entry);
    m_field->setObjectName(QStringLiteral("cardField"));
    m_field->setFont(NmFont::monoSmall());
    m_field->setEchoMode(QLineEdit::Password);
    m_field->setPlaceholderText(look.placeholder);
    m_field->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_field->setMinimumWidth(fieldMinimumWidth);
    connect(m_field, &QLineEdit::textChanged, this, [this] { refreshLook(); });
    connect(m_field, &QLineEdit::returnPressed, this, &PasteCard::submit);
    m_primary = new DeployCapsuleButton(look.submitTitle, entry);
    m_primary->setObjectName(QStringLiteral("primaryButton"));
    m_primary->setLook(NmFont::caption(), {NmColor::ink}, {NmColor::accent, 0.2}, DeployLook::Tint{NmColor::accent, 0.5},
                       0.5);
    m_primary->setPadding(12, 4);
    connect(m_primary, &QAbstractButton::clicked, this, &PasteCard::submit);
    entryRow->addWidget(m_field, 1, Qt::AlignVCenter);
    entryRow->addWidget(m_primary, 0, Qt::AlignVCenter);
    input->addWidget(m_name);
    input->addWidget(entry);
    layout->addLayout(input);
    addReturnShortcut();
}

void PasteCard::setPhase(const DeploySessionState::Phase &phase)
{
    DeployCard::setPhase(phase);
}

void PasteCard::refreshLook()
{
    const DeployLook::PasteCardLook look = DeployLook::pasteCardLook(m_kind, m_phase, m_field->text());
    m_lead->setText(look.explanation);
    m_name->setText(look.label);
    m_primary->setEnabled(look.submitEnabled);
    contentChanged();
}

void PasteCard::leave()
{
    if (m_canvas)
        startDetached(this, m_canvas->deploySession().cancel());
}

void PasteCard::submit()
{
    if (!m_canvas)
        return;
    const std::optional<QString> value = DeployLook::pasteSubmission(m_kind, m_field->text());
    if (!value)
        return;
    // The field is emptied first: the value lives on only in the controller,
    // and a second Return at once finds nothing to send.
    m_field->clear();
    m_answer.answered = true;
    const QString name = m_phase.varName();
    startDetached(this, m_kind == Card::token ? m_canvas->deploySession().submitToken(name, *value)
                                              : m_canvas->deploySession().submitSecret(name, *value));
}

// ---- EnvVarChecklistCard ------------------------------------------------------------------------

EnvVarChecklistCard::EnvVarChecklistCard(ProjectCanvasViewModel *canvas, QWidget *parent)
    : DeployCard(Card::envChecklist, canvas, parent)
{
    setObjectName(QStringLiteral("EnvVarChecklistCard"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(10);
    buildHeader(QStringLiteral("checklist"), true, true, QString());
    // Opened from the Live menu, the card can be left: the close mark and
    // Escape cancel the env-var step, and the live deploy stays as it was.
    m_close->hide();
    m_empty = textLabel(NmFont::caption(), NmColor::inkSecondary, this, true);
    m_empty->setObjectName(QStringLiteral("emptyLine"));
    m_empty->setContentsMargins(0, 6, 0, 6);
    layout->addWidget(m_empty);
    m_rows = new QWidget(this);
    auto *rows = new QVBoxLayout(m_rows);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(6);
    // The rows scroll when the pane is short; the title and the button stay.
    addBody(m_rows);
    auto *footer = new QHBoxLayout;
    footer->addStretch(1);
    m_primary = new DeployCapsuleButton(QString(), this);
    m_primary->setObjectName(QStringLiteral("primaryButton"));
    primaryInk(m_primary, 16, 6);
    connect(m_primary, &QAbstractButton::clicked, this, &EnvVarChecklistCard::submit);
    footer->addWidget(m_primary);
    layout->addLayout(footer);
    addReturnShortcut();
    if (canvas) {
        connect(&canvas->deploySession().state(), &DeploySessionState::contextChanged, this, [this] { refreshLook(); });
        // The rows start from the choices the user saved at the last deploy, so
        // a value kept local stays local until the user changes its row.
        m_decisions = canvas->deploySession().state().envDecisions();
        connect(&canvas->deploySession().state(), &DeploySessionState::envDecisionsChanged, this, [this] {
            m_decisions = m_canvas->deploySession().state().envDecisions();
            m_customDrafts.clear();
            rebuildRows();
            contentChanged();
        });
    }
}

QStringList EnvVarChecklistCard::currentNames() const
{
    if (!m_canvas || !m_canvas->deploySession().state().context())
        return {};
    return m_canvas->deploySession().state().context()->envVarNames;
}

void EnvVarChecklistCard::setPhase(const DeploySessionState::Phase &phase)
{
    DeployCard::setPhase(phase);
}

void EnvVarChecklistCard::refreshLook()
{
    const QStringList names = currentNames();
    if (names != m_names) {
        m_names = names;
        rebuildRows();
    }
    const DeployProvider host = m_phase.provider().value_or(DeployProvider::vercel);
    const std::optional<DeployContext> &context =
        m_canvas ? m_canvas->deploySession().state().context() : std::optional<DeployContext>();
    const bool fromLive = m_canvas && m_canvas->deploySession().checklistFromLive();
    const DeployLook::ChecklistLook look =
        DeployLook::checklistLook(host, m_names, m_answer, context && context->envFileTooLarge, fromLive);
    m_closable = look.closable;
    m_close->setVisible(look.closable);
    m_title->setText(look.title);
    m_lead->setText(look.lead);
    m_empty->setText(look.emptyLine);
    m_empty->setVisible(look.showsEmptyLine);
    m_body->setVisible(!look.showsEmptyLine);
    m_primary->setText(look.buttonTitle);
    m_primary->updateGeometry();
    m_primary->setEnabled(look.buttonEnabled);
    contentChanged();
}

void EnvVarChecklistCard::rebuildRows()
{
    auto *rows = static_cast<QVBoxLayout *>(m_rows->layout());
    while (QLayoutItem *item = rows->takeAt(0)) {
        if (QLayout *row = item->layout()) {
            while (QLayoutItem *child = row->takeAt(0)) {
                delete child->widget();
                delete child;
            }
        }
        delete item;
    }
    for (const QString &name : m_names) {
        // The name, the choice, and the replacement field while it is chosen.
        // Where the pane is wide enough they share one line, the choices of
        // all rows in one column; in a narrow pane the choice goes under the
        // name and the field under the choice.
        auto *row = new DeployFlowLayout(8, 4);
        auto *label = new DeployElidedLabel(NmFont::monoSmall(), NmColor::ink, Qt::ElideMiddle, m_rows);
        label->setObjectName(QStringLiteral("name:") + name);
        label->setText(name);
        label->setFloorWidth(160);
        auto *choice = new DeploySegmentedChoice(DeployLook::envChoiceSegments(), m_rows);
        choice->setObjectName(QStringLiteral("choice:") + name);
        choice->setCurrentTag(DeployLook::rowDecision(m_decisions, name));
        auto *custom = new DeployField(false, 6, 3, m_rows);
        custom->setObjectName(QStringLiteral("custom:") + name);
        custom->setFont(NmFont::monoSmall());
        custom->setEchoMode(QLineEdit::Password);
        custom->setPlaceholderText(DeployLook::Text::customPlaceholder);
        custom->setText(m_customDrafts.value(name));
        custom->setVisible(DeployLook::showsCustomField(choice->currentTag()));
        custom->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        custom->setMinimumWidth(fieldMinimumWidth);
        connect(choice, &DeploySegmentedChoice::tagChosen, this, [this, name, custom](const QString &tag) {
            m_decisions.insert(name, tag);
            custom->setVisible(DeployLook::showsCustomField(tag));
            contentChanged();
        });
        connect(custom, &QLineEdit::textChanged, this, [this, name](const QString &text) {
            m_customDrafts.insert(name, text);
        });
        row->addWidget(label);
        row->addWidget(choice);
        row->addWidget(custom);
        rows->addLayout(row);
    }
}

DeploySegmentedChoice *EnvVarChecklistCard::choice(const QString &name) const
{
    return m_rows->findChild<DeploySegmentedChoice *>(QStringLiteral("choice:") + name);
}

DeployField *EnvVarChecklistCard::customField(const QString &name) const
{
    return m_rows->findChild<DeployField *>(QStringLiteral("custom:") + name);
}

QMap<QString, QString> EnvVarChecklistCard::resolvedDecisions() const
{
    return DeployLook::resolvedDecisions(m_names, m_decisions, m_customDrafts);
}

void EnvVarChecklistCard::leave()
{
    if (m_canvas && m_closable)
        startDetached(this, m_canvas->deploySession().cancel());
}

void EnvVarChecklistCard::showEvent(QShowEvent *event)
{
    DeployCard::showEvent(event);
    // Opened from the menu, the card holds the keyboard at once, as a sheet
    // would: Return applies and Escape leaves without moving the pointer.
    if (m_closable && !m_focusTaken) {
        m_focusTaken = true;
        QTimer::singleShot(0, m_primary, [button = m_primary] { button->setFocus(Qt::OtherFocusReason); });
    }
}

void EnvVarChecklistCard::submit()
{
    if (!m_canvas || !m_primary->isEnabled())
        return;
    m_answer.answered = true;
    const QMap<QString, QString> decisions = resolvedDecisions();
    refreshLook();
    startDetached(this, m_canvas->deploySession().applyEnvVarChecklist(decisions));
}

// ---- DomainInputCard ----------------------------------------------------------------------------

DomainInputCard::DomainInputCard(ProjectCanvasViewModel *canvas, QWidget *parent)
    : DeployCard(Card::domainInput, canvas, parent)
{
    setObjectName(QStringLiteral("DomainInputCard"));
    const DeployLook::DomainInputLook look = DeployLook::domainInputLook(QString());
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(10);
    buildHeader(look.symbol, true, true, QString());
    auto *row = new DeployFlowLayout(8, 8);
    m_field = new DeployField(true, 8, 6, this);
    m_field->setObjectName(QStringLiteral("cardField"));
    m_field->setFont(NmFont::monoSmall());
    m_field->setPlaceholderText(look.placeholder);
    m_field->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_field->setMinimumWidth(fieldMinimumWidth);
    connect(m_field, &QLineEdit::textChanged, this, [this] { refreshLook(); });
    connect(m_field, &QLineEdit::returnPressed, this, &DomainInputCard::submit);
    m_primary = new DeployCapsuleButton(look.buttonTitle, this);
    m_primary->setObjectName(QStringLiteral("primaryButton"));
    primaryInk(m_primary, 12, 6);
    connect(m_primary, &QAbstractButton::clicked, this, &DomainInputCard::submit);
    row->addWidget(m_field);
    row->addWidget(m_primary);
    layout->addLayout(row);
    addReturnShortcut();
}

void DomainInputCard::refreshLook()
{
    const DeployLook::DomainInputLook look = DeployLook::domainInputLook(m_field->text());
    m_title->setText(look.title);
    m_lead->setText(look.lead);
    m_primary->setEnabled(look.buttonEnabled);
    contentChanged();
}

void DomainInputCard::submit()
{
    if (!m_canvas)
        return;
    const std::optional<QString> domain = DeployLook::domainSubmission(m_field->text());
    if (!domain)
        return;
    // The draft stays: the controller's next phase replaces this card.
    m_answer.answered = true;
    startDetached(this, m_canvas->deploySession().beginCustomDomain(*domain));
}

void DomainInputCard::leave()
{
    if (m_canvas)
        startDetached(this, m_canvas->deploySession().closeDomainCard());
}

// ---- DomainVerifyCard ---------------------------------------------------------------------------

DomainVerifyCard::DomainVerifyCard(ProjectCanvasViewModel *canvas, QWidget *parent)
    : DeployCard(Card::domainVerify, canvas, parent)
{
    setObjectName(QStringLiteral("DomainVerifyCard"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(10);
    buildHeader(QStringLiteral("globe"), true, true, QString());
    m_rows = new QWidget(this);
    auto *rows = new QVBoxLayout(m_rows);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(6);
    // The records scroll when the pane is short; the checking line stays.
    addBody(m_rows);
    auto *checking = new QHBoxLayout;
    checking->setSpacing(8);
    auto *spinner = new NmActivitySpinner(this);
    spinner->setObjectName(QStringLiteral("checkingSpinner"));
    spinner->setDiameter(10);
    spinner->setColor(qColor(NmColor::inkSecondary));
    m_checking = textLabel(NmFont::caption(), NmColor::inkSecondary, this, false);
    m_checking->setObjectName(QStringLiteral("checkingLine"));
    checking->addWidget(spinner, 0, Qt::AlignVCenter);
    checking->addWidget(m_checking, 1, Qt::AlignVCenter);
    layout->addLayout(checking);
}

void DomainVerifyCard::setPhase(const DeploySessionState::Phase &phase)
{
    DeployCard::setPhase(phase);
}

void DomainVerifyCard::refreshLook()
{
    const DeployLook::DomainVerifyLook look = DeployLook::domainVerifyLook(m_phase.domain(), m_phase.attemptsRemaining());
    m_title->setText(look.title);
    m_lead->setText(look.lead);
    m_checking->setText(look.checkingLine);
    if (m_phase.records() != m_records) {
        m_records = m_phase.records();
        auto *rows = static_cast<QVBoxLayout *>(m_rows->layout());
        qDeleteAll(m_rows->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly));
        for (const DomainRecord &record : m_records) {
            auto *row = new RecordRow(m_rows);
            row->setObjectName(QStringLiteral("record:") + record.identity());
            auto *line = new QHBoxLayout(row);
            line->setContentsMargins(6, 6, 6, 6);
            line->setSpacing(8);
            QLabel *type = textLabel(NmFont::monoSmall(), NmColor::ink, row, false);
            type->setText(record.type);
            type->setMinimumWidth(50);
            // A long name or value is shortened in the middle, its whole text
            // on hover, so the copy button stays inside the card.
            auto *name = new DeployElidedLabel(NmFont::monoSmall(), NmColor::ink, Qt::ElideMiddle, row);
            name->setText(record.name);
            name->setFloorWidth(100);
            auto *valueLabel = new DeployElidedLabel(NmFont::monoSmall(), NmColor::ink, Qt::ElideMiddle, row);
            valueLabel->setObjectName(QStringLiteral("recordValue"));
            valueLabel->setText(record.value);
            valueLabel->setFloorWidth(100); // a long name shortens before the value vanishes
            valueLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
            line->addWidget(type);
            line->addWidget(name);
            line->addWidget(valueLabel, 1);
            QToolButton *copy = deployIconButton(QStringLiteral("doc.on.doc"), 10, NmColor::inkSecondary,
                                                 qCeil(NmIcons::boxSide(10)) + 8, DeployLook::Text::copyValueHelp, row);
            copy->setObjectName(QStringLiteral("copyValue"));
            const QString value = record.value;
            connect(copy, &QToolButton::clicked, this, [value] {
                QGuiApplication::clipboard()->clear();
                QGuiApplication::clipboard()->setText(value);
            });
            line->addWidget(copy);
            rows->addWidget(row);
        }
    }
    m_body->setVisible(!m_records.isEmpty());
    contentChanged();
}

void DomainVerifyCard::leave()
{
    if (m_canvas)
        startDetached(this, m_canvas->deploySession().closeDomainCard());
}

QList<QToolButton *> DomainVerifyCard::copyButtons() const
{
    return m_rows->findChildren<QToolButton *>(QStringLiteral("copyValue"));
}

// ---- DeployPaneOverlay --------------------------------------------------------------------------

DeployPaneOverlay::DeployPaneOverlay(ProjectCanvasViewModel *canvas, const QUuid &paneID, QWidget *parent)
    : QWidget(parent), m_canvas(canvas), m_paneID(paneID)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    if (canvas) {
        connect(&canvas->deploySession().state(), &DeploySessionState::phaseChanged, this, &DeployPaneOverlay::refresh);
        connect(&canvas->deploySession().state(), &DeploySessionState::deployPaneIDChanged, this, &DeployPaneOverlay::refresh);
        connect(canvas, &ProjectCanvasViewModel::panesChanged, this, &DeployPaneOverlay::refresh);
        // A card that has answered waits while the session says a run goes.
        connect(&canvas->deploySession().state(), &DeploySessionState::agentRunGoingChanged, this, [this] {
            if (m_card)
                m_card->setAgentRunning(deployAgentRunning());
        });
    }
    refresh();
}

int DeployPaneOverlay::leastHeightForWidth(int width) const
{
    return m_card && !isHidden() ? m_card->leastHeightForWidth(width) : 0;
}

int DeployPaneOverlay::fittedHeight(int width, int height) const
{
    return m_card && !isHidden() ? m_card->fittedHeight(width, height) : 0;
}

int DeployPaneOverlay::heightForWidth(int width) const
{
    return m_card && !isHidden() ? m_card->heightForWidth(width) : 0;
}

bool DeployPaneOverlay::deployAgentRunning() const
{
    return m_canvas && m_canvas->deploySession().state().agentRunGoing();
}

void DeployPaneOverlay::refresh()
{
    const DeploySessionState::Phase phase =
        m_canvas ? m_canvas->deploySession().state().phase() : DeploySessionState::Phase::idle();
    const Card kind = m_canvas ? DeployLook::cardKind(m_canvas->deploySession().state().deployPaneID(), m_paneID, phase) : Card::none;
    // A card that takes over from one that held the keyboard holds it in
    // turn, so that Escape still closes the step (the verify card after the
    // domain typed into the input card).
    const bool hadKeyboard = m_card && m_card->isAncestorOf(QApplication::focusWidget());
    if (m_card && m_card->kind() != kind) {
        m_card->hide();
        m_card->deleteLater();
        m_card = nullptr;
    }
    if (kind != Card::none && !m_card) {
        switch (kind) {
        case Card::token:
        case Card::secret: m_card = new PasteCard(kind, m_canvas, this); break;
        case Card::envChecklist: m_card = new EnvVarChecklistCard(m_canvas, this); break;
        case Card::domainInput: m_card = new DomainInputCard(m_canvas, this); break;
        case Card::domainVerify: m_card = new DomainVerifyCard(m_canvas, this); break;
        case Card::none: break;
        }
        layout()->addWidget(m_card);
    }
    if (m_card) {
        m_card->setAgentRunning(deployAgentRunning());
        m_card->setPhase(phase);
        if (hadKeyboard && !m_card->isAncestorOf(QApplication::focusWidget()))
            QTimer::singleShot(0, m_card, [card = m_card] {
                if (card)
                    card->takeKeyboard();
            });
    }
    setVisible(m_card != nullptr);
    updateGeometry();
}

bool DeployPaneOverlay::event(QEvent *event)
{
    // The card's height changes with its rows and wrapped lines: the parent
    // places this strip again.
    if (event->type() == QEvent::LayoutRequest)
        updateGeometry();
    return QWidget::event(event);
}

} // namespace nerim
