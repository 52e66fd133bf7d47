#include "voice/VoiceBackendLibrary.h"

#include "foundation/Log.h"
#include "voice/VoiceTranscriberError.h"
#include "voice/backends/BackendEntry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <dlfcn.h>

namespace nerim::VoiceBackendLibrary {

namespace {

struct Backend {
    bool tried = false;
    QFunctionPointer create = nullptr;
    QString error;
};

// Loads the library from beside the executable, the one place it is looked
// for, and resolves its entry point once; later calls return what the first found.
const Backend &load(Backend &backend, const QString &fileName, const char *entry)
{
    if (backend.tried)
        return backend;
    backend.tried = true;
    const QString path = QDir(QCoreApplication::applicationDirPath()).filePath(fileName);
    if (!QFileInfo::exists(path)) {
        backend.error = QStringLiteral("%1 was not found").arg(fileName);
        return backend;
    }
    // Never closed: the objects it makes live on after the loader.
    void *handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        backend.error = QString::fromLocal8Bit(dlerror());
        return backend;
    }
    if (auto create = reinterpret_cast<QFunctionPointer>(dlsym(handle, entry)))
        backend.create = create;
    else
        backend.error = QStringLiteral("%1 lacks %2").arg(path, QString::fromLatin1(entry));
    return backend;
}

} // namespace

std::unique_ptr<VoiceNarratorService::Speaker> createSpeaker()
{
    static Backend backend;
    const bool first = !backend.tried;
    load(backend, QStringLiteral("libnerim_speech_backend.so"), "nerimCreateSpeaker");
    if (!backend.create) {
        if (first)
            logLine(QStringLiteral("[Nerim voice] narration is off: the speech library couldn't be loaded (%1)")
                        .arg(backend.error));
        return nullptr;
    }
    using Create = VoiceNarratorService::Speaker *(*)(HostLogLine);
    return std::unique_ptr<VoiceNarratorService::Speaker>(reinterpret_cast<Create>(backend.create)(&logLine));
}

std::unique_ptr<AudioCaptureSource> createMicrophone()
{
    static Backend backend;
    const bool first = !backend.tried;
    load(backend, QStringLiteral("libnerim_audio_capture_backend.so"), "nerimCreateMicrophone");
    if (!backend.create) {
        if (first)
            logLine(
                QStringLiteral("[Nerim voice] the audio capture library couldn't be loaded (%1)").arg(backend.error));
        throw VoiceTranscriberError::audioEngineFailed(QStringLiteral("the sound system could not be loaded."));
    }
    using Create = AudioCaptureSource *(*)(HostLogLine);
    return std::unique_ptr<AudioCaptureSource>(reinterpret_cast<Create>(backend.create)(&logLine));
}

SpeakerOnFirstUse::SpeakerOnFirstUse(Factory makeSpeaker)
    : m_makeSpeaker(makeSpeaker ? std::move(makeSpeaker) : Factory(&createSpeaker))
{
}

SpeakerOnFirstUse::~SpeakerOnFirstUse()
{
    if (!m_thread)
        return;
    // The engine goes on its own thread (it may be in the middle of loading:
    // this waits for that), then the thread's loop ends.
    QMetaObject::invokeMethod(m_context, [this] { m_speaker.reset(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    // Its thread has ended: nothing runs on it any more.
    delete m_context;
}

void SpeakerOnFirstUse::say(const QString &text)
{
    if (!m_thread) {
        m_thread = std::make_unique<QThread>();
        m_thread->setObjectName(QStringLiteral("Nerim speech"));
        m_context = new QObject;
        m_context->moveToThread(m_thread.get());
        m_thread->start(QThread::LowPriority);
    }
    QMetaObject::invokeMethod(m_context, [this, text] {
        if (!m_tried) {
            m_tried = true;
            m_speaker = m_makeSpeaker();
        }
        if (m_speaker)
            m_speaker->say(text);
    });
}

} // namespace nerim::VoiceBackendLibrary
