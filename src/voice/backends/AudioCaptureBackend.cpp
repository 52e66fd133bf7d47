// The microphone as a library the application loads at the first recording:
// Nerim starts without Qt Multimedia and the sound server's client.
#include "foundation/Log.h"
#include "voice/MicrophoneAudioSource.h"
#include "voice/backends/BackendEntry.h"

extern "C" Q_DECL_EXPORT nerim::AudioCaptureSource *nerimCreateMicrophone(nerim::HostLogLine hostLog)
{
    if (hostLog && hostLog != &nerim::logLine)
        nerim::setLogSink([hostLog](const QString &line) { hostLog(line); });
    return new nerim::MicrophoneAudioSource;
}
