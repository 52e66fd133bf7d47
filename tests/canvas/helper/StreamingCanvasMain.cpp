// A program that plays Nerim while an agent prints without end: it opens a
// canvas on the project given, sends a prompt to a new pane and feeds the
// pane's run a numbered line ("line <n>") at a steady pace, printing
// "streamed <n>" on standard output after each batch. It never ends on its
// own: the test kills it.
// Usage: canvas_streaming_helper PROJECT [SAVE-DELAY-MS]
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
    auto provider = std::make_shared<test::FakeAgentProvider>();
    CanvasServices services;
    services.panesOutputSaveDelay = std::chrono::milliseconds(saveDelay);
    ProjectCanvasViewModel canvas(QStringLiteral("project-id"), project, QStringLiteral("Project"), provider, nullptr,
                                  services);
    QTimer feed;
    qint64 streamed = 0;
    auto start = [&]() -> QCoro::Task<> {
        co_await canvas.bootstrap();
        canvas.setInputPrompt(QStringLiteral("print without end"));
        co_await canvas.submitPrompt(ContextEntry::PromptSource::text);
        if (provider->sessionIds().isEmpty())
            ::_exit(3);
        const QUuid session = provider->sessionIds().last();
        QObject::connect(&feed, &QTimer::timeout, [&, session] {
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
