#include "ui/workspace/PromptBarView.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "persistence/IntentProcessorConstants.h"
#include "ui/design/Colors.h"
#include "ui/design/Strings.h"
#include "voice/VoiceTranscribing.h"
#include "ui/design/widgets/NmSurfaceModifier.h"
#include "ui/design/widgets/NmText.h"
#include "ui/panes/AgentTargetPill.h"
#include "ui/panes/DetachedTask.h"
#include "ui/workspace/ModelPickerPill.h"
#include "ui/workspace/PromptBarButtons.h"
#include "ui/workspace/PromptBarField.h"
#include "ui/workspace/PromptBarLook.h"
#include "ui/workspace/PromptBarNotice.h"

#include <QDir>
#include <QHBoxLayout>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

namespace nerim {

namespace {

// Room around the capsule for the shadow its parent paints.
constexpr int kShadowMargin = 24;

QCoro::Task<> startVoiceInput(QPointer<ProjectCanvasViewModel> canvas)
{
    if (!canvas)
        co_return;
    QCoro::Task<> starting = canvas->startVoiceInput();
    co_await std::move(starting);
}

QCoro::Task<> stopVoiceInput(QPointer<ProjectCanvasViewModel> canvas)
{
    if (!canvas)
        co_return;
    QCoro::Task<> stopping = canvas->stopVoiceInput();
    co_await std::move(stopping);
}

} // namespace

QString PromptBarView::defaultVoiceUnavailableReason()
{
    return voiceInputUnavailableMessage();
}

void PromptBarView::openPrivacySettings(VoiceState::DeniedAuthorization denied)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("gnome-control-center"));
    if (program.isEmpty())
        return;
    const QString page = denied == VoiceState::DeniedAuthorization::microphone ? QStringLiteral("microphone")
                                                                              : QStringLiteral("privacy");
    QProcess::startDetached(program, {page});
}

PromptBarView::PromptBarView(ProjectCanvasViewModel *canvas, QWidget *parent)
    : PromptBarView(canvas, Options{}, parent)
{
}

PromptBarView::PromptBarView(ProjectCanvasViewModel *canvas, Options options, QWidget *parent)
    : QWidget(parent)
    , m_canvas(canvas)
    , m_options(std::move(options))
{
    setObjectName(QStringLiteral("promptBar"));
    if (m_options.voiceUnavailableReason.isEmpty())
        m_options.voiceUnavailableReason = defaultVoiceUnavailableReason();
    if (!m_options.openSettings)
        m_options.openSettings = &PromptBarView::openPrivacySettings;
    const QPointer<ProjectCanvasViewModel> guarded(canvas);
    if (!m_options.startVoice)
        m_options.startVoice = [guarded] { return startVoiceInput(guarded); };
    if (!m_options.stopVoice)
        m_options.stopVoice = [guarded] { return stopVoiceInput(guarded); };
    build();

    connect(canvas, &ProjectCanvasViewModel::inputPromptChanged, this, [this] {
        if (!m_canvas)
            return;
        m_applying = true;
        m_field->showText(m_canvas->inputPrompt());
        m_applying = false;
        m_canvas->scheduleDraftSave();
        refresh();
    });
    connect(canvas, &ProjectCanvasViewModel::voiceStateChanged, this, &PromptBarView::voiceStateChanged);
    connect(canvas, &ProjectCanvasViewModel::panesChanged, this, [this] {
        watchPanes();
        refresh();
    });
    for (auto signal : {&ProjectCanvasViewModel::promptTargetChanged, &ProjectCanvasViewModel::focusedPaneIdChanged,
                        &ProjectCanvasViewModel::justSubmittedChanged, &ProjectCanvasViewModel::isSubmittingChanged})
        connect(canvas, signal, this, &PromptBarView::refresh);
    // A Repair or Deploy pane takes prompts only while its session runs.
    connect(&canvas->deploySession().state(), &DeploySessionState::phaseChanged, this, &PromptBarView::refresh);
    connect(&canvas->deploySession().state(), &DeploySessionState::deployPaneIDChanged, this, &PromptBarView::refresh);
    connect(&canvas->repairSession().state(), &RepairSessionState::phaseChanged, this, &PromptBarView::refresh);
    connect(&canvas->repairSession().state(), &RepairSessionState::repairPaneIDChanged, this, &PromptBarView::refresh);

    m_field->showText(canvas->inputPrompt());
    m_voiceActive = PromptBarLook::isVoiceActive(canvas->voiceState());
    watchPanes();
    refresh();
}

void PromptBarView::build()
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(kShadowMargin, 8, kShadowMargin, kShadowMargin);
    root->setSpacing(8);
    root->setSizeConstraint(QLayout::SetFixedSize);

    m_bar = new QWidget(this);
    m_bar->setObjectName(QStringLiteral("promptBarCapsule"));
    m_bar->setFixedWidth(PromptBarLook::width);
    NmPromptBarSurfaceModifier::apply(m_bar, false);
    auto *row = new QHBoxLayout(m_bar);
    row->setContentsMargins(14, 10, 14, 10);
    row->setSpacing(12);

    m_mic = new PromptBarDiscButton(m_bar);
    m_mic->setObjectName(QStringLiteral("micButton"));
    connect(m_mic, &PromptBarDiscButton::clicked, this, &PromptBarView::toggleVoice);
    row->addWidget(m_mic, 0, Qt::AlignVCenter);

    m_field = new PromptBarField(m_bar);
    QPalette palette = m_field->palette();
    palette.setColor(QPalette::Disabled, QPalette::Text, qColor(NmColor::inkSecondary));
    m_field->setPalette(palette);
    connect(m_field, &PromptBarField::textChanged, this, &PromptBarView::fieldEdited);
    connect(m_field, &PromptBarField::returnPressed, this, [this] {
        if (m_canvas && PromptBarLook::returnSubmits(PromptBarState::of(*m_canvas)))
            submit();
    });
    connect(m_field, &PromptBarField::focusChanged, this, &PromptBarView::setFieldFocused);
    row->addWidget(m_field, 1, Qt::AlignVCenter);

    m_targetPill = new AgentTargetPill(m_canvas, m_bar);
    row->addWidget(m_targetPill, 0, Qt::AlignVCenter);
    m_modelPill = new ModelPickerPill(&m_canvas->modelPreference(), m_bar);
    row->addWidget(m_modelPill, 0, Qt::AlignVCenter);

    m_send = new PromptBarDiscButton(m_bar);
    m_send->setObjectName(QStringLiteral("sendButton"));
    connect(m_send, &PromptBarDiscButton::clicked, this, &PromptBarView::submit);
    row->addWidget(m_send, 0, Qt::AlignVCenter);

    root->addWidget(m_bar, 0, Qt::AlignLeft);

    m_notice = new PromptBarNotice(this);
    m_notice->setFixedWidth(PromptBarLook::width);
    m_notice->hide();
    connect(m_notice, &PromptBarNotice::openSettingsRequested, this,
            [this](VoiceState::DeniedAuthorization denied) { m_options.openSettings(denied); });
    connect(m_notice, &PromptBarNotice::dismissRequested, this, [this] {
        if (m_canvas)
            m_canvas->setVoiceState(VoiceState::idle());
    });
    root->addWidget(m_notice, 0, Qt::AlignLeft);
}

void PromptBarView::watchPanes()
{
    for (const QMetaObject::Connection &connection : std::as_const(m_paneConnections))
        disconnect(connection);
    m_paneConnections.clear();
    if (!m_canvas)
        return;
    for (AgentPaneState *pane : m_canvas->panes()) {
        m_paneConnections.append(connect(pane, &AgentPaneState::agentNameChanged, this, &PromptBarView::refresh));
        m_paneConnections.append(
            connect(pane, &AgentPaneState::responsibilityChanged, this, &PromptBarView::refresh));
        m_paneConnections.append(connect(pane, &AgentPaneState::statusChanged, this, &PromptBarView::refresh));
    }
}

void PromptBarView::refresh()
{
    if (!m_canvas)
        return;
    const PromptBarState state = PromptBarState::of(*m_canvas);

    m_field->setPlaceholder(PromptBarLook::placeholder(state));
    const bool fieldEnabled = PromptBarLook::fieldEnabled(state);
    if (!fieldEnabled && m_field->hasFocus())
        m_field->clearFocus(); // before disabling, so focus does not jump elsewhere
    m_field->setEnabled(fieldEnabled);

    const PromptBarLook::MicrophoneLook mic = PromptBarLook::microphone(state, m_options.voiceUnavailableReason);
    m_mic->setDisc(mic.disc);
    m_mic->setSymbol(mic.symbol, 14, NmSymbolWeight::regular, mic.symbolColor);
    m_mic->setEnabled(mic.enabled);
    NmText::setPlainToolTip(m_mic, mic.help);

    const PromptBarLook::SendLook send = PromptBarLook::send(state);
    m_send->setDisc(send.disc);
    switch (send.glyph) {
    case PromptBarLook::SendLook::Glyph::checkmark:
        m_send->setSymbol(QStringLiteral("checkmark"), 12, NmSymbolWeight::semibold, send.glyphColor, true);
        break;
    case PromptBarLook::SendLook::Glyph::spinner: m_send->setSpinner(send.glyphColor); break;
    case PromptBarLook::SendLook::Glyph::arrow:
        m_send->setSymbol(QStringLiteral("arrow.up"), 12, NmSymbolWeight::medium, send.glyphColor);
        break;
    }
    m_send->setEnabled(send.enabled);

    const std::optional<PromptBarLook::Notice> notice = PromptBarLook::notice(state.voiceState);
    if (notice)
        m_notice->setNotice(*notice);
    m_notice->setVisible(notice.has_value());
}

void PromptBarView::fieldEdited()
{
    if (m_applying || !m_canvas)
        return;
    const QString text = m_field->toPlainText();
    if (m_canvas->inputPrompt() != text)
        m_canvas->setInputPrompt(text);
}

void PromptBarView::submit()
{
    if (!m_canvas)
        return;
    startDetached(this, m_canvas->submitPrompt(ContextEntry::PromptSource::text));
}

void PromptBarView::toggleVoice()
{
    if (!m_canvas)
        return;
    if (PromptBarLook::isVoiceActive(m_canvas->voiceState()))
        startDetached(this, m_options.stopVoice());
    else
        startDetached(this, m_options.startVoice());
}

void PromptBarView::voiceStateChanged()
{
    if (!m_canvas)
        return;
    refresh();
    const bool active = PromptBarLook::isVoiceActive(m_canvas->voiceState());
    const bool began = !m_voiceActive && active;
    const bool ended = m_voiceActive && !active;
    m_voiceActive = active;
    if (began)
        m_promptBeforeVoice = m_canvas->inputPrompt();
    if (ended && m_canvas->inputPrompt() != m_promptBeforeVoice) {
        // Dictation put its text into the field: continue typing after it.
        m_field->setFocus(Qt::OtherFocusReason);
        QPointer<PromptBarField> field = m_field;
        QTimer::singleShot(0, m_field, [field] {
            if (field && field->hasFocus())
                field->moveCaretToEnd();
        });
    }
}

void PromptBarView::setFieldFocused(bool focused)
{
    m_fieldFocused = focused;
    if (NmSurfaceModifier *surface = NmSurfaceModifier::of(m_bar))
        surface->setFocused(focused);
}

} // namespace nerim
