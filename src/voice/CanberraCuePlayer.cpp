#include "voice/CanberraCuePlayer.h"

#include "foundation/Log.h"

#include <QSet>
#include <canberra.h>

// glib names a struct member "signals", which Qt defines as a macro.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

namespace nerim {

namespace {

// More events than this waiting means the sound system is stuck; later ones are dropped.
constexpr int maximumQueued = 4;

struct DesktopSoundSettings {
    bool eventSounds = true;
    QByteArray themeName = "freedesktop";
};

// The desktop's event-sound switch and theme, when the desktop keeps them in GSettings.
DesktopSoundSettings desktopSoundSettings()
{
    DesktopSoundSettings settings;
    GSettingsSchemaSource *source = g_settings_schema_source_get_default();
    if (!source)
        return settings;
    GSettingsSchema *schema = g_settings_schema_source_lookup(source, "org.gnome.desktop.sound", TRUE);
    if (!schema)
        return settings;
    GSettings *gsettings = g_settings_new_full(schema, nullptr, nullptr);
    if (g_settings_schema_has_key(schema, "event-sounds"))
        settings.eventSounds = g_settings_get_boolean(gsettings, "event-sounds");
    if (g_settings_schema_has_key(schema, "theme-name")) {
        gchar *theme = g_settings_get_string(gsettings, "theme-name");
        if (theme && *theme)
            settings.themeName = theme;
        g_free(theme);
    }
    g_object_unref(gsettings);
    g_settings_schema_unref(schema);
    return settings;
}

} // namespace

// The canberra context, used only on the worker thread.
struct CanberraCuePlayer::Context {
    ca_context *context = nullptr;
    bool unusable = false;
    QSet<int> loggedErrors;

    ~Context()
    {
        if (context)
            ca_context_destroy(context);
    }

    void logOnce(int code, const QString &what)
    {
        if (loggedErrors.contains(code))
            return;
        loggedErrors.insert(code);
        logLine(QStringLiteral("[Nerim sound] %1: %2").arg(what, QString::fromUtf8(ca_strerror(code))));
    }

    void play(const QByteArray &eventId, const QByteArray &description)
    {
        if (unusable)
            return;
        if (!context) {
            const int created = ca_context_create(&context);
            if (created != CA_SUCCESS) {
                context = nullptr;
                unusable = true;
                logOnce(created, QStringLiteral("sound cues are off"));
                return;
            }
            ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Nerim", CA_PROP_APPLICATION_ID, "nerim",
                                    CA_PROP_APPLICATION_ICON_NAME, "nerim", nullptr);
        }
        const DesktopSoundSettings settings = desktopSoundSettings();
        if (!settings.eventSounds)
            return;
        const int played = ca_context_play(context, 0, CA_PROP_EVENT_ID, eventId.constData(),
                                           CA_PROP_EVENT_DESCRIPTION, description.constData(),
                                           CA_PROP_CANBERRA_XDG_THEME_NAME, settings.themeName.constData(),
                                           CA_PROP_CANBERRA_CACHE_CONTROL, "permanent", nullptr);
        if (played != CA_SUCCESS)
            logOnce(played, QStringLiteral("sound \"%1\" not played").arg(QString::fromUtf8(eventId)));
    }
};

CanberraCuePlayer::CanberraCuePlayer()
    : m_context(std::make_shared<Context>()), m_queued(std::make_shared<std::atomic<int>>(0))
{
}

CanberraCuePlayer::~CanberraCuePlayer() { m_worker.waitForIdle(); }

QByteArray CanberraCuePlayer::eventId(SoundCueService::Cue cue)
{
    switch (cue) {
    case SoundCueService::Cue::agentSpawned: return "service-login";
    case SoundCueService::Cue::taskComplete: return "complete";
    case SoundCueService::Cue::voiceRecordingStarted: return "device-added";
    case SoundCueService::Cue::voiceSubmitted: return "message";
    }
    return "bell";
}

void CanberraCuePlayer::playCue(SoundCueService::Cue cue)
{
    static const char *const descriptions[] = {"Agent started", "Task complete", "Recording started", "Voice submitted"};
    play(eventId(cue), QString::fromLatin1(descriptions[static_cast<int>(cue)]));
}

void CanberraCuePlayer::play(const QByteArray &eventId, const QString &description)
{
    if (m_queued->load() >= maximumQueued)
        return;
    ++*m_queued;
    m_worker.run([context = m_context, queued = m_queued, eventId, description = description.toUtf8()] {
        context->play(eventId, description);
        --*queued;
    });
}

} // namespace nerim
