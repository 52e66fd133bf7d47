#include "persistence/AppState.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

// A complete record; each case below edits it.
QJsonObject document()
{
    return QJsonDocument::fromJson(R"({
        "schemaVersion": 1, "createdAt": "2026-12-06T15:59:03Z",
        "preferences": {"outputMode": "verbose", "theme": "default", "userDisplayName": "Ada",
                        "primaryDomain": "other", "primaryDomainOther": "games", "wantsManagedKeys": true},
        "projects": [{"id": "A", "path": "/p", "displayName": "P",
                      "createdAt": "2026-12-06T15:59:03Z", "lastOpenedAt": "2026-12-07T15:59:03Z"}],
        "onboarding": {"completedAt": "2026-12-06T16:00:00Z", "version": 1, "skippedQuestions": ["outputMode"]}
    })").object();
}

QJsonObject edit(const QString &section, const QString &key, const QJsonValue &value)
{
    QJsonObject root = document();
    if (section.isEmpty()) {
        if (value.isUndefined())
            root.remove(key);
        else
            root.insert(key, value);
        return root;
    }
    QJsonObject inner = root.value(section).toObject();
    if (value.isUndefined())
        inner.remove(key);
    else
        inner.insert(key, value);
    root.insert(section, inner);
    return root;
}

AppState decode(const QJsonObject &o) { return AppState::fromJson(JsonObjectReader(o)); }

} // namespace

TEST(AppState, KeysWithFallbacks)
{
    const AppState full = decode(document());
    EXPECT_EQ(full.preferences.userDisplayName, QStringLiteral("Ada"));
    EXPECT_EQ(full.preferences.primaryDomainOther, QStringLiteral("games"));
    ASSERT_TRUE(full.onboarding.completedAt);

    const QJsonValue absent = QJsonValue(QJsonValue::Undefined);
    struct Case {
        QJsonObject json;
        std::function<bool(const AppState &)> check;
        const char *what;
    };
    const QList<Case> cases{
        {edit("preferences", "userDisplayName", absent),
         [](const AppState &s) { return s.preferences.userDisplayName == currentLoginName(); }, "no display name"},
        {edit("preferences", "userDisplayName", 7),
         [](const AppState &s) { return s.preferences.userDisplayName == currentLoginName(); }, "display name a number"},
        {edit("preferences", "primaryDomain", "gaming"),
         [](const AppState &s) { return s.preferences.primaryDomain == AppState::PrimaryDomain::exploring; },
         "unknown domain"},
        {edit("preferences", "primaryDomain", absent),
         [](const AppState &s) { return s.preferences.primaryDomain == AppState::PrimaryDomain::exploring; },
         "no domain"},
        {edit("preferences", "primaryDomainOther", QJsonValue()),
         [](const AppState &s) { return !s.preferences.primaryDomainOther; }, "null free text"},
        {edit("preferences", "wantsManagedKeys", absent),
         [](const AppState &s) { return !s.preferences.wantsManagedKeys; }, "no managed-keys flag"},
        {edit("", "onboarding", absent), [](const AppState &s) { return s.onboarding == AppState::Onboarding{}; },
         "no onboarding"},
        {edit("onboarding", "version", absent),
         [](const AppState &s) { return s.onboarding == AppState::Onboarding{}; }, "onboarding without version"},
        {edit("onboarding", "completedAt", "yesterday"),
         [](const AppState &s) { return s.onboarding == AppState::Onboarding{}; }, "malformed completion date"},
        {edit("onboarding", "completedAt", QJsonValue()),
         [](const AppState &s) { return !s.onboarding.completedAt && s.onboarding.skippedQuestions.size() == 1; },
         "null completion date"},
        {edit("", "extra", "ignored"), [](const AppState &s) { return s.preferences.wantsManagedKeys; },
         "unknown key"},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(c.check(decode(c.json))) << c.what;

    QJsonObject noLastOpened = document();
    QJsonArray projects = noLastOpened.value(QStringLiteral("projects")).toArray();
    QJsonObject project = projects.at(0).toObject();
    project.remove(QStringLiteral("lastOpenedAt"));
    projects.replace(0, project);
    noLastOpened.insert(QStringLiteral("projects"), projects);

    const QList<QJsonObject> fatal{edit("preferences", "outputMode", "loud"), edit("preferences", "theme", absent),
                                   edit("", "preferences", absent),         edit("", "projects", absent),
                                   edit("", "createdAt", "2026-12-06T15:59:03"), edit("", "schemaVersion", "1"),
                                   noLastOpened};
    for (const auto &json : fatal)
        EXPECT_THROW(decode(json), JsonDecodingError) << QJsonDocument(json).toJson().toStdString();
}

TEST(AppState, EncodingIsStableSortedAndWholeSeconds)
{
    AppState state = AppState::fresh(Timestamp(818265600.75));
    EXPECT_EQ(state.preferences.userDisplayName, currentLoginName());
    EXPECT_EQ(state.preferences.outputMode, AppState::OutputMode::notification);
    EXPECT_EQ(state.preferences.theme, QStringLiteral("default"));

    const QByteArray bytes = state.encoded();
    EXPECT_EQ(bytes, AppState(state).encoded());
    EXPECT_FALSE(bytes.contains("primaryDomainOther"));
    EXPECT_FALSE(bytes.contains("completedAt"));
    EXPECT_FALSE(bytes.contains("null"));
    EXPECT_LT(bytes.indexOf("\"createdAt\""), bytes.indexOf("\"onboarding\""));
    EXPECT_LT(bytes.indexOf("\"projects\""), bytes.indexOf("\"schemaVersion\""));

    const AppState back = AppState::decode(bytes);
    EXPECT_NE(back, state); // the fraction of a second is gone
    state.createdAt = Timestamp(818265600.0);
    EXPECT_EQ(back, state);
    EXPECT_EQ(back.encoded(), bytes);
}
