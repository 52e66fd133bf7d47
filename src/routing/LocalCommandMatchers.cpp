#include "routing/LocalCommandMatchers.h"

#include <QSet>

namespace nerim {

namespace {

using WordSet = QSet<QString>;

WordSet words(std::initializer_list<const char *> list)
{
    WordSet set;
    for (const char *word : list)
        set.insert(QString::fromUtf8(word));
    return set;
}

const QString sentencePunctuation = QStringLiteral(".!?");

// --- run the app -----------------------------------------------------------

const QStringList &runLeadPhrases()
{
    static const QStringList list{QStringLiteral("fire up"), QStringLiteral("spin up"),  QStringLiteral("boot up"),
                                  QStringLiteral("show me"), QStringLiteral("let me see"), QStringLiteral("let's see"),
                                  QStringLiteral("let us see")};
    return list;
}
const WordSet &runVerbs()
{
    static const WordSet set = words({"run", "start", "boot", "launch", "load", "preview", "open"});
    return set;
}
const WordSet &runFillers()
{
    static const WordSet set = words({"the", "it", "up", "please", "my", "our", "this", "that", "a", "some", "your"});
    return set;
}
const WordSet &appNouns()
{
    static const WordSet set = words({"app", "site", "server", "project", "webpage", "page", "website", "thing", "code",
                                      "build", "application", "web"});
    return set;
}
const WordSet &appTwoWordEndings()
{
    static const WordSet set = words({"app up", "app running", "it up", "it running", "site up", "site running",
                                      "server up", "server running", "webpage up"});
    return set;
}

bool isAppTarget(const QStringList &all, qsizetype from)
{
    qsizetype i = from;
    while (i < all.size() && runFillers().contains(all.at(i)))
        ++i;
    if (i >= all.size())
        return true;
    if (i + 1 < all.size() && appTwoWordEndings().contains(all.at(i) + QLatin1Char(' ') + all.at(i + 1)))
        return i + 2 == all.size();
    return appNouns().contains(all.at(i)) && i + 1 == all.size();
}

// --- preview ---------------------------------------------------------------

const WordSet &previewOpenVerbs()
{
    static const WordSet set = words({"open", "spawn", "show", "pop", "reveal", "display", "launch"});
    return set;
}
const WordSet &previewCloseVerbs()
{
    static const WordSet set = words({"close", "hide", "dismiss", "kill", "exit"});
    return set;
}
const WordSet &previewFillers()
{
    static const WordSet set = words({"me", "up", "the", "a", "please"});
    return set;
}
const WordSet &previewNouns()
{
    static const WordSet set = words({"browser", "preview"});
    return set;
}

// --- plan ------------------------------------------------------------------

const WordSet &planOpenPhrases()
{
    static const WordSet set = words({"plan", "plans", "plan panel", "plans panel", "open plan", "open plans",
                                      "open plan panel", "open plans panel", "open the plan", "open the plans panel",
                                      "show plan", "show plans", "show plan panel", "show plans panel",
                                      "show the plan", "show the plans panel", "show me the plan",
                                      "show me the plans panel"});
    return set;
}
const WordSet &planClosePhrases()
{
    static const WordSet set = words({"close plan", "close plans", "close plan panel", "close plans panel",
                                      "close the plans panel", "hide plan", "hide plans", "hide plans panel",
                                      "hide the plans panel", "dismiss plans"});
    return set;
}
const WordSet &planMakingVerbs()
{
    static const WordSet set = words({"make", "build", "create", "generate", "draft", "produce"});
    return set;
}
const WordSet &leadingTopicFillers()
{
    static const WordSet set = words({"the", "a", "an", "some", "up", "out", "please", "for", "me", "us"});
    return set;
}
const QStringList &trailingTopicFillers()
{
    static const QStringList list{QStringLiteral("please"), QStringLiteral("please."), QStringLiteral("please!"),
                                  QStringLiteral("for"),    QStringLiteral("for me"),  QStringLiteral("for us")};
    return list;
}
const WordSet &vagueTopics()
{
    static const WordSet set = words({"this", "this out", "it", "it out", "out", "up", "first", "the whole thing",
                                      "everything", "all of it"});
    return set;
}
const WordSet &planPhrasesWhole()
{
    static const WordSet set = words({"let's plan", "lets plan", "let us plan"});
    return set;
}

QString trimSpaces(const QString &text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && text.at(start) == QLatin1Char(' '))
        ++start;
    while (end > start && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(start, end - start);
}

QString stripLeadingTopicFillers(const QString &topic)
{
    QStringList all = splitWords(topic);
    qsizetype i = 0;
    while (i < all.size() && leadingTopicFillers().contains(all.at(i)))
        ++i;
    return all.mid(i).join(QLatin1Char(' '));
}

QString stripTrailingTopicFillers(QString topic)
{
    bool removed = true;
    while (removed) {
        removed = false;
        for (const QString &member : trailingTopicFillers()) {
            const QString ending = QLatin1Char(' ') + member;
            if (topic.endsWith(ending)) {
                topic = trimSpaces(topic.left(topic.size() - ending.size()));
                removed = true;
                break;
            }
        }
    }
    return topic;
}

// --- hand-off --------------------------------------------------------------

const WordSet &giveVerbs()
{
    static const WordSet set = words({"hand", "assign", "give", "send", "pass", "route"});
    return set;
}
const WordSet &giveTwoWordVerbs()
{
    static const WordSet set = words({"hand off", "hand over", "pass off", "pass over"});
    return set;
}
const WordSet &takeVerbs()
{
    static const WordSet set = words({"take", "handle", "grab", "own", "start"});
    return set;
}
const WordSet &takeTwoWordVerbs()
{
    static const WordSet set = words({"pick up", "take on", "take over"});
    return set;
}

bool isSeparatorToken(const QString &token) { return token == QLatin1String(",") || token == QLatin1String(":"); }

// Moves past a verb of the given sets at `i`; nothing when there is none.
std::optional<qsizetype> skipVerb(const QStringList &tokens, qsizetype i, const WordSet &twoWord, const WordSet &single)
{
    if (i >= tokens.size())
        return std::nullopt;
    if (i + 1 < tokens.size() && twoWord.contains(tokens.at(i) + QLatin1Char(' ') + tokens.at(i + 1)))
        return i + 2;
    if (single.contains(tokens.at(i)))
        return i + 1;
    return std::nullopt;
}

// "step", then "number" after it, are skipped; "number" alone is not.
qsizetype skipStepWord(const QStringList &tokens, qsizetype i)
{
    if (i < tokens.size() && tokens.at(i) == QLatin1String("step")) {
        ++i;
        if (i < tokens.size() && tokens.at(i) == QLatin1String("number"))
            ++i;
    }
    return i;
}

std::optional<StepHandover> giveForm(const QStringList &tokens, const OpenPaneNumbers &openPanes,
                                     const PaneNameTable &table)
{
    auto i = skipVerb(tokens, skipHandoverFillers(tokens, 0), giveTwoWordVerbs(), giveVerbs());
    if (!i)
        return std::nullopt;
    qsizetype k = skipStepWord(tokens, skipHandoverFillers(tokens, *i));
    if (k >= tokens.size())
        return std::nullopt;
    const auto step = stepNumberValue(tokens.at(k));
    if (!step)
        return std::nullopt;
    ++k;
    if (k < tokens.size() && (tokens.at(k) == QLatin1String("over") || tokens.at(k) == QLatin1String("off")))
        ++k;
    if (k < tokens.size() && tokens.at(k) == QLatin1String("to"))
        ++k;
    k = skipHandoverFillers(tokens, k);
    const auto reference = matchAgentReference(tokens, k, openPanes, table);
    if (!reference)
        return std::nullopt;
    return StepHandover{*step, reference->first};
}

std::optional<StepHandover> takeForm(const QStringList &tokens, const OpenPaneNumbers &openPanes,
                                     const PaneNameTable &table)
{
    const auto reference = matchAgentReference(tokens, skipHandoverFillers(tokens, 0), openPanes, table);
    if (!reference)
        return std::nullopt;
    qsizetype k = reference->second;
    while (k < tokens.size() && isSeparatorToken(tokens.at(k)))
        ++k;
    k = skipHandoverFillers(tokens, k);
    const auto i = skipVerb(tokens, k, takeTwoWordVerbs(), takeVerbs());
    if (!i)
        return std::nullopt;
    k = skipStepWord(tokens, skipHandoverFillers(tokens, *i));
    if (k >= tokens.size())
        return std::nullopt;
    const auto step = stepNumberValue(tokens.at(k));
    if (!step)
        return std::nullopt;
    return StepHandover{*step, reference->first};
}

// --- spawn -----------------------------------------------------------------

const WordSet &spawnVerbs()
{
    static const WordSet set = words({"spawn", "open", "add", "make", "create"});
    return set;
}
const WordSet &spawnFillers()
{
    static const WordSet set = words({"me", "a", "an", "new", "up"});
    return set;
}
std::optional<int> spawnCountWord(const QString &word)
{
    static const QHash<QString, int> table{{QStringLiteral("1"), 1},   {QStringLiteral("one"), 1},
                                           {QStringLiteral("2"), 2},   {QStringLiteral("two"), 2},
                                           {QStringLiteral("3"), 3},   {QStringLiteral("three"), 3}};
    const auto it = table.constFind(word);
    if (it == table.constEnd())
        return std::nullopt;
    return *it;
}

} // namespace

std::optional<RunAppCommand> parseRunAppCommand(const QString &prompt)
{
    const QStringList all = splitWords(normalizeCommandText(prompt, sentencePunctuation));
    if (all.isEmpty())
        return std::nullopt;
    for (const QString &phrase : runLeadPhrases()) {
        const QStringList phraseWords = phrase.split(QLatin1Char(' '));
        if (all.size() >= phraseWords.size() && std::equal(phraseWords.begin(), phraseWords.end(), all.begin())) {
            if (isAppTarget(all, phraseWords.size()))
                return RunAppCommand::runApp;
            return std::nullopt;
        }
    }
    if (!runVerbs().contains(all.at(0)))
        return std::nullopt;
    if (isAppTarget(all, 1))
        return RunAppCommand::runApp;
    return std::nullopt;
}

std::optional<PreviewCommand> parsePreviewCommand(const QString &prompt)
{
    const QStringList all = splitWords(normalizeCommandText(prompt, sentencePunctuation));
    if (all.isEmpty())
        return std::nullopt;
    if (all.size() == 1 && previewNouns().contains(all.at(0)))
        return PreviewCommand::open;
    PreviewCommand verb;
    qsizetype i = 0;
    if (all.size() >= 2 && all.at(0) == QLatin1String("bring") && all.at(1) == QLatin1String("up")) {
        verb = PreviewCommand::open;
        i = 2;
    } else if (previewOpenVerbs().contains(all.at(0))) {
        verb = PreviewCommand::open;
        i = 1;
    } else if (previewCloseVerbs().contains(all.at(0))) {
        verb = PreviewCommand::close;
        i = 1;
    } else {
        return std::nullopt;
    }
    while (i < all.size() && previewFillers().contains(all.at(i)))
        ++i;
    if (i < all.size() && previewNouns().contains(all.at(i)) && i + 1 == all.size())
        return verb;
    return std::nullopt;
}

std::optional<PlanCommand> parsePlanCommand(const QString &prompt)
{
    const QString text = normalizeCommandText(prompt, QStringLiteral(".!?,"));
    if (text.isEmpty())
        return std::nullopt;
    if (planClosePhrases().contains(text))
        return PlanCommand::close();
    if (planOpenPhrases().contains(text))
        return PlanCommand::open();

    if (text.startsWith(QLatin1String("plan "))) {
        QString topic = stripTrailingTopicFillers(stripLeadingTopicFillers(trimSpaces(text.mid(5))));
        if (topic.isEmpty() || vagueTopics().contains(topic) || splitWords(topic).size() <= 2)
            return PlanCommand::open();
        return PlanCommand::open(topic);
    }

    const QStringList all = splitWords(text);
    if (!all.isEmpty() && planMakingVerbs().contains(all.at(0)) && text.size() > all.at(0).size()
        && text.at(all.at(0).size()) == QLatin1Char(' ')) {
        if (all.size() >= 3 && (all.at(2) == QLatin1String("plan") || all.at(2) == QLatin1String("plans"))) {
            const QString rest = all.mid(3).join(QLatin1Char(' ')).trimmed();
            if (splitWords(rest).size() >= 3) {
                // A rest made only of fillers leaves no topic: just show the panel.
                const QString topic = stripLeadingTopicFillers(rest);
                return topic.isEmpty() ? PlanCommand::open() : PlanCommand::open(topic);
            }
            return PlanCommand::open();
        }
    }

    if (planPhrasesWhole().contains(text))
        return PlanCommand::open();
    return std::nullopt;
}

std::optional<StepHandover> parseStepHandover(const QString &prompt, const OpenPaneNumbers &openPanes,
                                              const PaneNameTable &table)
{
    const QStringList tokens = handoverTokens(normalizeCommandText(prompt, sentencePunctuation));
    if (tokens.isEmpty())
        return std::nullopt;
    if (auto handover = giveForm(tokens, openPanes, table))
        return handover;
    return takeForm(tokens, openPanes, table);
}

std::optional<int> parseSpawnCount(const QString &prompt)
{
    const QStringList all = splitWords(normalizeCommandText(prompt, sentencePunctuation));
    if (all.size() < 2 || !spawnVerbs().contains(all.at(0)))
        return std::nullopt;
    int count = 2;
    qsizetype i = 1;
    while (i < all.size()) {
        const QString &word = all.at(i);
        if (word == QLatin1String("another")) {
            ++i;
            if (i == all.size())
                count = 1;
            continue;
        }
        if (i + 1 < all.size() && all.at(i + 1) == QLatin1String("more")) {
            if (auto value = spawnCountWord(word)) {
                count = *value;
                i += 2;
                break;
            }
        }
        if (auto value = spawnCountWord(word)) {
            count = *value;
            ++i;
            break;
        }
        if (spawnFillers().contains(word)) {
            ++i;
            if (i == all.size())
                count = 1;
            continue;
        }
        count = 1;
        break;
    }
    if (i >= all.size())
        return std::nullopt;
    while (i < all.size() && spawnFillers().contains(all.at(i)))
        ++i;
    if (i >= all.size())
        return std::nullopt;
    if ((all.at(i) == QLatin1String("agent") || all.at(i) == QLatin1String("agents")) && i + 1 == all.size())
        return count;
    return std::nullopt;
}

} // namespace nerim
