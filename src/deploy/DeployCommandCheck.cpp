#include "deploy/DeployCommandCheck.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace nerim::DeployCommandCheck {

namespace {

// Characters the shell takes as themselves outside quotes, in bash and in
// zsh with any options (no `~`, glob, `^`, brace, `$`, `#`, `!`, operator or
// blank); `=` only inside a word, since zsh expands a word that starts with it.
bool isPlain(QChar c)
{
    if (c.unicode() >= 128)
        return false;
    if (c.isLetterOrNumber())
        return true;
    return QStringView(u"_-.,:/=@%+").contains(c);
}

bool isControl(QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; }

QString folderOf(const QString &project)
{
    return project.isEmpty() ? QString() : QFileInfo(project).canonicalFilePath();
}

bool isInside(const QString &canonical, const QString &folder)
{
    return !canonical.isEmpty() && !folder.isEmpty() &&
           (canonical == folder || canonical.startsWith(folder == QLatin1String("/") ? folder : folder + QLatin1Char('/')));
}

// `printf` and `sleep` are run by the shell itself (or read by it first), so
// their words are held to what those commands need to hand text on and to
// wait: no option (`printf -v` assigns, and bash evaluates an array subscript
// in the name it assigns to, running any command substitution in it), no `[`
// or `]`, printf's formats only `%s` and `%%` (a numeric conversion makes zsh
// evaluate its argument as arithmetic, reading variables), escapes only `\n`,
// `\t` and `\\`; sleep only a number of seconds, minutes, hours or days.
std::optional<QString> helperWordRefusal(const QStringList &command)
{
    const QString &program = command.first();
    const bool isPrintf = program == QLatin1String("printf");
    if (!isPrintf && program != QLatin1String("sleep"))
        return std::nullopt;
    static const QRegularExpression duration(QStringLiteral("^[0-9]{1,6}(\\.[0-9]{1,3})?[smhd]?\\z"));
    for (qsizetype index = 1; index < command.size(); ++index) {
        const QString &word = command.at(index);
        bool plain = !word.startsWith(QLatin1Char('-')) && !word.contains(QLatin1Char('[')) &&
                     !word.contains(QLatin1Char(']'));
        if (!isPrintf) {
            plain = plain && duration.match(word).hasMatch();
        } else {
            for (qsizetype i = 0; plain && i < word.size(); ++i) {
                const QChar c = word.at(i);
                if (c != QLatin1Char('%') && c != QLatin1Char('\\'))
                    continue;
                const QChar next = i + 1 < word.size() ? word.at(i + 1) : QChar();
                plain = c == QLatin1Char('%') ? (next == QLatin1Char('s') || next == QLatin1Char('%'))
                                              : QStringView(u"nt\\").contains(next);
                ++i;
            }
        }
        if (plain)
            continue;
        if (isPrintf)
            return QStringLiteral("Nerim refused `%1`: printf takes plain words only (no option, no [ or ], "
                                  "only %s and %% as formats and \\n, \\t or \\\\ as escapes).")
                .arg(command.join(QLatin1Char(' ')));
        return QStringLiteral("Nerim refused `%1`: sleep takes only a number of seconds (or of minutes, hours or "
                              "days, ending in m, h or d).")
            .arg(command.join(QLatin1Char(' ')));
    }
    return std::nullopt;
}

bool matches(const QStringList &command, const Rule &rule)
{
    if (rule.withArguments)
        return command.size() >= rule.words.size() && command.mid(0, rule.words.size()) == rule.words;
    return command == rule.words;
}

} // namespace

std::optional<QList<QStringList>> pipelineWords(const QString &line)
{
    QList<QStringList> commands;
    QStringList words;
    QString word;
    bool inWord = false;
    const auto endWord = [&] {
        if (inWord)
            words.append(word);
        word.clear();
        inWord = false;
    };
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            endWord();
        } else if (c == QLatin1Char('|')) {
            endWord();
            if (words.isEmpty())
                return std::nullopt; // `||`, or a pipe with nothing in front
            commands.append(words);
            words.clear();
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            const qsizetype close = line.indexOf(c, i + 1);
            if (close < 0)
                return std::nullopt;
            const QStringView quoted = QStringView(line).mid(i + 1, close - i - 1);
            for (QChar inside : quoted) {
                if (isControl(inside))
                    return std::nullopt;
                // Inside double quotes the shell still expands these.
                if (c == QLatin1Char('"') && QStringView(u"$`\\!").contains(inside))
                    return std::nullopt;
            }
            word += quoted;
            inWord = true;
            i = close;
        } else if (isPlain(c) && (inWord || c != QLatin1Char('='))) {
            word += c;
            inWord = true;
        } else {
            return std::nullopt;
        }
    }
    endWord();
    if (words.isEmpty())
        return std::nullopt; // an empty line, or a pipe into nothing
    commands.append(words);
    return commands;
}

std::optional<Rule> ruleFrom(const QString &text, bool withArguments)
{
    const std::optional<QList<QStringList>> commands = pipelineWords(text);
    if (!commands || commands->size() != 1)
        return std::nullopt;
    return Rule{commands->first(), withArguments};
}

std::optional<QString> commandRefusal(const QString &line, const QList<Rule> &rules, const QString &project)
{
    const std::optional<QList<QStringList>> commands = pipelineWords(line);
    if (!commands)
        return QStringLiteral("Nerim refused this command: a deploy runs its commands with plain words only, one "
                              "command or a pipe of them (no ;, &&, redirection, variable, ~, wildcard or line break).");
    const QString folder = folderOf(project);
    if (folder.isEmpty())
        return QStringLiteral("Nerim refused this command: the project folder could not be found.");
    for (const QStringList &command : *commands) {
        if (std::none_of(rules.begin(), rules.end(), [&command](const Rule &rule) { return matches(command, rule); }))
            return QStringLiteral("Nerim refused `%1`: it is not one of the commands this deploy may run.")
                .arg(command.join(QLatin1Char(' ')));
        if (std::optional<QString> refusal = helperWordRefusal(command))
            return refusal;
        // A word naming something that exists (a file to read, a folder) must
        // name it inside the project, wherever its links lead.
        for (const QString &word : command) {
            if (word.isEmpty())
                continue;
            const QFileInfo named(QDir(folder).filePath(word));
            if (!named.exists() && !named.isSymLink())
                continue;
            if (!isInside(named.canonicalFilePath(), folder))
                return QStringLiteral("Nerim refused `%1`: %2 is outside the project folder.")
                    .arg(command.join(QLatin1Char(' ')), word);
        }
    }
    return std::nullopt;
}

std::optional<QString> readRefusal(const QString &path, const QString &project)
{
    const QString folder = folderOf(project);
    if (folder.isEmpty())
        return QStringLiteral("Nerim refused this read: the project folder could not be found.");
    const QString canonical = QFileInfo(QDir(folder).filePath(path)).canonicalFilePath();
    if (canonical.isEmpty())
        return QStringLiteral("Nerim refused this read: %1 does not exist.").arg(path);
    if (!isInside(canonical, folder))
        return QStringLiteral("Nerim refused this read: %1 is outside the project folder.").arg(path);
    return std::nullopt;
}

std::optional<QString> toolCallRefusal(const QByteArray &hookInput, const QList<Rule> &rules, const QString &project)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(hookInput, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QStringLiteral("Nerim refused this step: the agent program's description of it did not read.");
    const QJsonObject call = document.object();
    const QString tool = call.value(QLatin1String("tool_name")).toString();
    const QJsonObject input = call.value(QLatin1String("tool_input")).toObject();
    const QString folder = folderOf(project);
    const QString cwd = call.value(QLatin1String("cwd")).toString();
    if (folder.isEmpty() || cwd.isEmpty() || QFileInfo(cwd).canonicalFilePath() != folder)
        return QStringLiteral("Nerim refused this step: a deploy works in its project folder only.");
    // Only the fields whose effect the check knows: any other (running in the
    // background, leaving a sandbox, whatever a later program adds) is refused.
    const QStringList known = tool == QLatin1String("Bash")   ? QStringList{QStringLiteral("command"),
                                                                           QStringLiteral("description"),
                                                                           QStringLiteral("timeout")}
                              : tool == QLatin1String("Read") ? QStringList{QStringLiteral("file_path"),
                                                                           QStringLiteral("offset"),
                                                                           QStringLiteral("limit")}
                                                              : QStringList{};
    for (const QString &field : input.keys()) {
        if (!known.isEmpty() && !known.contains(field))
            return QStringLiteral("Nerim refused this step: it asks for \"%1\", which a deploy does not use.").arg(field);
    }
    if (tool == QLatin1String("Bash")) {
        const QJsonValue command = input.value(QLatin1String("command"));
        if (!command.isString())
            return QStringLiteral("Nerim refused this step: it names no command.");
        return commandRefusal(command.toString(), rules, folder);
    }
    if (tool == QLatin1String("Read")) {
        const QJsonValue path = input.value(QLatin1String("file_path"));
        if (!path.isString() || path.toString().isEmpty())
            return QStringLiteral("Nerim refused this read: it names no file.");
        return readRefusal(path.toString(), folder);
    }
    return QStringLiteral("Nerim refused the %1 tool: a deploy only runs its commands and reads the project's files.")
        .arg(tool.isEmpty() ? QStringLiteral("unnamed") : tool);
}

std::optional<QList<Rule>> rulesFromArguments(const QStringList &arguments)
{
    QList<Rule> rules;
    for (const QString &argument : arguments) {
        if (argument.size() < 2 || (argument.at(0) != QLatin1Char('=') && argument.at(0) != QLatin1Char('+')))
            return std::nullopt;
        const std::optional<Rule> rule = ruleFrom(argument.mid(1), argument.at(0) == QLatin1Char('+'));
        if (!rule)
            return std::nullopt;
        rules.append(*rule);
    }
    return rules;
}

} // namespace nerim::DeployCommandCheck
