#pragma once

#include <QString>
#include <QCoro/QCoroTask>

namespace nerim {

// Checks a managed-keys session token against the proxy's usage endpoint and
// reads the remaining credit. Every outcome is either a balance or one
// sentence that can be shown to the user as it is. Reads and writes no
// keyring; checks whatever token it is given. Never throws.
class ManagedKeysProbe {
public:
    class Outcome {
    public:
        static Outcome success(qint64 balance) { return Outcome(true, balance, QString()); }
        static Outcome failure(QString message) { return Outcome(false, 0, std::move(message)); }

        bool isSuccess() const { return m_success; }
        qint64 balance() const { return m_balance; }
        const QString &message() const { return m_message; }

        friend bool operator==(const Outcome &, const Outcome &) = default;

    private:
        Outcome(bool success, qint64 balance, QString message)
            : m_success(success)
            , m_balance(balance)
            , m_message(std::move(message))
        {
        }

        bool m_success;
        qint64 m_balance;
        QString m_message;
    };

    // GET <proxy base>/usage/current with "Authorization: Bearer <token>"
    // and a 10 s idle timeout.
    static QCoro::Task<Outcome> probe(QString token);

    static constexpr double timeoutSeconds = 10.0;

    // "Session token was rejected. Ask Kest for a fresh token." (also for a
    // token that is not printable ASCII, which is never sent).
    static QString rejectedMessage();
};

} // namespace nerim
