#pragma once

#include <QObject>
#include <QString>
#include <QCoro/QCoroTask>

namespace nerim {

// Tries a pasted Anthropic key with a minimal Messages call (one output token,
// the prompt "hi") straight to the public endpoint, ignoring any managed-keys
// session token, and tells apart a working key, a rejected key, a key on an
// account without credit, a network problem and anything else. Never throws.
class KeyValidationService {
public:
    class Outcome {
    public:
        enum class Kind { valid, rejected, noCredit, unreachable, failed };

        static Outcome valid() { return Outcome(Kind::valid); }
        static Outcome rejected() { return Outcome(Kind::rejected); }
        static Outcome noCredit() { return Outcome(Kind::noCredit); }
        static Outcome unreachable() { return Outcome(Kind::unreachable); }
        static Outcome failed(QString message) { return Outcome(Kind::failed, std::move(message)); }

        Kind kind() const { return m_kind; }
        const QString &message() const { return m_message; } // for failed

        friend bool operator==(const Outcome &, const Outcome &) = default;

    private:
        explicit Outcome(Kind kind, QString message = QString())
            : m_kind(kind)
            , m_message(std::move(message))
        {
        }

        Kind m_kind;
        QString m_message;
    };

    static constexpr double timeoutSeconds = 10.0;
    static constexpr const char *probeModel = "claude-haiku-4-5-20251001";

    QCoro::Task<Outcome> validate(QString key);

    // The request body: {"model": ..., "max_tokens": 1, "messages": [{"role": "user", "content": "hi"}]}.
    static QByteArray probeRequestBody();
    // True when the body speaks of the credit balance ("credit balance",
    // "credit_balance" or "insufficient credit", any letter case).
    static bool mentionsCredit(const QByteArray &body);
    // The first 200 characters of the body, or "<empty response>" when it is not UTF-8.
    static QString bodyExcerpt(const QByteArray &body);
};

} // namespace nerim
