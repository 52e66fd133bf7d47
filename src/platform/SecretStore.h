#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

namespace nerim::platform {

// A store of small secrets, each found by a service and an account name (the
// system keyring on Linux). The statuses tell apart what callers act on: an
// item that does not exist, an item that already exists, and every other
// failure, including a keyring that cannot be reached at all.
//
// Every operation returns within a bounded time and may be called from any
// thread. Secrets never appear in a status detail.
class SecretStore {
public:
    enum class Status {
        success,
        itemNotFound,
        duplicateItem,
        serviceUnavailable, // no Secret Service reachable (no session bus, no keyring, timed out)
        failure,            // the keyring answered with an error
    };

    struct Outcome {
        Status status = Status::success;
        QString detail; // the keyring's reason for a failure; empty on success
    };

    struct ReadOutcome {
        Status status = Status::success;
        QString detail;
        QByteArray secret; // set when status is success
    };

    virtual ~SecretStore() = default;

    // The item's secret, or itemNotFound.
    virtual ReadOutcome read(const QString &service, const QString &account) = 0;
    // Creates the item; duplicateItem when one exists already (left unchanged).
    virtual Outcome add(const QString &service, const QString &account, const QByteArray &secret,
                        const QString &label) = 0;
    // Replaces the secret of an existing item; itemNotFound when there is none.
    virtual Outcome update(const QString &service, const QString &account, const QByteArray &secret) = 0;
    // Deletes the item; itemNotFound when there is none.
    virtual Outcome remove(const QString &service, const QString &account) = 0;

    static QString statusName(Status status);

    // The system keyring through the Secret Service API (libsecret).
    static std::shared_ptr<SecretStore> system();
};

} // namespace nerim::platform
