// A kill at any file-system call of a save (an append to the change log, a
// fold-back into panes.json) or of the load that follows it: the next open
// reads exactly the state last saved or the one that was being saved, never
// less, and what was read stays readable after the next saves.
#include "PanesTestSupport.h"
#include "TestEnvironment.h"
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "panes-store/PanesChangeLog.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"
#include "persistence/FileCalls.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <unistd.h>

using namespace nerim;
using namespace nerim::test;

namespace {

using Call = fileCalls::Call;

// Plays a kill just before the `at`-th call that changes the disk (counted
// from 1; 0: never): that call and every later one fail without reaching the
// disk. A write at that point puts a random part of its bytes first, as a
// write cut short by the kill does.
class Killer {
public:
    Killer(int at, unsigned seed) : m_at(at), m_random(seed)
    {
        fileCalls::detail::setHook([this](Call call, int fd, const char *data, qint64 size) {
            if (m_dead)
                return false;
            ++m_calls;
            m_seen[call]++;
            if (m_at == 0 || m_calls < m_at)
                return true;
            m_dead = true;
            if (call == Call::write && size > 1) {
                const qint64 part = qint64(m_random() % quint64(size));
                [[maybe_unused]] const ssize_t put = ::write(fd, data, size_t(part));
            }
            return false;
        });
    }
    ~Killer() { fileCalls::detail::setHook({}); }
    Killer(const Killer &) = delete;
    Killer &operator=(const Killer &) = delete;

    int calls() const { return m_calls; }
    bool dead() const { return m_dead; }
    const std::map<Call, int> &seen() const { return m_seen; }

private:
    int m_at;
    std::mt19937 m_random;
    int m_calls = 0;
    bool m_dead = false;
    std::map<Call, int> m_seen;
};

std::unique_ptr<AgentPaneState> newPane(int number)
{
    return std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()), QStringLiteral("Claude %1").arg(number),
                                            number, false, AgentRole::code, QString());
}

void flush() { SerialFileWriter::shared().flush(); }

// A pane's run: a prompt, printed lines, the closed turn.
void run(AgentPaneState &pane, int lines, std::mt19937 &random)
{
    pane.beginTurn(QStringLiteral("task %1").arg(random() % 1000));
    pane.appendLine(OutputLine::Kind::userPrompt, QStringLiteral("task"));
    for (int i = 0; i < lines; ++i) {
        const QString text = QStringLiteral("line %1 “é” %2").arg(i).arg(QString(int(random() % 60), u'x'));
        pane.appendLine(OutputLine::Kind::stdout, text);
        pane.appendStdoutToTurn(text);
    }
    pane.closeTurn(QStringLiteral("done"));
}

// The state as the next open reads it, the next agent number aside (raised
// above the panes' numbers when read).
std::optional<PanesSnapshot> reopen(const QString &path, std::optional<QString> *notice = nullptr)
{
    PanesSnapshotStore store(path);
    std::optional<PanesSnapshot> loaded = store.load();
    if (notice)
        *notice = store.loadNotice();
    return loaded;
}

enum class Step { firstAppend, append, runEnd, foldBack };

const char *nameOf(Step step)
{
    switch (step) {
    case Step::firstAppend: return "the first append";
    case Step::append: return "an append";
    case Step::runEnd: return "the append of a run's end";
    case Step::foldBack: return "a fold-back";
    }
    return "";
}

// A project whose panes.json was written whole and, but for the first
// append, whose change log holds a few records; the step's save is then made
// with a kill at call `killAt` of it. Returns the states before and during
// the step, and how many calls the step made.
struct Outcome {
    PanesSnapshot saved;
    PanesSnapshot inFlight;
    int calls = 0;
    std::map<Call, int> seen;
};

Outcome play(const QString &path, Step step, int killAt, unsigned seed)
{
    std::mt19937 random(seed);
    Panes panes;
    for (int p = 1; p <= 3; ++p) {
        panes.push_back(newPane(p));
        run(*panes.back(), 5 + int(random() % 20), random);
    }
    Outcome outcome;
    {
        PanesSnapshotStore store(path);
        {
            const panesChangeLog::detail::ScopedWholeWrites whole;
            store.save(snapshotOf(panes, panes[0]->id(), std::nullopt));
            flush();
        }
        if (step != Step::firstAppend) {
            for (int r = 0; r < 3; ++r) {
                panes[size_t(random() % 3)]->appendLine(OutputLine::Kind::stderr, QStringLiteral("note %1").arg(r));
                store.save(snapshotOf(panes, panes[r % 3]->id(), std::nullopt));
                flush();
            }
        }
        outcome.saved = snapshotOf(panes, panes[0]->id(), std::nullopt);
        store.save(outcome.saved); // nothing new: not written
        flush();

        switch (step) {
        case Step::firstAppend:
        case Step::append:
            for (int i = 0; i < 30; ++i)
                panes[1]->appendLine(OutputLine::Kind::stdout, QStringLiteral("streamed %1").arg(i));
            break;
        case Step::runEnd: run(*panes[2], 200, random); break;
        case Step::foldBack: panes[0]->setAgentName(QStringLiteral("Atlas")); break;
        }
        outcome.inFlight = snapshotOf(panes, panes[1]->id(), panes[1]->id());
        std::optional<panesChangeLog::detail::ScopedWholeWrites> whole;
        if (step == Step::foldBack)
            whole.emplace();
        const Killer killer(killAt, seed);
        store.save(outcome.inFlight);
        flush();
        outcome.calls = killer.calls();
        outcome.seen = killer.seen();
    }
    return outcome;
}

} // namespace

// Every call of each kind of save, for several projects: killed there, the
// project opens with the last saved state or the one in flight; a load killed
// in its turn (while it keeps a torn record aside and cuts the log back)
// changes nothing of that; and saves after it read back whole.
TEST(PanesKill, AKillAtAnyCallOfASaveOrOfTheLoadAfterItLosesNothingSaved)
{
    std::map<Step, std::pair<int, int>> outcomes; // step: (old state, new state)
    int runs = 0;
    for (const Step step : {Step::firstAppend, Step::append, Step::runEnd, Step::foldBack}) {
        // How many calls the step makes, unkilled (and that it makes the calls meant).
        const QString probe = makeTempDir() + QStringLiteral("/panes.json");
        const Outcome whole = play(probe, step, 0, 1);
        ASSERT_TRUE(readsAs(reopen(probe), whole.inFlight)) << nameOf(step);
        ASSERT_GT(whole.calls, 0);
        if (step == Step::foldBack) {
            for (const Call call : {Call::link, Call::rename, Call::unlink, Call::sync})
                EXPECT_GT(whole.seen.count(call), 0U) << int(call);
        }

        for (unsigned seed = 1; seed <= 6; ++seed) {
            for (int killAt = 1; killAt <= whole.calls; ++killAt) {
                SCOPED_TRACE(testing::Message() << nameOf(step) << ", seed " << seed << ", killed at call " << killAt);
                ++runs;
                const QString folder = makeTempDir();
                const QString path = folder + QStringLiteral("/panes.json");
                const Outcome outcome = play(path, step, killAt, seed);

                // A load killed at some call of its own first (it may cut
                // the log back and set a torn record aside).
                if (seed % 2 == 0) {
                    const Killer loadKiller(1 + int(seed % 3), seed);
                    (void)reopen(path);
                }
                std::optional<QString> notice;
                const std::optional<PanesSnapshot> loaded = reopen(path, &notice);
                const bool old = readsAs(loaded, outcome.saved);
                const bool now = readsAs(loaded, outcome.inFlight);
                ASSERT_TRUE(old || now) << (notice ? notice->toStdString() : std::string("no notice"));
                // Every log here belongs to the file beside it.
                if (notice) {
                    EXPECT_FALSE(notice->contains(QStringLiteral("another version"))) << notice->toStdString();
                }
                (now ? outcomes[step].second : outcomes[step].first)++;

                // Opened again and saved on: the changes read back whole.
                Panes panes;
                PanesSnapshotStore store(path);
                const std::optional<PanesSnapshot> again = store.load();
                ASSERT_TRUE(readsAs(again, now ? outcome.inFlight : outcome.saved));
                for (const PaneDiskSnapshot &pane : again->panes)
                    panes.emplace_back(restorePane(pane));
                panes[0]->appendLine(OutputLine::Kind::system, QStringLiteral("after the kill"));
                const PanesSnapshot next = snapshotOf(panes, panes[0]->id(), std::nullopt);
                store.save(next);
                flush();
                ASSERT_TRUE(readsAs(reopen(path), next));
            }
        }
    }
    // Both outcomes happen for every kind of save: the kills came before and
    // after the point where the new state is on disk.
    for (const auto &[step, counts] : outcomes) {
        EXPECT_GT(counts.first, 0) << nameOf(step);
        EXPECT_GT(counts.second, 0) << nameOf(step);
    }
    EXPECT_GT(runs, 100);
}
