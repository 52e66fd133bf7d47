// A program that plays Nerim while an agent prints without end: it opens a
// canvas on the project given, sends a prompt to a new pane and feeds the
// pane's run a numbered line ("line <n>") at a steady pace, printing
// "streamed <n>" on standard output after each batch, and each system line a
// pane shows as "system <text>" (and, first, "restored <name>: <n> lines" for each pane it restored). It never ends on its own: the test kills it;
// given a number of lines, it stops printing (not running) after that many.
// Usage: canvas_streaming_helper PROJECT [SAVE-DELAY-MS [LINES]]
#include "canvas/ProjectCanvasViewModel.h"
#include "support/fake-agent-provider/FakeAgentProvider.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QTimer>
#include <cstdio>

using namespace nerim;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString project = QString::fromLocal8Bit(argv[1]);
    const int saveDelay = argc > 2 ? QByteArray(argv[2]).toInt() : 2000;
    const qint64 limit = argc > 3 ? QByteArray(argv[3]).toLongLong() : -1;
    auto provider = std::make_shared<test::FakeAgentProvider>();
    CanvasServices services;
    services.panesOutputSaveDelay = std::chrono::milliseconds(saveDelay);
    ProjectCanvasViewModel canvas(QStringLiteral("project-id"), project, QStringLiteral("Project"), provider, nullptr,
                                  services);
    QTimer feed;
    qint64 streamed = 0;
    auto start = [&]() -> QCoro::Task<> {
        co_await canvas.bootstrap();
        for (const AgentPaneState *pane : canvas.panes())
            std::printf("restored %s: %lld lines\n", pane->agentName().toUtf8().constData(),
                        static_cast<long long>(pane->outputLines().size()));
        std::fflush(stdout);
        canvas.setInputPrompt(QStringLiteral("print without end"));
        co_await canvas.submitPrompt(ContextEntry::PromptSource::text);
        if (provider->sessionIds().isEmpty())
            ::_exit(3);
        const QUuid session = provider->sessionIds().last();
        for (AgentPaneState *pane : canvas.panes()) {
            QObject::connect(pane, &AgentPaneState::outputLinesChanged, pane, [pane, shown = qsizetype(0)]() mutable {
                const OutputLines &lines = pane->outputLines();
                for (; shown < lines.size(); ++shown)
                    if (lines.at(shown).kind == OutputLine::Kind::system)
                        std::printf("system %s\n", lines.at(shown).text.toUtf8().constData());
                std::fflush(stdout);
            });
        }
        QObject::connect(&feed, &QTimer::timeout, [&, session] {
            if (limit >= 0 && streamed >= limit) {
                feed.stop();
                return;
            }
            for (int i = 0; i < 50; ++i)
                provider->yieldEvent(session, AgentOutput::stdoutLine(QStringLiteral("line %1").arg(streamed++)));
            std::printf("streamed %lld\n", static_cast<long long>(streamed));
            std::fflush(stdout);
        });
        feed.start(5);
    };
    auto task = start();
    return app.exec();
}
