#include "launcher/LocalURLDetection.h"

#include <QRegularExpression>
#include <array>

namespace nerim {

namespace {

const QRegularExpression &addressPattern()
{
    static const QRegularExpression pattern = [] {
        QRegularExpression re(QStringLiteral(R"(https?://[A-Za-z0-9\-._~:/?#@!$&'*+,;=%\[\]]+)"),
                              QRegularExpression::CaseInsensitiveOption);
        re.optimize();
        return re;
    }();
    return pattern;
}

const QList<QRegularExpression> &portPatterns()
{
    static const QList<QRegularExpression> patterns = [] {
        QList<QRegularExpression> list;
        for (const char *source :
             {R"((?:listening on|running at|Local:|available on|started on)\s*(?:port\s+|:\s*|http://[^:]+:)?(\d{2,5}))",
              R"(port\s+(\d{2,5}))"}) {
            QRegularExpression re(QString::fromLatin1(source), QRegularExpression::CaseInsensitiveOption);
            if (!re.isValid())
                continue;
            re.optimize();
            list.append(re);
        }
        return list;
    }();
    return patterns;
}

const QRegularExpression &privateRange172()
{
    static const QRegularExpression pattern = [] {
        QRegularExpression re(QStringLiteral(R"(^172\.(1[6-9]|2[0-9]|3[01])\.)"));
        re.optimize();
        return re;
    }();
    return pattern;
}

// Full stop, comma, semicolon, quotation mark, apostrophe and closing brackets.
bool isTrimCharacter(QChar c)
{
    static const QString trim = QStringLiteral(".,;\"')]}");
    return trim.contains(c);
}

QString trimmedAddress(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isTrimCharacter(text.at(begin)))
        ++begin;
    while (end > begin && isTrimCharacter(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

namespace localurl {

const QList<int> &knownDevelopmentPorts()
{
    static const QList<int> ports{80,   3000, 3001, 3333, 4000, 4200, 4321, 4173, 5000, 5001, 5173,
                                  5174, 5175, 6006, 7071, 8000, 8080, 8081, 8888, 9000, 9090};
    return ports;
}

bool isSkippedLine(const QString &line)
{
    static const std::array<QLatin1String, 11> phrases{
        QLatin1String("already running"), QLatin1String("already in use"),  QLatin1String("address in use"),
        QLatin1String("eaddrinuse"),      QLatin1String("port taken"),      QLatin1String("port is taken"),
        QLatin1String("port occupied"),   QLatin1String("port in use"),     QLatin1String("port unavailable"),
        QLatin1String("app crashed"),     QLatin1String("waiting for file changes")};
    const QString lower = line.toLower();
    for (const auto &phrase : phrases) {
        if (lower.contains(phrase))
            return true;
    }
    return false;
}

bool isLocalHost(const QUrl &url)
{
    // QUrl gives IPv6 hosts without their square brackets.
    const QString host = url.host().toLower();
    if (host.isEmpty())
        return false;
    if (host == QLatin1String("localhost") || host == QLatin1String("127.0.0.1") || host == QLatin1String("0.0.0.0") ||
        host == QLatin1String("::1"))
        return true;
    if (host.endsWith(QLatin1String(".local")))
        return true;
    if (host.startsWith(QLatin1String("10.")) || host.startsWith(QLatin1String("192.168.")))
        return true;
    return privateRange172().match(host).hasMatch();
}

bool isAcceptedPort(qint64 port)
{
    return knownDevelopmentPorts().contains(static_cast<int>(port)) || (port >= 3000 && port <= 65535);
}

} // namespace localurl

std::optional<QUrl> detectLocalURL(const QString &line)
{
    if (localurl::isSkippedLine(line))
        return std::nullopt;

    if (const auto match = addressPattern().match(line); match.hasMatch()) {
        const QUrl url(trimmedAddress(match.captured(0)), QUrl::StrictMode);
        if (url.isValid() && localurl::isLocalHost(url))
            return url;
    }

    for (const QRegularExpression &pattern : portPatterns()) {
        const auto match = pattern.match(line);
        if (!match.hasMatch())
            continue;
        bool ok = false;
        const qint64 port = match.captured(1).toLongLong(&ok);
        if (ok && localurl::isAcceptedPort(port))
            return QUrl(QStringLiteral("http://localhost:") + QString::number(port));
    }
    return std::nullopt;
}

} // namespace nerim
