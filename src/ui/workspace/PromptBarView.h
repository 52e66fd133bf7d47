#pragma once

#include "voice/VoiceState.h"

#include <QCoro/QCoroTask>

#include <QList>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>
#include <functional>

namespace nerim {

class AgentTargetPill;
class ModelPickerPill;
class ProjectCanvasViewModel;
class PromptBarDiscButton;
class PromptBarField;
class PromptBarNotice;

// The floating capsule at the bottom of a project's canvas where the user
// types or dictates: microphone, the growing prompt field, where the prompt
// goes, which model runs it, and the send button; under it a notice when
// voice input failed. It keeps nothing but keyboard focus: every text, colour
// and enabled state follows the canvas controller, and every action is one
// call on it. The send action is disabled while a submission is being routed
// (`isSubmitting`; the send disc then shows the design kit's
// NmActivitySpinner), the microphone stays enabled while voice input is
// active, and privacy settings open through an injected opener (GNOME
// Settings when installed).
//
// Children for tests: "micButton", "promptField", "agentTargetPill",
// "modelPickerPill", "sendButton", "promptBarNotice" (with "noticeText",
// "openSettingsButton", "dismissButton").
class PromptBarView : public QWidget {
    Q_OBJECT
public:
    // Opens the desktop's privacy settings for what was refused.
    using SettingsOpener = std::function<void(VoiceState::DeniedAuthorization)>;
    // Starts or stops voice input; the controller's own operations unless replaced.
    using VoiceOperation = std::function<QCoro::Task<>()>;

    struct Options {
        // The microphone's help when there is no transcriber; empty: the
        // sentence naming the key file that voice input needs.
        QString voiceUnavailableReason;
        // Empty: `openPrivacySettings`.
        SettingsOpener openSettings;
        // Empty: the controller's startVoiceInput and stopVoiceInput.
        VoiceOperation startVoice;
        VoiceOperation stopVoice;
    };

    explicit PromptBarView(ProjectCanvasViewModel *canvas, QWidget *parent = nullptr);
    PromptBarView(ProjectCanvasViewModel *canvas, Options options, QWidget *parent = nullptr);

    PromptBarField *field() const { return m_field; }
    PromptBarDiscButton *micButton() const { return m_mic; }
    PromptBarDiscButton *sendButton() const { return m_send; }
    AgentTargetPill *targetPill() const { return m_targetPill; }
    ModelPickerPill *modelPill() const { return m_modelPill; }
    PromptBarNotice *notice() const { return m_notice; }
    // The capsule (its surface follows the field's focus).
    QWidget *bar() const { return m_bar; }
    bool isFieldFocused() const { return m_fieldFocused; }

    // "Voice input needs a Groq key in <key file>.", the file shown with "~".
    static QString defaultVoiceUnavailableReason();
    // Starts GNOME's Settings on its privacy page for the permission, when
    // that program is installed; otherwise does nothing.
    static void openPrivacySettings(VoiceState::DeniedAuthorization denied);

private:
    void build();
    void watchPanes();
    void refresh();
    void submit();
    void toggleVoice();
    void fieldEdited();
    void voiceStateChanged();
    void setFieldFocused(bool focused);

    QPointer<ProjectCanvasViewModel> m_canvas;
    Options m_options;
    QWidget *m_bar = nullptr;
    PromptBarDiscButton *m_mic = nullptr;
    PromptBarField *m_field = nullptr;
    AgentTargetPill *m_targetPill = nullptr;
    ModelPickerPill *m_modelPill = nullptr;
    PromptBarDiscButton *m_send = nullptr;
    PromptBarNotice *m_notice = nullptr;
    QList<QMetaObject::Connection> m_paneConnections;
    bool m_fieldFocused = false;
    bool m_voiceActive = false;
    // The prompt's text when the dictation began: the field takes the focus at
    // its end only when the words went there (not into the Plans draft).
    QString m_promptBeforeVoice;
    bool m_applying = false;
};

} // namespace nerim
