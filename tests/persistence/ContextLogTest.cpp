#include "persistence/ContextLog.h"
#include "persistence/MemoryError.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

Timestamp at(const char *iso) { return *Timestamp::fromIso8601(QString::fromLatin1(iso)); }

ContextEntry entry(ContextEntry::Payload payload, Timestamp t = at("2026-03-14T09:26:53Z"))
{
    return ContextEntry(QStringLiteral("00000000-0000-0000-0000-000000000001"), t, std::move(payload));
}

QString repeated(const QString &piece, int n)
{
    QString s;
    for (int i = 0; i < n; ++i)
        s += piece;
    return s;
}

} // namespace

TEST(ContextLog, ActivityLinesOfEveryKind)
{
    using E = ContextEntry;
    struct Case {
        E::Payload payload;
        QString line;
    };
    const QList<Case> cases{
        {E::ProjectOpened{QStringLiteral("1.4 (212)")}, QStringLiteral("[session] Project opened (Nerim 1.4 (212))")},
        {E::AgentSpawned{QStringLiteral("a1"), QStringLiteral("Claude 1"), QStringLiteral("designer"),
                         QStringLiteral("claudeCode"), 4242, QStringLiteral("sha256:ab")},
         QStringLiteral("[spawn] Claude 1 (designer, claudeCode) started")},
        {E::AgentPromptReceived{QStringLiteral("a1"), QStringLiteral("Claude 1"), QStringLiteral("Add a\nlogin page"),
                                E::PromptSource::voice},
         QStringLiteral("[prompt to Claude 1, via voice] Add a\nlogin page")},
        {E::AgentTaskComplete{QStringLiteral("a1"), QStringLiteral("Claude 1"), QStringLiteral("Done."), {}, 0},
         QStringLiteral("[Claude 1 complete, exit=0] Done.")},
        {E::AgentTaskComplete{QStringLiteral("a1"), QStringLiteral("Claude 1"), QStringLiteral("Done."),
                              {QStringLiteral("a.ts"), QStringLiteral("b.ts")}, 0},
         QStringLiteral("[Claude 1 complete, exit=0] Done. [files: a.ts, b.ts]")},
        {E::AgentExit{QStringLiteral("a1"), QStringLiteral("Claude 1"), E::ExitReason::hangDetected, -9},
         QStringLiteral("[Claude 1 exited] reason=hangDetected, code=-9")},
        {E::FileChanged{QStringLiteral("src/a.ts"), E::FileEventKind::created, QStringLiteral("a1"),
                        QStringLiteral("Claude 1"), true},
         QStringLiteral("[file created] src/a.ts (attribution ambiguous)")},
        {E::FileChanged{QStringLiteral("src/a.ts"), E::FileEventKind::modified, std::nullopt, QStringLiteral("Claude 1"),
                        false},
         QStringLiteral("[file modified] src/a.ts by Claude 1")},
        {E::FileChanged{QStringLiteral("x"), E::FileEventKind::deleted, std::nullopt, std::nullopt, false},
         QStringLiteral("[file deleted] x (no attribution)")},
        {E::RepairSessionStarted{QStringLiteral("r"), QStringLiteral("Repair"), QStringLiteral("portInUse"),
                                 QStringLiteral("Port 3000 busy"), 2},
         QStringLiteral("[repair started] Repair attempt 2 \u00B7 portInUse: Port 3000 busy")},
        {E::RepairSessionEnded{QStringLiteral("r"), QStringLiteral("Repair"), E::RepairSessionOutcome::stuck, 3,
                               QStringLiteral("missingEnvVar"), std::nullopt},
         QStringLiteral("[repair stuck] Repair after 3 attempt(s) on missingEnvVar")},
        {E::RepairSessionEnded{QStringLiteral("r"), QStringLiteral("Repair"), E::RepairSessionOutcome::fixed, 1,
                               QStringLiteral("portInUse"), QStringLiteral("freed it")},
         QStringLiteral("[repair fixed] Repair after 1 attempt(s) on portInUse \u2014 freed it")},
        {E::DeployStarted{QStringLiteral("d"), QStringLiteral("Deploy"), {QStringLiteral("vercel"), QStringLiteral("supabase")},
                          QStringLiteral("fullStack"), QStringLiteral("first")},
         QStringLiteral("[deploy started] Deploy on vercel+supabase (fullStack, first)")},
        {E::DeployEnded{QStringLiteral("d"), QStringLiteral("Deploy"), {}, E::DeploySessionOutcome::live, std::nullopt,
                        QStringLiteral("https://api.example.test"), 2, QStringLiteral("ignored when live")},
         QStringLiteral("[deploy live] Deploy on none \u00B7 backend: https://api.example.test \u00B7 2 attempt(s)")},
        {E::DeployEnded{QStringLiteral("d"), QStringLiteral("Deploy"), {QStringLiteral("vercel")},
                        E::DeploySessionOutcome::live, QStringLiteral("https://x.test"), std::nullopt, 1, std::nullopt},
         QStringLiteral("[deploy live] Deploy on vercel \u00B7 https://x.test \u00B7 1 attempt(s)")},
        {E::DeployEnded{QStringLiteral("d"), QStringLiteral("Deploy"), {QStringLiteral("railway")},
                        E::DeploySessionOutcome::stuck, std::nullopt, std::nullopt, 4, QStringLiteral("no token")},
         QStringLiteral("[deploy stuck] Deploy on railway after 4 attempt(s) \u2014 no token")},
        {E::DeployEnded{QStringLiteral("d"), QStringLiteral("Deploy"), {QStringLiteral("railway")},
                        E::DeploySessionOutcome::cancelled, std::nullopt, std::nullopt, 0, std::nullopt},
         QStringLiteral("[deploy cancelled] Deploy on railway")},
    };
    for (const auto &c : cases)
        EXPECT_EQ(activityLine(c.payload), c.line) << ContextEntry::kindString(c.payload).toStdString();
}

TEST(ContextLog, LongTextsAreShortenedByUserPerceivedCharacters)
{
    const auto promptLine = [](const QString &prompt) {
        return activityLine(ContextEntry::AgentPromptReceived{QStringLiteral("a"), QStringLiteral("A"), prompt,
                                                              ContextEntry::PromptSource::text});
    };
    const QString prefix = QStringLiteral("[prompt to A, via text] ");
    EXPECT_EQ(promptLine(repeated(QStringLiteral("x"), 200)), prefix + repeated(QStringLiteral("x"), 200));
    EXPECT_EQ(promptLine(repeated(QStringLiteral("x"), 201)),
              prefix + repeated(QStringLiteral("x"), 200) + QStringLiteral("\u2026"));
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467"); // one character
    EXPECT_EQ(promptLine(repeated(family, 150)), prefix + repeated(family, 150));
    EXPECT_EQ(promptLine(repeated(family, 201)), prefix + repeated(family, 200) + QStringLiteral("\u2026"));

    const QString summary = activityLine(ContextEntry::AgentTaskComplete{
        QStringLiteral("a"), QStringLiteral("A"), repeated(QStringLiteral("y"), 301), {QStringLiteral("f")}, 1});
    EXPECT_EQ(summary, QStringLiteral("[A complete, exit=1] ") + repeated(QStringLiteral("y"), 300) +
                           QStringLiteral("\u2026 [files: f]"));
}

TEST(ContextLog, SummaryTakesTheNewestEntriesOldestFirst)
{
    EXPECT_EQ(recentActivitySummary({}, 10), QStringLiteral("(No prior activity in this project yet.)"));
    QList<ContextEntry> entries;
    for (int i = 1; i <= 15; ++i)
        entries.append(entry(ContextEntry::ProjectOpened{QString::number(i)}, Timestamp(800000000.0 + i + 0.9)));
    EXPECT_EQ(recentActivitySummary(entries, 0), QStringLiteral("(No prior activity in this project yet.)"));

    const QStringList lines = recentActivitySummary(entries, 10).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 10);
    EXPECT_EQ(lines.first(), QStringLiteral("- ") + Timestamp(800000006.0).toIso8601() +
                                 QStringLiteral(" [session] Project opened (Nerim 6)"));
    EXPECT_TRUE(lines.last().endsWith(QStringLiteral("(Nerim 15)")));
    EXPECT_EQ(recentActivitySummary(entries.mid(0, 2), 10).count(QLatin1Char('\n')), 1);

    // A fraction of a second is cut, never rounded.
    const auto one = entry(ContextEntry::ProjectOpened{QStringLiteral("1")}, at("2026-03-14T09:26:53.900Z"));
    EXPECT_EQ(recentActivitySummary({one}, 10),
              QStringLiteral("- 2026-03-14T09:26:53Z [session] Project opened (Nerim 1)"));
}

TEST(ContextLog, ChronologicalCheck)
{
    const auto e = [](const char *iso) { return entry(ContextEntry::ProjectOpened{}, at(iso)); };
    ContextLog log;
    EXPECT_NO_THROW(log.validateChronologicalOrder(QStringLiteral("/p/context.json")));
    log.entries = {e("2026-01-01T00:00:01Z"), e("2026-01-01T00:00:01Z"), e("2026-01-01T00:00:02Z")};
    EXPECT_NO_THROW(log.validateChronologicalOrder(QStringLiteral("/p/context.json")));
    log.entries = {e("2026-01-01T00:00:02Z"), e("2026-01-01T00:00:01Z")};
    try {
        log.validateChronologicalOrder(QStringLiteral("/p/context.json.bak"));
        FAIL();
    } catch (const MemoryError &error) {
        EXPECT_EQ(error, MemoryError::entriesNotChronological(QStringLiteral("/p/context.json.bak")));
    }
}

TEST(ContextLog, AppendNeverStampsEarlierThanTheNewestEntry)
{
    ContextLog log;
    log.append(ContextEntry::ProjectOpened{QStringLiteral("1")}, at("2026-05-01T12:00:00Z"));
    // The clock was stepped back an hour.
    const ContextEntry &second = log.append(ContextEntry::ProjectOpened{QStringLiteral("2")}, at("2026-05-01T11:00:00Z"));
    EXPECT_EQ(second.timestamp(), at("2026-05-01T12:00:00Z"));
    EXPECT_NE(second.id(), log.entries.first().id());
    EXPECT_EQ(second.id().size(), 36);
    EXPECT_EQ(second.id(), second.id().toUpper());
    EXPECT_NO_THROW(log.validateChronologicalOrder(QStringLiteral("x")));
    log.append(ContextEntry::ProjectOpened{QStringLiteral("3")}, at("2026-05-01T13:00:00Z"));
    EXPECT_EQ(log.entries.last().timestamp(), at("2026-05-01T13:00:00Z"));
    EXPECT_EQ(log.recentEntries(2).first().payload(), ContextEntry::Payload(ContextEntry::ProjectOpened{QStringLiteral("2")}));
    EXPECT_TRUE(log.recentEntries(0).isEmpty());
}
