// The speech engine as a library the application loads at the first sentence
// it speaks: Nerim starts without Qt TextToSpeech.
#include "foundation/Log.h"
#include "voice/FliteSpeaker.h"
#include "voice/backends/BackendEntry.h"

extern "C" Q_DECL_EXPORT nerim::VoiceNarratorService::Speaker *nerimCreateSpeaker(nerim::HostLogLine hostLog)
{
    if (hostLog && hostLog != &nerim::logLine)
        nerim::setLogSink([hostLog](const QString &line) { hostLog(line); });
    return new nerim::FliteSpeaker;
}
