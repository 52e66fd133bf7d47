#pragma once

#include "platform/SecretStore.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>
#include <optional>

namespace nerim::test {

// An in-memory keyring with the statuses of the real one. Individual
// operations can be made to fail, and a failed write or removal can be made to
// take effect all the same (a call abandoned at its time limit that the
// keyring still carried out).
class FakeSecretStore final : public platform::SecretStore {
public:
    ReadOutcome read(const QString &service, const QString &account) override
    {
        {
            QMutexLocker gate(&gateMutex);
            while (readsHeld)
                gateOpened.wait(&gateMutex);
        }
        QMutexLocker lock(&mutex);
        ++reads;
        readThreads.append(QThread::currentThread());
        if (failRead || (failReadsAfter && reads > *failReadsAfter))
            return ReadOutcome{failRead.value_or(Status::failure), QStringLiteral("scripted failure"), {}};
        auto it = items.find(key(service, account));
        if (it == items.end())
            return ReadOutcome{Status::itemNotFound, {}, {}};
        return ReadOutcome{Status::success, {}, *it};
    }

    Outcome add(const QString &service, const QString &account, const QByteArray &secret, const QString &) override
    {
        QMutexLocker lock(&mutex);
        ++adds;
        if (failWrite && !failedWritesLand)
            return Outcome{*failWrite, QStringLiteral("scripted failure")};
        if (items.contains(key(service, account)))
            return Outcome{Status::duplicateItem, {}};
        items.insert(key(service, account), secret);
        if (failWrite)
            return Outcome{*failWrite, QStringLiteral("scripted failure")};
        return Outcome{};
    }

    Outcome update(const QString &service, const QString &account, const QByteArray &secret) override
    {
        QMutexLocker lock(&mutex);
        ++updates;
        if (failWrite && !failedWritesLand)
            return Outcome{*failWrite, QStringLiteral("scripted failure")};
        if (!items.contains(key(service, account)))
            return Outcome{Status::itemNotFound, {}};
        items.insert(key(service, account), secret);
        if (failWrite)
            return Outcome{*failWrite, QStringLiteral("scripted failure")};
        return Outcome{};
    }

    Outcome remove(const QString &service, const QString &account) override
    {
        QMutexLocker lock(&mutex);
        ++removes;
        if (failRemove && !failedRemovesLand)
            return Outcome{*failRemove, QStringLiteral("scripted failure")};
        const bool removed = items.remove(key(service, account));
        if (failRemove)
            return Outcome{*failRemove, QStringLiteral("scripted failure")};
        return removed ? Outcome{} : Outcome{Status::itemNotFound, {}};
    }

    // Reads wait (on the keyring's thread) until released, like a keyring
    // that has not answered yet.
    void holdReads()
    {
        QMutexLocker gate(&gateMutex);
        readsHeld = true;
    }
    void releaseReads()
    {
        QMutexLocker gate(&gateMutex);
        readsHeld = false;
        gateOpened.wakeAll();
    }

    // The session-token item, raw.
    std::optional<QByteArray> token() const
    {
        QMutexLocker lock(&mutex);
        auto it = items.find(key(QStringLiteral("app.nerim.managed-keys"), QStringLiteral("session-token")));
        if (it == items.end())
            return std::nullopt;
        return *it;
    }
    void setToken(const QByteArray &value)
    {
        QMutexLocker lock(&mutex);
        items.insert(key(QStringLiteral("app.nerim.managed-keys"), QStringLiteral("session-token")), value);
    }

    mutable QMutex mutex;
    QHash<QString, QByteArray> items;
    std::optional<Status> failRead;
    std::optional<int> failReadsAfter; // reads after this many fail
    std::optional<Status> failWrite;
    std::optional<Status> failRemove;
    bool failedWritesLand = false;  // a failing add or update stores the secret all the same
    bool failedRemovesLand = false; // a failing removal deletes the item all the same
    int reads = 0, adds = 0, updates = 0, removes = 0;
    QList<QThread *> readThreads; // the thread of every read, in order

private:
    QMutex gateMutex;
    QWaitCondition gateOpened;
    bool readsHeld = false;

    static QString key(const QString &service, const QString &account) { return service + QChar(0) + account; }
};

} // namespace nerim::test
