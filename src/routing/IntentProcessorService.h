#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QCoro/QCoroTask>

namespace nerim {

// Decides whether a prompt typed while two or more panes are open is meant for
// one pane or is to be split into tasks for several ("claude 1 fix the header
// and claude 2 write the tests"). A cheap local test comes first; only a
// prompt that passes it is sent to a small, fast model with a 3 s idle
// timeout. Never throws: every failure is a result, and the canvas then sends
// the whole prompt to the focused pane.
//
// Holds no state; `route` runs on the calling (GUI) thread and suspends only
// for the model call, so several routes may be in flight at once.
class IntentProcessorService {
public:
    struct PaneDescriptor {
        int number = 0;
        QString agentName;
    };

    struct RoutedTask {
        int paneNumber = 0;
        QString task;
        friend bool operator==(const RoutedTask &, const RoutedTask &) = default;
    };

    class RouteResult {
    public:
        enum class Kind { multi, failed, noCredentials, single };

        static RouteResult multi(QList<RoutedTask> tasks) { return RouteResult(Kind::multi, std::move(tasks), {}); }
        static RouteResult failed(QString message) { return RouteResult(Kind::failed, {}, std::move(message)); }
        static RouteResult noCredentials() { return RouteResult(Kind::noCredentials, {}, {}); }
        static RouteResult single() { return RouteResult(Kind::single, {}, {}); }

        Kind kind() const { return m_kind; }
        const QList<RoutedTask> &tasks() const { return m_tasks; } // multi: two or more
        const QString &message() const { return m_message; }        // failed (not shown to the user)

        friend bool operator==(const RouteResult &, const RouteResult &) = default;

    private:
        RouteResult(Kind kind, QList<RoutedTask> tasks, QString message)
            : m_kind(kind)
            , m_tasks(std::move(tasks))
            , m_message(std::move(message))
        {
        }

        Kind m_kind;
        QList<RoutedTask> m_tasks;
        QString m_message;
    };

    static constexpr double timeoutSeconds = 3.0;
    static constexpr const char *routerModel = "claude-haiku-4-5-20251001";
    static constexpr int maxTokens = 400;

    QCoro::Task<RouteResult> route(QString utterance, QList<PaneDescriptor> panes);

    // The steps of `route`, exposed for tests.
    static bool looksMultiTarget(const QString &utterance);
    static const QString &systemPrompt();
    static QString userText(const QString &utterance, const QList<PaneDescriptor> &panes);
    static QByteArray makeRequestBody(const QString &utterance, const QList<PaneDescriptor> &panes);
    static QString stripCodeFences(const QString &reply);
    static RouteResult parseRouterOutput(const QString &reply, const QList<PaneDescriptor> &panes);
};

} // namespace nerim
