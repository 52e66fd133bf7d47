// What a pane shows while its agent prints is saved a moment later, not only
// when the run ends: a canvas killed with SIGKILL in the middle of a long run
// opens again with the lines printed before the last save.
#include "TestEnvironment.h"
#include "NumberedLines.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "panes-store/PanesLoadResult.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

namespace {

qint64 savedLines(const std::optional<PanesSnapshot> &snapshot)
{
    if (!snapshot || snapshot->panes.isEmpty())
        return 0;
    return numberedLines(snapshot->panes.last());
}

} // namespace

TEST(CanvasKill, LinesPrintedBeforeTheLastSaveSurviveASigkillMidRun)
{
    const QString project = makeTempDir(QStringLiteral("project"));
    const QString panesPath = project + QStringLiteral("/.nerim/panes.json");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        QProcess helper;
        helper.setProgram(QStringLiteral(NERIM_CANVAS_STREAMING_HELPER));
        helper.setArguments({project, QStringLiteral("300")});
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        helper.start();
        ASSERT_TRUE(helper.waitForStarted(30000));

        // The helper has printed a good many lines...
        qint64 printed = 0;
        QByteArray output;
        while (printed < 3000) {
            ASSERT_TRUE(helper.waitForReadyRead(60000)) << "the helper stopped printing";
            output += helper.readAll();
            const qsizetype end = output.lastIndexOf("\n");
            const qsizetype start = output.lastIndexOf("streamed ", end);
            if (start >= 0)
                printed = output.mid(start + 9, end - start - 9).toLongLong();
        }
        // ...and its files hold them, while it goes on printing: no run ends
        // here, so only saves made during the run can have put them there.
        // (Read only: the files are not touched by this.)
        qint64 onDisk = 0;
        QElapsedTimer waited;
        waited.start();
        while ((onDisk = savedLines(readPanesFile(panesPath).snapshot)) < printed) {
            ASSERT_GE(onDisk, 0) << "the saved lines are not in order";
            ASSERT_LT(waited.elapsed(), 120000) << "no save came while the agent printed";
            QThread::msleep(50);
            helper.readAll();
        }
        ASSERT_EQ(helper.state(), QProcess::Running);
        helper.kill(); // SIGKILL: no code of the helper's own runs
        ASSERT_TRUE(helper.waitForFinished(30000));

        // Opened again as a canvas opens it: every line saved, in order.
        PanesSnapshotStore store(panesPath);
        const std::optional<PanesSnapshot> loaded = store.load();
        ASSERT_TRUE(loaded);
        const qint64 kept = savedLines(loaded);
        EXPECT_GE(kept, onDisk);
        EXPECT_GE(kept, printed);
        const QList<OutputLine> lines = loaded->panes.last().outputLines.toList();
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const OutputLine &line) {
            return line.kind == OutputLine::Kind::userPrompt && line.text == QStringLiteral("print without end");
        }));
        // The next round opens the project and streams into a new pane.
        QDir(project + QStringLiteral("/.nerim")).removeRecursively();
    }
}
