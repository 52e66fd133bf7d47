#include "routing/PromptWords.h"

#include "foundation/Text.h"

#include <algorithm>

namespace nerim {

namespace {

const QSet<QString> &handoverFillers()
{
    static const QSet<QString> set{QStringLiteral("please"), QStringLiteral("the"), QStringLiteral("a"),
                                   QStringLiteral("up"),     QStringLiteral("out"), QStringLiteral("over"),
                                   QStringLiteral("off"),    QStringLiteral("kindly"), QStringLiteral("just")};
    return set;
}

const QSet<QString> &leadInWords()
{
    static const QSet<QString> set{QStringLiteral("hey"),  QStringLiteral("hi"),     QStringLiteral("ok"),
                                   QStringLiteral("okay"), QStringLiteral("please"), QStringLiteral("so")};
    return set;
}

const QSet<QString> &separatorWords()
{
    static const QSet<QString> set{QStringLiteral(","), QStringLiteral(":"), QStringLiteral("-"),
                                   QStringLiteral("\u2014")};
    return set;
}

const QHash<QString, int> &numberWords()
{
    static const QHash<QString, int> table{
        {QStringLiteral("1"), 1},     {QStringLiteral("2"), 2},     {QStringLiteral("3"), 3},
        {QStringLiteral("4"), 4},     {QStringLiteral("5"), 5},     {QStringLiteral("6"), 6},
        {QStringLiteral("7"), 7},     {QStringLiteral("8"), 8},     {QStringLiteral("9"), 9},
        {QStringLiteral("one"), 1},   {QStringLiteral("two"), 2},   {QStringLiteral("three"), 3},
        {QStringLiteral("four"), 4},  {QStringLiteral("five"), 5},  {QStringLiteral("six"), 6},
        {QStringLiteral("seven"), 7}, {QStringLiteral("eight"), 8}, {QStringLiteral("nine"), 9},
    };
    return table;
}

const QHash<QString, int> &stepNumberWords()
{
    static const QHash<QString, int> table{
        {QStringLiteral("one"), 1},        {QStringLiteral("two"), 2},       {QStringLiteral("three"), 3},
        {QStringLiteral("four"), 4},       {QStringLiteral("five"), 5},      {QStringLiteral("six"), 6},
        {QStringLiteral("seven"), 7},      {QStringLiteral("eight"), 8},     {QStringLiteral("nine"), 9},
        {QStringLiteral("ten"), 10},       {QStringLiteral("eleven"), 11},   {QStringLiteral("twelve"), 12},
        {QStringLiteral("thirteen"), 13},  {QStringLiteral("fourteen"), 14}, {QStringLiteral("fifteen"), 15},
        {QStringLiteral("sixteen"), 16},   {QStringLiteral("seventeen"), 17}, {QStringLiteral("eighteen"), 18},
        {QStringLiteral("nineteen"), 19},  {QStringLiteral("twenty"), 20},
    };
    return table;
}

// A name boundary in pane addressing: whitespace, ",", ":", "-", the em dash or ".".
bool isNameBoundary(const QString &character)
{
    if (character.size() != 1)
        return false;
    const QChar c = character.at(0);
    return c.isSpace() || c == QLatin1Char(',') || c == QLatin1Char(':') || c == QLatin1Char('-')
        || c == QChar(0x2014) || c == QLatin1Char('.');
}

// Leading characters that the number path strips from a task.
bool isTaskLeadCharacter(QChar c)
{
    return c.isSpace() || c == QLatin1Char(',') || c == QLatin1Char(':') || c == QLatin1Char('-') || c == QChar(0x2014);
}

QString firstCharacter(const QString &text) { return text::characterPrefix(text, 1); }

// A pane name as it is compared: lower-cased, in canonical composed form (NFC),
// so that "zoe" followed by a combining diaeresis is the same name as "zoë".
QString comparableName(const QString &name) { return name.toLower().normalized(QString::NormalizationForm_C); }

// Removes the leading word `word` (which the text begins with) and the
// whitespace after it.
QString dropLeadingWord(const QString &text, const QString &word)
{
    QString rest = text.mid(word.size());
    qsizetype i = 0;
    while (i < rest.size() && rest.at(i).isSpace())
        ++i;
    return rest.mid(i);
}

} // namespace

QString normalizeCommandText(const QString &text, const QString &trailing)
{
    QString result = text.toLower().trimmed();
    while (!result.isEmpty() && trailing.contains(result.back()))
        result.chop(1);
    return text::trimSpacesAndTabs(result);
}

QStringList splitWords(const QString &text)
{
    QStringList words;
    QString current;
    for (const QChar c : text) {
        if (c.isSpace()) {
            if (!current.isEmpty())
                words.append(std::exchange(current, QString()));
        } else {
            current.append(c);
        }
    }
    if (!current.isEmpty())
        words.append(current);
    return words;
}

QStringList handoverTokens(const QString &text)
{
    QStringList tokens;
    QString current;
    for (const QChar c : text) {
        if (c.isSpace()) {
            if (!current.isEmpty())
                tokens.append(std::exchange(current, QString()));
        } else if (c == QLatin1Char(',') || c == QLatin1Char(':')) {
            if (!current.isEmpty())
                tokens.append(std::exchange(current, QString()));
            tokens.append(QString(c));
        } else {
            current.append(c);
        }
    }
    if (!current.isEmpty())
        tokens.append(current);
    return tokens;
}

qsizetype skipHandoverFillers(const QStringList &tokens, qsizetype start)
{
    qsizetype i = start;
    while (i < tokens.size() && handoverFillers().contains(tokens.at(i)))
        ++i;
    return i;
}

std::optional<int> numberWordValue(const QString &word)
{
    const auto it = numberWords().constFind(word.toLower());
    if (it == numberWords().constEnd())
        return std::nullopt;
    return *it;
}

std::optional<int> stepNumberValue(const QString &word)
{
    // A decimal integer: an optional sign, then ASCII digits.
    qsizetype digitsStart = (word.startsWith(QLatin1Char('+')) || word.startsWith(QLatin1Char('-'))) ? 1 : 0;
    const bool allDigits = word.size() > digitsStart
        && std::all_of(word.begin() + digitsStart, word.end(),
                       [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
    if (allDigits) {
        bool ok = false;
        const qlonglong value = word.toLongLong(&ok);
        if (ok && value >= 1 && value <= 20)
            return int(value);
        return std::nullopt;
    }
    const auto it = stepNumberWords().constFind(word);
    if (it == stepNumberWords().constEnd())
        return std::nullopt;
    return *it;
}

bool isAddressableName(const QString &name)
{
    const QString lower = name.toLower();
    return !lower.isEmpty() && lower != QLatin1String("claude") && lower != QLatin1String("agent")
        && !lower.startsWith(QLatin1Char('@'));
}

QList<QPair<QString, int>> addressableNames(const PaneNameTable &table)
{
    QList<QPair<QString, int>> entries;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it)
        if (isAddressableName(it.key()))
            entries.append({it.key(), it.value()});
    std::stable_sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) {
        return text::characterCount(a.first) > text::characterCount(b.first);
    });
    return entries;
}

std::optional<QPair<AgentReference, qsizetype>> matchAgentReference(const QStringList &tokens, qsizetype start,
                                                                    const OpenPaneNumbers &openPanes,
                                                                    const PaneNameTable &table)
{
    if (start < 0 || start >= tokens.size())
        return std::nullopt;
    for (const auto &[name, number] : addressableNames(table)) {
        if (!openPanes.contains(number))
            continue;
        const QStringList nameTokens = handoverTokens(comparableName(name));
        if (nameTokens.isEmpty() || start + nameTokens.size() > tokens.size())
            continue;
        if (std::equal(nameTokens.begin(), nameTokens.end(), tokens.begin() + start,
                       [](const QString &nameToken, const QString &token) { return nameToken == comparableName(token); }))
            return qMakePair(AgentReference::byName(name), start + nameTokens.size());
    }
    const QString &token = tokens.at(start);
    if (token == QLatin1String("claude") || token == QLatin1String("agent")) {
        if (start + 1 < tokens.size()) {
            if (auto number = stepNumberValue(tokens.at(start + 1)); number && openPanes.contains(*number))
                return qMakePair(AgentReference::byNumber(*number), start + 2);
        }
        return std::nullopt;
    }
    for (const QString &prefix : {QStringLiteral("claude"), QStringLiteral("agent"), QStringLiteral("@")}) {
        if (!token.startsWith(prefix))
            continue;
        if (auto number = stepNumberValue(token.mid(prefix.size())); number && openPanes.contains(*number))
            return qMakePair(AgentReference::byNumber(*number), start + 1);
    }
    return std::nullopt;
}

std::optional<PaneAddress> parsePaneAddress(const QString &prompt, const OpenPaneNumbers &openPanes,
                                            const PaneNameTable &table)
{
    const QString trimmed = prompt.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;

    // Name path: the prompt begins with a pane's name, compared without regard
    // to case or composition on the original text (as many user-perceived
    // characters as the name has, which composing does not change) so that the
    // cut position stays aligned.
    for (const auto &[name, number] : addressableNames(table)) {
        if (!openPanes.contains(number))
            continue;
        const QString head = text::characterPrefix(trimmed, text::characterCount(name));
        if (comparableName(head) != comparableName(name))
            continue;
        const qsizetype p = head.size();
        if (p < trimmed.size() && !isNameBoundary(firstCharacter(trimmed.mid(p))))
            continue;
        QString rest = trimmed.mid(p);
        while (!rest.isEmpty()) {
            const QString c = firstCharacter(rest);
            if (!isNameBoundary(c))
                break;
            rest = rest.mid(c.size());
        }
        const QStringList words = splitWords(rest);
        if (!words.isEmpty() && words.at(0).toLower() == QLatin1String("please")) {
            rest = dropLeadingWord(rest, words.at(0));
        } else if (words.size() >= 2 && words.at(0).toLower() == QLatin1String("would")
                   && words.at(1).toLower() == QLatin1String("you")) {
            rest = dropLeadingWord(dropLeadingWord(rest, words.at(0)), words.at(1));
        }
        const QString task = rest.trimmed();
        if (!task.isEmpty())
            return PaneAddress{number, task};
    }

    // Number path: "claude 2 ...", "agent 2 ...", "claude2 ...", "@2 ...".
    const QStringList words = splitWords(trimmed);
    if (words.isEmpty())
        return std::nullopt;
    qsizetype i = 0;
    if (leadInWords().contains(words.at(0).toLower())) {
        if (words.size() == 1)
            return std::nullopt;
        i = 1;
    }
    if (i < words.size() && words.at(i) == QLatin1String(","))
        ++i;
    if (i >= words.size())
        return std::nullopt;
    const QString t = words.at(i).toLower();
    std::optional<int> number;
    qsizetype length = 0;
    if (t == QLatin1String("claude") || t == QLatin1String("agent")) {
        if (i + 1 < words.size())
            number = numberWordValue(words.at(i + 1));
        length = 2;
    } else {
        for (const QString &prefix : {QStringLiteral("claude"), QStringLiteral("agent"), QStringLiteral("@")}) {
            if (t.startsWith(prefix)) {
                number = numberWordValue(t.mid(prefix.size()));
                length = 1;
                break;
            }
        }
    }
    if (!number || !openPanes.contains(*number))
        return std::nullopt;
    i += length;
    if (i < words.size()) {
        const QString next = words.at(i).toLower();
        if (separatorWords().contains(words.at(i)))
            ++i;
        else if (next == QLatin1String("please"))
            ++i;
        else if (next == QLatin1String("would") && i + 1 < words.size() && words.at(i + 1).toLower() == QLatin1String("you"))
            i += 2;
    }
    QString task = words.mid(i).join(QLatin1Char(' ')).trimmed();
    qsizetype lead = 0;
    while (lead < task.size() && isTaskLeadCharacter(task.at(lead)))
        ++lead;
    task = task.mid(lead);
    if (task.isEmpty())
        return std::nullopt;
    return PaneAddress{*number, task};
}

} // namespace nerim
