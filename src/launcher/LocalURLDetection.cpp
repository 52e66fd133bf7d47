#include "launcher/LocalURLDetection.h"

#include <QRegularExpression>
#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cstring>
#include <utility>

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
    // "is in use" covers servers that move on to another port by themselves
    // ("Port 5173 is in use, trying another one..."): the port such a line
    // names belongs to some other program, and the real address follows later.
    static const std::array<QLatin1String, 12> phrases{
        QLatin1String("already running"), QLatin1String("already in use"),  QLatin1String("address in use"),
        QLatin1String("eaddrinuse"),      QLatin1String("port taken"),      QLatin1String("port is taken"),
        QLatin1String("port occupied"),   QLatin1String("port in use"),     QLatin1String("port unavailable"),
        QLatin1String("app crashed"),     QLatin1String("waiting for file changes"), QLatin1String("is in use")};
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
    if (host == QLatin1String("localhost") || host.endsWith(QLatin1String(".local")))
        return true;
    // Anything else must be an IP address: a name such as "10.example.com" is
    // resolved by public DNS and may point anywhere.
    const QByteArray text = host.toLatin1();
    quint32 ipv4 = 0;
    in_addr v4 {};
    in6_addr v6 {};
    if (::inet_pton(AF_INET, text.constData(), &v4) == 1) {
        ipv4 = ntohl(v4.s_addr);
    } else if (::inet_pton(AF_INET6, text.constData(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6))
            return true;
        // ::ffff:a.b.c.d (mapped) and ::a.b.c.d (compatible, "::" among
        // them) are IPv4 addresses written as IPv6.
        static constexpr unsigned char zeros[10] = {};
        const unsigned char *bytes = v6.s6_addr;
        const bool embedsIPv4 = std::memcmp(bytes, zeros, sizeof zeros) == 0 &&
                                ((bytes[10] == 0xff && bytes[11] == 0xff) || (bytes[10] == 0 && bytes[11] == 0));
        if (!embedsIPv4)
            return false;
        ipv4 = quint32(bytes[12]) << 24 | quint32(bytes[13]) << 16 | quint32(bytes[14]) << 8 | quint32(bytes[15]);
    } else {
        return false;
    }
    // 0.0.0.0, loopback and the private ranges.
    static constexpr std::array<std::pair<quint32, int>, 4> localRanges{
        std::pair{0x7F000000u, 8}, std::pair{0x0A000000u, 8}, std::pair{0xAC100000u, 12}, std::pair{0xC0A80000u, 16}};
    if (ipv4 == 0)
        return true;
    for (const auto &[network, prefix] : localRanges) {
        if ((ipv4 >> (32 - prefix)) == (network >> (32 - prefix)))
            return true;
    }
    return false;
}

bool isAcceptedPort(qint64 port)
{
    return knownDevelopmentPorts().contains(static_cast<int>(port)) || (port >= 3000 && port <= 65535);
}

QString addressForLog(const QUrl &url)
{
    return url.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment).toString(QUrl::FullyEncoded);
}

} // namespace localurl

namespace {

// What one pass over a line tells about it: whether it holds a colon (every
// written address has "://", and "Local:" one) and two ASCII digits in a row
// (every announced port has them).
struct LineScreen {
    bool colon = false;
    bool digitPair = false;
};

LineScreen screen(QStringView line)
{
    LineScreen result;
    bool previousDigit = false;
    for (const QChar c : line) {
        const char16_t u = c.unicode();
        const bool digit = u >= u'0' && u <= u'9';
        result.digitPair |= digit && previousDigit;
        result.colon |= u == u':';
        previousDigit = digit;
    }
    return result;
}

// Whether the line holds, in any letter case, a word that one of the port
// patterns needs: "port", " on" ("listening on", "available on", "started
// on"), " at" ("running at") or "cal:" ("Local:").
bool mentionsPortWord(QStringView line)
{
    constexpr auto pack = [](char a, char b, char c, char d) {
        return (quint64(quint8(a)) << 48) | (quint64(quint8(b)) << 32) | (quint64(quint8(c)) << 16) | quint64(quint8(d));
    };
    constexpr quint64 three = 0xFFFF'FFFF'FFFFULL;
    quint64 last = 0; // the last four characters, ASCII letters lower-cased
    for (const QChar c : line) {
        char16_t u = c.unicode();
        if (u >= u'A' && u <= u'Z')
            u += u'a' - u'A';
        last = (last << 16) | u;
        if (last == pack('p', 'o', 'r', 't') || last == pack('c', 'a', 'l', ':') ||
            (last & three) == pack(0, ' ', 'o', 'n') || (last & three) == pack(0, ' ', 'a', 't'))
            return true;
    }
    return false;
}

bool isAddressCharacter(char16_t u)
{
    if ((u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9'))
        return true;
    return u < 0x80 && std::strchr("-._~:/?#@!$&'*+,;=%[]", char(u)) != nullptr && u != 0;
}

// Whether the first web address in the line (where the address pattern
// matches) may name a local host. False only when its host is plainly a
// name that is neither "localhost" nor under ".local": such an address is
// never taken, so the pattern and the address parser need not run. Anything
// unusual (an IP literal, percent escapes, brackets, several "@") is left to
// them.
bool firstAddressMayBeLocal(QStringView line)
{
    const qsizetype size = line.size();
    const auto lower = [&](qsizetype i) {
        const char16_t u = line[i].unicode();
        return u >= u'A' && u <= u'Z' ? char16_t(u + (u'a' - u'A')) : u;
    };
    const auto startsWith = [&](qsizetype i, QLatin1StringView word) {
        if (i + word.size() > size)
            return false;
        for (qsizetype k = 0; k < word.size(); ++k)
            if (lower(i + k) != char16_t(word[k].unicode()))
                return false;
        return true;
    };
    for (qsizetype i = 0; i + 7 < size; ++i) {
        if (!startsWith(i, QLatin1StringView("http")))
            continue;
        qsizetype at = i + 4;
        if (at < size && lower(at) == u's')
            ++at;
        if (!startsWith(at, QLatin1StringView("://")))
            continue;
        at += 3;
        if (at >= size || !isAddressCharacter(line[at].unicode()))
            continue;
        // The authority: up to the path, query or fragment, or the end of the address.
        qsizetype end = at;
        while (end < size && isAddressCharacter(line[end].unicode()) && line[end] != u'/' && line[end] != u'?'
               && line[end] != u'#')
            ++end;
        QStringView host = line.sliced(at, end - at);
        if (host.count(u'@') > 1 || host.contains(u'%') || host.contains(u'[') || host.contains(u']'))
            return true;
        if (const qsizetype userEnd = host.indexOf(u'@'); userEnd >= 0)
            host = host.sliced(userEnd + 1);
        if (const qsizetype colon = host.indexOf(u':'); colon >= 0)
            host = host.first(colon);
        while (!host.isEmpty() && isTrimCharacter(host.back()))
            host.chop(1);
        if (host.compare(QLatin1StringView("localhost"), Qt::CaseInsensitive) == 0
            || host.endsWith(QLatin1StringView(".local"), Qt::CaseInsensitive))
            return true;
        // Digits, dots and hex letters may be an IP address in some form.
        return std::all_of(host.begin(), host.end(), [](QChar c) {
            const char16_t u = c.unicode();
            return (u >= u'0' && u <= u'9') || u == u'.' || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F')
                || u == u'x' || u == u'X';
        });
    }
    // No address the pattern would match.
    return false;
}

} // namespace

std::optional<QUrl> detectLocalURL(const QString &line)
{
    // Most output lines name no address and no port: a pass or two over the
    // characters settles them before any lower-casing or pattern runs.
    const LineScreen seen = screen(line);
    const bool mayHoldAddress = seen.colon && line.contains(QLatin1String("://")) && firstAddressMayBeLocal(line);
    const bool mayHoldPort = seen.digitPair && mentionsPortWord(line);
    if (!mayHoldAddress && !mayHoldPort)
        return std::nullopt;

    std::optional<QUrl> found;
    if (mayHoldAddress) {
        if (const auto match = addressPattern().match(line); match.hasMatch()) {
            const QUrl url(trimmedAddress(match.captured(0)), QUrl::StrictMode);
            if (url.isValid() && localurl::isLocalHost(url))
                found = url;
        }
    }
    if (!found && mayHoldPort) {
        for (const QRegularExpression &pattern : portPatterns()) {
            const auto match = pattern.match(line);
            if (!match.hasMatch())
                continue;
            bool ok = false;
            const qint64 port = match.captured(1).toLongLong(&ok);
            if (ok && localurl::isAcceptedPort(port)) {
                found = QUrl(QStringLiteral("http://localhost:") + QString::number(port));
                break;
            }
        }
    }
    // A line that reports a port conflict, a crash or a waiting watcher names
    // no address to open, whatever it holds.
    if (found && localurl::isSkippedLine(line))
        return std::nullopt;
    return found;
}

} // namespace nerim
