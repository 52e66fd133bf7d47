#include "persistence/AppState.h"

#include "foundation/RawValues.h"

#include <QJsonArray>
#include <array>
#include <pwd.h>
#include <unistd.h>

namespace nerim {

namespace {
constexpr auto outputModeNames = rawValues<AppState::OutputMode>("notification", "verbose", "summary");
constexpr auto primaryDomainNames = rawValues<AppState::PrimaryDomain>("webApp", "backendService", "scriptOrCli",
                                                                      "dataPipeline", "exploring", "other");

AppState::Onboarding decodeOnboarding(const JsonObjectReader &document)
{
    // A damaged onboarding object yields the default record: the user goes
    // through onboarding again rather than losing the whole file.
    try {
        const auto object = document.optionalObject(QStringLiteral("onboarding"));
        if (!object)
            return {};
        AppState::Onboarding onboarding;
        onboarding.completedAt = object->optionalIsoDate(QStringLiteral("completedAt"));
        onboarding.version = object->int32(QStringLiteral("version"));
        onboarding.skippedQuestions = object->stringList(QStringLiteral("skippedQuestions"));
        return onboarding;
    } catch (const JsonDecodingError &) {
        return {};
    }
}

template <typename T, typename F>
T orDefault(F read, T fallback)
{
    try {
        if (auto value = read())
            return *value;
    } catch (const JsonDecodingError &) {
    }
    return fallback;
}

} // namespace

QString rawValue(AppState::OutputMode mode) { return outputModeNames.raw(mode); }
QString rawValue(AppState::PrimaryDomain domain)
{
    return primaryDomainNames.raw(domain);
}
std::optional<AppState::OutputMode> outputModeFromRaw(const QString &raw)
{
    return outputModeNames.fromRaw(raw);
}
std::optional<AppState::PrimaryDomain> primaryDomainFromRaw(const QString &raw)
{
    return primaryDomainNames.fromRaw(raw);
}

const QList<AppState::PrimaryDomain> &allPrimaryDomains()
{
    static const QList<AppState::PrimaryDomain> all{
        AppState::PrimaryDomain::webApp,       AppState::PrimaryDomain::backendService,
        AppState::PrimaryDomain::scriptOrCli,  AppState::PrimaryDomain::dataPipeline,
        AppState::PrimaryDomain::exploring,    AppState::PrimaryDomain::other};
    return all;
}

QString currentLoginName()
{
    // The owners call this on their own threads: the reentrant lookup keeps it
    // clear of getpwuid's shared buffer, which other threads use too.
    passwd entry {};
    passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name &&
        *found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return qEnvironmentVariable("USER");
}

AppState AppState::fresh(Timestamp now)
{
    AppState state;
    state.createdAt = now;
    state.preferences.userDisplayName = currentLoginName();
    return state;
}

QJsonObject AppState::toJson() const
{
    QJsonObject prefs;
    prefs.insert(QStringLiteral("outputMode"), rawValue(preferences.outputMode));
    prefs.insert(QStringLiteral("theme"), preferences.theme);
    prefs.insert(QStringLiteral("userDisplayName"), preferences.userDisplayName);
    prefs.insert(QStringLiteral("primaryDomain"), rawValue(preferences.primaryDomain));
    json::insertOptional(prefs, QStringLiteral("primaryDomainOther"), preferences.primaryDomainOther);
    prefs.insert(QStringLiteral("wantsManagedKeys"), preferences.wantsManagedKeys);

    QJsonArray list;
    for (const auto &p : projects) {
        QJsonObject o;
        o.insert(QStringLiteral("id"), p.id);
        o.insert(QStringLiteral("path"), p.path);
        o.insert(QStringLiteral("displayName"), p.displayName);
        o.insert(QStringLiteral("createdAt"), json::isoDate(p.createdAt));
        o.insert(QStringLiteral("lastOpenedAt"), json::isoDate(p.lastOpenedAt));
        list.append(o);
    }

    QJsonObject board;
    json::insertOptional(board, QStringLiteral("completedAt"), onboarding.completedAt, json::isoDate);
    board.insert(QStringLiteral("version"), onboarding.version);
    board.insert(QStringLiteral("skippedQuestions"), QJsonArray::fromStringList(onboarding.skippedQuestions));

    QJsonObject o;
    o.insert(QStringLiteral("schemaVersion"), schemaVersion);
    o.insert(QStringLiteral("createdAt"), json::isoDate(createdAt));
    o.insert(QStringLiteral("preferences"), prefs);
    o.insert(QStringLiteral("projects"), list);
    o.insert(QStringLiteral("onboarding"), board);
    return o;
}

QByteArray AppState::encoded() const { return json::encodePretty(toJson()); }

AppState AppState::fromJson(const JsonObjectReader &object)
{
    AppState state;
    state.schemaVersion = object.int32(QStringLiteral("schemaVersion"));
    state.createdAt = object.isoDate(QStringLiteral("createdAt"));

    const JsonObjectReader prefs = object.object(QStringLiteral("preferences"));
    state.preferences.outputMode = prefs.enumeration(QStringLiteral("outputMode"), &outputModeFromRaw);
    state.preferences.theme = prefs.string(QStringLiteral("theme"));
    // Keys with a fallback: absent, null or unusable values take the default.
    const QJsonValue name = prefs.raw().value(QStringLiteral("userDisplayName"));
    state.preferences.userDisplayName = name.isString() ? name.toString() : currentLoginName();
    state.preferences.primaryDomain = orDefault(
        [&] { return prefs.optionalEnumeration(QStringLiteral("primaryDomain"), &primaryDomainFromRaw); },
        AppState::PrimaryDomain::exploring);
    const QJsonValue other = prefs.raw().value(QStringLiteral("primaryDomainOther"));
    if (other.isString())
        state.preferences.primaryDomainOther = other.toString();
    state.preferences.wantsManagedKeys =
        orDefault([&] { return prefs.optionalBool(QStringLiteral("wantsManagedKeys")); }, false);

    for (const auto &item : object.array(QStringLiteral("projects"))) {
        const JsonObjectReader p = item.toObject();
        state.projects.append(ProjectRegistryEntry{p.string(QStringLiteral("id")), p.string(QStringLiteral("path")),
                                                   p.string(QStringLiteral("displayName")),
                                                   p.isoDate(QStringLiteral("createdAt")),
                                                   p.isoDate(QStringLiteral("lastOpenedAt"))});
    }
    state.onboarding = decodeOnboarding(object);
    return state;
}

AppState AppState::decode(const QByteArray &bytes) { return fromJson(JsonObjectReader::parse(bytes)); }

} // namespace nerim
