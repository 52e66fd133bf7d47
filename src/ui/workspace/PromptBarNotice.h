#pragma once

#include "ui/workspace/PromptBarLook.h"

#include <QWidget>

class QLabel;
class QPushButton;
class QToolButton;

namespace nerim {

// The line under the prompt bar after voice input failed: a warning sign, the
// sentence, "Open Settings" when a permission is missing, and a dismiss
// button, on a faint red rounded background. The sentence is plain text.
class PromptBarNotice : public QWidget {
    Q_OBJECT
public:
    explicit PromptBarNotice(QWidget *parent = nullptr);

    void setNotice(const PromptBarLook::Notice &notice);
    const PromptBarLook::Notice &notice() const { return m_notice; }

    QLabel *textLabel() const { return m_text; }

signals:
    void openSettingsRequested(VoiceState::DeniedAuthorization denied);
    void dismissRequested();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    PromptBarLook::Notice m_notice;
    QLabel *m_text = nullptr;
    QPushButton *m_openSettings = nullptr;
    QToolButton *m_dismiss = nullptr;
};

} // namespace nerim
