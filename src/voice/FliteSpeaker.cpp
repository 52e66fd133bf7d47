#include "voice/FliteSpeaker.h"

#include "foundation/Log.h"

#include <QTextToSpeech>

namespace nerim {

FliteSpeaker::FliteSpeaker(QObject *parent) : QObject(parent) {}

FliteSpeaker::~FliteSpeaker() = default;

void FliteSpeaker::disable(const QString &reason)
{
    m_unusable = true;
    m_waiting.clear();
    // Possibly called from one of the engine's own signals: let it return first.
    if (m_speech)
        m_speech.release()->deleteLater();
    logLine(QStringLiteral("[Nerim voice] narration is off: %1").arg(reason));
}

bool FliteSpeaker::ensureEngine()
{
    if (m_unusable)
        return false;
    if (m_speech)
        return true;
    if (!QTextToSpeech::availableEngines().contains(engineName)) {
        disable(QStringLiteral("the %1 speech engine is not installed").arg(engineName));
        return false;
    }
    m_speech = std::make_unique<QTextToSpeech>(engineName);
    if (m_speech->state() == QTextToSpeech::Error) {
        disable(QStringLiteral("the %1 speech engine did not load (%2)").arg(engineName, m_speech->errorString()));
        return false;
    }
    connect(m_speech.get(), &QTextToSpeech::stateChanged, this, [this](QTextToSpeech::State state) {
        if (state == QTextToSpeech::Ready || state == QTextToSpeech::Error)
            speakNext();
    });
    connect(m_speech.get(), &QTextToSpeech::errorOccurred, this,
            [this](QTextToSpeech::ErrorReason reason, const QString &text) {
                if (reason == QTextToSpeech::ErrorReason::Initialization) {
                    disable(QStringLiteral("the %1 speech engine did not load (%2)").arg(engineName, text));
                    return;
                }
                // Most often no sound server: what waits would fail the same way.
                m_waiting.clear();
                if (!m_playbackErrorLogged) {
                    m_playbackErrorLogged = true;
                    logLine(QStringLiteral("[Nerim voice] narration could not be played: %1").arg(text));
                }
            });
    return true;
}

void FliteSpeaker::say(const QString &text)
{
    if (!ensureEngine())
        return;
    if (m_waiting.size() >= maximumWaiting)
        return;
    m_waiting.append(text);
    speakNext();
}

void FliteSpeaker::speakNext()
{
    if (!m_speech || m_waiting.isEmpty())
        return;
    // After a failed sentence the engine stays in Error until it is asked again.
    const QTextToSpeech::State state = m_speech->state();
    if (state != QTextToSpeech::Ready && state != QTextToSpeech::Error)
        return;
    m_speech->say(m_waiting.takeFirst());
}

} // namespace nerim
