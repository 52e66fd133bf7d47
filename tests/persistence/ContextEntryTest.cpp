#include "persistence/ContextLog.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

using E = ContextEntry;

ContextEntry decodeEntry(const char *json) { return ContextEntry::fromJson(JsonObjectReader::parse(QByteArray(json))); }

QString decodeFailure(const char *json)
{
    try {
        decodeEntry(json);
    } catch (const JsonDecodingError &error) {
        return error.description();
    }
    return QStringLiteral("decoded");
}

} // namespace

TEST(ContextEntry, EveryKindSurvivesTheDocumentRoundTrip)
{
    const QList<E::Payload> payloads{
        E::ProjectOpened{QStringLiteral("0.1.0 (1)")},
        E::AgentSpawned{QStringLiteral("id"), QStringLiteral("Ada"), QStringLiteral("ui"), QStringLiteral("claudeCode"),
                        -2147483647 - 1, QStringLiteral("sha256:00")},
        E::AgentPromptReceived{QStringLiteral("id"), QStringLiteral("Ada"), QStringLiteral("hi \u00e9"), E::PromptSource::text},
        E::AgentTaskComplete{QStringLiteral("id"), QStringLiteral("Ada"), QStringLiteral("ok"), {}, 2147483647},
        E::AgentExit{QStringLiteral("id"), QStringLiteral("Ada"), E::ExitReason::subprocessError, -1},
        E::FileChanged{QStringLiteral("a/b"), E::FileEventKind::deleted, std::nullopt, std::nullopt, false},
        E::FileChanged{QStringLiteral("a/b"), E::FileEventKind::created, QStringLiteral("x"), QStringLiteral("Ada"), true},
        E::RepairSessionStarted{QStringLiteral("id"), QStringLiteral("R"), QStringLiteral("c"), QStringLiteral("s"),
                                5000000000LL},
        E::RepairSessionEnded{QStringLiteral("id"), QStringLiteral("R"), E::RepairSessionOutcome::cancelled, 2,
                              QStringLiteral("c"), QStringLiteral("why")},
        E::DeployStarted{QStringLiteral("id"), QStringLiteral("D"), {}, QStringLiteral("s"), QStringLiteral("k")},
        E::DeployEnded{QStringLiteral("id"), QStringLiteral("D"), {QStringLiteral("vercel")}, E::DeploySessionOutcome::live,
                       QStringLiteral("https://f"), QStringLiteral("https://b"), 1, std::nullopt},
    };
    ContextLog log{1, QStringLiteral("P"), QStringLiteral("/p"), Timestamp(800000000.0), {}};
    for (const auto &p : payloads)
        log.entries.append(ContextEntry::create(p, Timestamp(800000100.0)));
    const ContextLog back = ContextLog::decode(log.encoded());
    EXPECT_EQ(back, log);
    EXPECT_EQ(back.encoded(), log.encoded());

    // Sorted keys on disk; absent optionals are left out, never written as null.
    const QByteArray bytes = log.encoded();
    EXPECT_LT(bytes.indexOf("\"createdAt\""), bytes.indexOf("\"entries\""));
    EXPECT_LT(bytes.indexOf("\"projectPath\""), bytes.indexOf("\"schemaVersion\""));
    EXPECT_FALSE(bytes.contains("null"));
    EXPECT_EQ(back.entries[5].toJson().value(QStringLiteral("payload")).toObject().keys(),
              (QStringList{QStringLiteral("attributionAmbiguous"), QStringLiteral("eventKind"), QStringLiteral("relativePath")}));
}

TEST(ContextEntry, FractionalSecondsAreCutOnWrite)
{
    const ContextEntry e = ContextEntry::create(E::ProjectOpened{QStringLiteral("1")}, Timestamp(800000000.9));
    const ContextEntry back = ContextEntry::fromJson(JsonObjectReader(e.toJson()));
    EXPECT_EQ(back.timestamp(), Timestamp(800000000.0));
    EXPECT_NE(back, e);
}

TEST(ContextEntry, LenientAndStrictReading)
{
    // null optionals read as absent; members of other kinds are ignored.
    const ContextEntry file = decodeEntry(R"({"id":"X","timestamp":"2026-03-14T09:26:53Z","kind":"fileChanged",
        "payload":{"relativePath":"a","eventKind":"modified","attributedAgentName":null,"attributionAmbiguous":false,"pid":"x"}})");
    EXPECT_EQ(file.payload(), E::Payload(E::FileChanged{QStringLiteral("a"), E::FileEventKind::modified, std::nullopt,
                                                        std::nullopt, false}));
    EXPECT_NO_THROW(decodeEntry(R"({"id":"X","timestamp":"2026-03-14T09:26:53Z","kind":"agentExit",
        "payload":{"agentId":"a","agentName":"A","reason":"userKilled","exitCode":-1,"pid":7}})"));

    struct Case {
        const char *json;
        const char *expected; // a fragment of the decoding error
    };
    const Case cases[] = {
        {R"({"id":"X","timestamp":"2026-03-14T09:26:53Z","kind":"ProjectOpened","payload":{"appVersion":"1"}})",
         "Unknown context entry kind: ProjectOpened at kind"},
        {R"({"id":"X","timestamp":"2026-03-14T09:26:53Z","kind":"agentExit","payload":{"agentId":"a","agentName":"A","reason":"userKilled"}})",
         "exitCode"},
        {R"({"id":"X","timestamp":"2026-03-14T09:26:53Z","kind":"agentExit","payload":{"agentId":"a","agentName":"A","reason":"userKilled","exitCode":2147483648}})",
         "out of range"},
        {R"({"id":"X","timestamp":"2026-03-14T09:26:53Z","kind":"agentPromptReceived","payload":{"agentId":"a","agentName":"A","prompt":"p","source":"email"}})",
         "unknown value \"email\""},
        {R"({"id":"X","timestamp":"2026-03-14T09:26:53Z","kind":"agentSpawned","payload":{"agentId":"a","agentName":"A","role":"r","provider":"p","pid":"12","openingPromptDigest":"d"}})",
         "payload.pid"},
        {R"({"id":"X","timestamp":"2026-03-14T09:26:53Z","kind":"agentTaskComplete","payload":{"agentId":"a","agentName":"A","summaryText":"s","filesChanged":"a.ts","exitCode":0}})",
         "filesChanged"},
        {R"({"id":"X","timestamp":"2026-03-14T09:26:53","kind":"projectOpened","payload":{"appVersion":"1"}})",
         "timestamp"},
        {R"({"id":"X","timestamp":"2026-03-14T09:26:53Z","kind":"projectOpened"})", "payload"},
        {R"({"id":"X","timestamp":"2026-03-14T09:26:53Z","kind":"projectOpened","payload":{"appVersion":null}})",
         "appVersion"},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(decodeFailure(c.json).contains(QString::fromUtf8(c.expected)))
            << c.json << " -> " << decodeFailure(c.json).toStdString();
}

TEST(ContextEntry, RawValuesAreExact)
{
    EXPECT_EQ(rawValue(E::ExitReason::cleanCompletion), QStringLiteral("cleanCompletion"));
    EXPECT_EQ(exitReasonFromRaw(QStringLiteral("hangDetected")), E::ExitReason::hangDetected);
    EXPECT_FALSE(exitReasonFromRaw(QStringLiteral("HangDetected")));
    EXPECT_EQ(promptSourceFromRaw(QStringLiteral("voice")), E::PromptSource::voice);
    EXPECT_EQ(deploySessionOutcomeFromRaw(QStringLiteral("stuck")), E::DeploySessionOutcome::stuck);
    EXPECT_EQ(repairSessionOutcomeFromRaw(QStringLiteral("fixed")), E::RepairSessionOutcome::fixed);
    EXPECT_EQ(fileEventKindFromRaw(QStringLiteral("deleted")), E::FileEventKind::deleted);
    EXPECT_EQ(ContextEntry::kindString(E::DeployEnded{}), QStringLiteral("deployEnded"));
}
