#include "ui/panes/DetachedTask.h"

#include "foundation/Log.h"

#include <QPointer>
#include <exception>

namespace nerim {

namespace {

QCoro::Task<> runDetached(QPointer<QObject> context, QCoro::Task<> operation, std::function<void()> then)
{
    try {
        co_await std::move(operation);
    } catch (const std::exception &e) {
        logLine(QStringLiteral("[Nerim] A view's operation failed: %1").arg(QString::fromUtf8(e.what())));
    } catch (...) {
        logLine(QStringLiteral("[Nerim] A view's operation failed"));
    }
    if (context && then)
        then();
}

} // namespace

void startDetached(QObject *context, QCoro::Task<> operation, std::function<void()> then)
{
    // The coroutine frame owns itself once started; dropping its handle here
    // lets it run to the end.
    runDetached(QPointer<QObject>(context), std::move(operation), std::move(then));
}

} // namespace nerim
