#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <functional>

namespace nerim {

// Starts an asynchronous controller operation from a click or a key press
// without waiting for it: it runs on the GUI thread and shows its effect
// through the observed state it changes, so the view keeps nothing. `then`,
// when given, runs after the operation only while `context` still exists; a
// failure that escapes the operation is logged, never thrown.
void startDetached(QObject *context, QCoro::Task<> operation, std::function<void()> then = {});

} // namespace nerim
