#include "voice/CanberraCuePlayer.h"

#include "foundation/Log.h"

#include <QSet>
#include <QStringList>
#include <canberra.h>
#include <dlfcn.h>

// glib names a struct member "signals", which Qt defines as a macro.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

namespace nerim {

namespace {

// More events than this waiting means the sound system is stuck; later ones are dropped.
constexpr int maximumQueued = 4;

// libcanberra and GIO (for the desktop's sound settings), loaded on the
// worker thread at the first cue, so that Nerim starts without them and
// without the sound server's client they bring. Only the functions used below
// are resolved. Never closed: loaded once per process.
struct SoundLibraries {
    decltype(&ca_context_create) contextCreate = nullptr;
    decltype(&ca_context_destroy) contextDestroy = nullptr;
    decltype(&ca_context_change_props) contextChangeProps = nullptr;
    decltype(&ca_context_play) contextPlay = nullptr;
    decltype(&ca_strerror) strerror = nullptr;
    decltype(&g_settings_schema_source_get_default) schemaSourceDefault = nullptr;
    decltype(&g_settings_schema_source_lookup) schemaSourceLookup = nullptr;
    decltype(&g_settings_schema_has_key) schemaHasKey = nullptr;
    decltype(&g_settings_schema_unref) schemaUnref = nullptr;
    decltype(&g_settings_new_full) settingsNew = nullptr;
    decltype(&g_settings_get_boolean) getBoolean = nullptr;
    decltype(&g_settings_get_string) getString = nullptr;
    decltype(&g_object_unref) objectUnref = nullptr;
    decltype(&g_free) free = nullptr;
    QString error; // why they could not be loaded; empty once loaded
};

const SoundLibraries &soundLibraries()
{
    static const SoundLibraries libraries = [] {
        SoundLibraries l;
        QStringList problems;
        const auto open = [&](const char *name) {
            void *handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
            if (!handle)
                problems << QString::fromLocal8Bit(dlerror());
            return handle;
        };
        void *canberra = open(CanberraCuePlayer::libraryName);
        void *gio = open("libgio-2.0.so.0");
        if (canberra && gio) {
            const auto resolve = [&](void *handle, auto &function, const char *name) {
                function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(handle, name));
                if (!function)
                    problems << QStringLiteral("%1 is missing").arg(QString::fromLatin1(name));
            };
            resolve(canberra, l.contextCreate, "ca_context_create");
            resolve(canberra, l.contextDestroy, "ca_context_destroy");
            resolve(canberra, l.contextChangeProps, "ca_context_change_props");
            resolve(canberra, l.contextPlay, "ca_context_play");
            resolve(canberra, l.strerror, "ca_strerror");
            resolve(gio, l.schemaSourceDefault, "g_settings_schema_source_get_default");
            resolve(gio, l.schemaSourceLookup, "g_settings_schema_source_lookup");
            resolve(gio, l.schemaHasKey, "g_settings_schema_has_key");
            resolve(gio, l.schemaUnref, "g_settings_schema_unref");
            resolve(gio, l.settingsNew, "g_settings_new_full");
            resolve(gio, l.getBoolean, "g_settings_get_boolean");
            resolve(gio, l.getString, "g_settings_get_string");
            resolve(gio, l.objectUnref, "g_object_unref");
            resolve(gio, l.free, "g_free");
        }
        l.error = problems.join(QStringLiteral("; "));
        return l;
    }();
    return libraries;
}

struct DesktopSoundSettings {
    bool eventSounds = true;
    QByteArray themeName = "freedesktop";
};

// The desktop's event-sound switch and theme, when the desktop keeps them in GSettings.
DesktopSoundSettings desktopSoundSettings()
{
    DesktopSoundSettings settings;
    const SoundLibraries &gio = soundLibraries();
    GSettingsSchemaSource *source = gio.schemaSourceDefault();
    if (!source)
        return settings;
    GSettingsSchema *schema = gio.schemaSourceLookup(source, "org.gnome.desktop.sound", TRUE);
    if (!schema)
        return settings;
    GSettings *gsettings = gio.settingsNew(schema, nullptr, nullptr);
    if (gio.schemaHasKey(schema, "event-sounds"))
        settings.eventSounds = gio.getBoolean(gsettings, "event-sounds");
    if (gio.schemaHasKey(schema, "theme-name")) {
        gchar *theme = gio.getString(gsettings, "theme-name");
        if (theme && *theme)
            settings.themeName = theme;
        gio.free(theme);
    }
    gio.objectUnref(gsettings);
    gio.schemaUnref(schema);
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
            soundLibraries().contextDestroy(context);
    }

    void logOnce(int code, const QString &what)
    {
        if (loggedErrors.contains(code))
            return;
        loggedErrors.insert(code);
        logLine(QStringLiteral("[Nerim sound] %1: %2").arg(what, QString::fromUtf8(soundLibraries().strerror(code))));
    }

    void play(const QByteArray &eventId, const QByteArray &description)
    {
        if (unusable)
            return;
        if (!context) {
            const SoundLibraries &libraries = soundLibraries();
            if (!libraries.error.isEmpty()) {
                unusable = true;
                logLine(QStringLiteral("[Nerim sound] sound cues are off: the sound library couldn't be loaded (%1)")
                            .arg(libraries.error));
                return;
            }
            const int created = libraries.contextCreate(&context);
            if (created != CA_SUCCESS) {
                context = nullptr;
                unusable = true;
                logOnce(created, QStringLiteral("sound cues are off"));
                return;
            }
            soundLibraries().contextChangeProps(context, CA_PROP_APPLICATION_NAME, "Nerim", CA_PROP_APPLICATION_ID,
                                                "nerim", CA_PROP_APPLICATION_ICON_NAME, "nerim", nullptr);
        }
        const DesktopSoundSettings settings = desktopSoundSettings();
        if (!settings.eventSounds)
            return;
        const int played = soundLibraries().contextPlay(context, 0, CA_PROP_EVENT_ID, eventId.constData(),
                                                        CA_PROP_EVENT_DESCRIPTION, description.constData(),
                                                        CA_PROP_CANBERRA_XDG_THEME_NAME, settings.themeName.constData(),
                                                        CA_PROP_CANBERRA_CACHE_CONTROL, "permanent", nullptr);
        if (played != CA_SUCCESS)
            logOnce(played, QStringLiteral("sound \"%1\" not played").arg(QString::fromUtf8(eventId)));
    }
};

CanberraCuePlayer::CanberraCuePlayer()
    : m_context(std::make_shared<Context>()), m_queued(std::make_shared<std::atomic<int>>(0))
    , m_worker(SerialExecutor::Thread::kept) // the canberra context stays on the thread that made it
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
