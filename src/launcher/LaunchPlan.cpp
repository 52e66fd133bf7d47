#include "launcher/LaunchPlan.h"

#include <algorithm>
#include <initializer_list>

namespace nerim {

QString plainProjectType(const LaunchPlan &plan)
{
    const QString &c = plan.shellCommand;
    auto startsWithAny = [&c](std::initializer_list<const char *> prefixes) {
        for (const char *prefix : prefixes) {
            if (c.startsWith(QLatin1String(prefix)))
                return true;
        }
        return false;
    };
    if (c.contains(QLatin1String("npm install")) && c.contains(QLatin1String("&&")))
        return QStringLiteral("npm project (installs dependencies, then runs the dev server)");
    if (startsWithAny({"npm ", "pnpm ", "yarn "}))
        return QStringLiteral("Node/npm project (%1)").arg(c);
    if (c.startsWith(QLatin1String("python3 -m http.server")))
        return QStringLiteral("static HTML site served by Python");
    if (startsWithAny({"python3 ", "streamlit ", "uvicorn "}) || c.contains(QLatin1String("flask run")))
        return QStringLiteral("Python project (%1)").arg(c);
    if (c.startsWith(QLatin1String("cargo ")))
        return QStringLiteral("Rust/Cargo project (%1)").arg(c);
    if (c.startsWith(QLatin1String("go ")))
        return QStringLiteral("Go project (%1)").arg(c);
    return QStringLiteral("project that starts with `%1`").arg(c);
}

namespace {

bool isNameStart(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           c == QLatin1Char('_');
}

bool isNameChar(QChar c)
{
    return isNameStart(c) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

// Characters that end a shell word outside quotes.
bool endsWord(QChar c)
{
    return c.isSpace() || QStringView(u";&|()<>`").contains(c);
}

// Where a quoted stretch that opens at `at` ends (past its closing quote).
qsizetype pastQuoted(const QString &text, qsizetype at)
{
    const QChar quote = text[at];
    qsizetype i = at + 1;
    while (i < text.size() && text[i] != quote) {
        if (quote == QLatin1Char('"') && text[i] == QLatin1Char('\\'))
            ++i;
        ++i;
    }
    return std::min(i + 1, text.size());
}

// Where the shell word that begins at `at` ends: quotes, escapes and $(...) included.
qsizetype pastWord(const QString &text, qsizetype at)
{
    qsizetype i = at;
    while (i < text.size() && !endsWord(text[i])) {
        const QChar c = text[i];
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            i = pastQuoted(text, i);
        } else if (c == QLatin1Char('\\')) {
            i += 2;
        } else if (c == QLatin1Char('$') && i + 1 < text.size() && text[i + 1] == QLatin1Char('(')) {
            int depth = 0;
            for (; i < text.size(); ++i) {
                if (text[i] == QLatin1Char('('))
                    ++depth;
                else if (text[i] == QLatin1Char(')') && --depth == 0)
                    break;
            }
            ++i;
        } else {
            ++i;
        }
    }
    return std::min(i, text.size());
}

} // namespace

QString launchCommandForLog(const QString &command)
{
    QString shown;
    bool wordStart = true;
    qsizetype i = 0;
    while (i < command.size()) {
        const QChar c = command[i];
        if (wordStart && isNameStart(c)) {
            qsizetype end = i;
            while (end < command.size() && isNameChar(command[end]))
                ++end;
            if (end < command.size() && command[end] == QLatin1Char('=')) {
                shown += QStringView(command).mid(i, end - i + 1);
                shown += QChar(0x2026);
                i = pastWord(command, end + 1);
                wordStart = false;
                continue;
            }
        }
        const qsizetype next = c == QLatin1Char('\'') || c == QLatin1Char('"') ? pastQuoted(command, i)
                               : c == QLatin1Char('\\')                        ? std::min(i + 2, command.size())
                                                                               : i + 1;
        shown += QStringView(command).mid(i, next - i);
        wordStart = endsWord(c);
        i = next;
    }
    return shown;
}

} // namespace nerim
