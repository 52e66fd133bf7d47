#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace nerim {

// The state of one development-server run (DevServerRunner::Status): a case and
// its payload. Two statuses are equal when the case and every payload are equal.
class DevServerStatus {
public:
    enum class Kind { idle, starting, running, stopped, failed, crashed };

    // `idle`: nothing has been started yet.
    DevServerStatus() = default;

    static DevServerStatus idle() { return {}; }
    static DevServerStatus starting(const QString &planDescription);
    static DevServerStatus running(const std::optional<QUrl> &url);
    static DevServerStatus stopped(qint32 exitCode, bool wasClean);
    static DevServerStatus failed(const QString &reason);
    static DevServerStatus crashed(const QString &summary, const std::optional<QString> &hint);

    Kind kind() const { return m_kind; }
    bool is(Kind kind) const { return m_kind == kind; }

    // Payloads; those a case does not carry are empty (or 0 / false / none).
    const QString &planDescription() const { return m_text; } // starting
    const std::optional<QUrl> &url() const { return m_url; }   // running
    qint32 exitCode() const { return m_exitCode; }             // stopped
    bool wasClean() const { return m_wasClean; }               // stopped
    const QString &reason() const { return m_text; }           // failed
    const QString &summary() const { return m_text; }          // crashed
    const std::optional<QString> &hint() const { return m_hint; } // crashed

    // The one-line text the app-server pill shows.
    QString displayText() const;

    // The case name, for log lines.
    QString kindName() const;

    friend bool operator==(const DevServerStatus &, const DevServerStatus &) = default;

private:
    Kind m_kind = Kind::idle;
    QString m_text;
    std::optional<QUrl> m_url;
    std::optional<QString> m_hint;
    qint32 m_exitCode = 0;
    bool m_wasClean = false;
};

} // namespace nerim
