#include "repair/RepairMarkers.h"
#include "repair/RepairPrompt.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace nerim;
using Category = RepairContext::Category;

namespace {

const QStringList placeholders{
    QStringLiteral("<shellCommand>"),   QStringLiteral("<workingDirectory>"), QStringLiteral("<projectType>"),
    QStringLiteral("<attempt>"),        QStringLiteral("<retryCap>"),         QStringLiteral("<failureCategory>"),
    QStringLiteral("<hint>"),           QStringLiteral("<logTail>"),          QStringLiteral("<askSecretMarker>"),
    QStringLiteral("<launchOverrideMarker>"), QStringLiteral("<readyMarker>"), QStringLiteral("<stuckMarker>"),
};

RepairContext context()
{
    RepairContext c;
    c.projectURL = QUrl::fromLocalFile(QStringLiteral("/home/ada/shop"));
    c.projectType = QStringLiteral("Node/npm project (npm run dev)");
    c.shellCommand = QStringLiteral("npm run dev");
    c.failureCategory = Category::missingEnvVar;
    c.summary = QStringLiteral("Your app needs OPENAI_API_KEY.");
    c.hint = QStringLiteral("  Add OPENAI_API_KEY to .env.\n");
    c.logTail = {QStringLiteral("> shop@1.0.0 dev"), QStringLiteral("Error: OPENAI_API_KEY is not set")};
    c.attempt = 2;
    c.retryCap = 3;
    return c;
}

// The text of the section under `heading`, up to the next blank line.
QString sectionBody(const QString &prompt, const QString &heading)
{
    const qsizetype start = prompt.indexOf(heading + QLatin1Char('\n'));
    if (start < 0)
        return QString();
    const qsizetype bodyStart = prompt.indexOf(QLatin1Char('\n'), start + heading.size() + 1) + 1;
    const qsizetype end = prompt.indexOf(QStringLiteral("\n\n"), bodyStart);
    return prompt.mid(bodyStart, end - bodyStart);
}

} // namespace

TEST(RepairPrompt, FillsWhatHappenedFromTheContext)
{
    const QString prompt = buildRepairPrompt(context());
    EXPECT_TRUE(prompt.startsWith(QStringLiteral("You are Nerim's Repair agent. Your job is a single, bounded task:\n"
                                                 "get the user's app to start successfully again.\n")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("Nerim tried to run this command in the project directory:\n"
                                               "    npm run dev\n"
                                               "Working directory: /home/ada/shop\n"
                                               "Project type Nerim detected: Node/npm project (npm run dev)\n"
                                               "Attempt 2 of 3.\n")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("Nerim's failure detector classified the crash as: missing environment "
                                               "variable\nNerim's initial hint to the user was:\n"
                                               "    Add OPENAI_API_KEY to .env.\n")));
    EXPECT_EQ(sectionBody(prompt, QStringLiteral("LAST OUTPUT (up to 100 lines, most recent last)")),
              QStringLiteral("> shop@1.0.0 dev\nError: OPENAI_API_KEY is not set"));
    EXPECT_TRUE(prompt.endsWith(QStringLiteral("Begin. Read the last output above and take your first action.\n")));
    for (const QString &placeholder : placeholders)
        EXPECT_FALSE(prompt.contains(placeholder)) << placeholder.toStdString();
    for (const char *agentWord : {"<pid>", "<VARIABLE_NAME>", "<one-to-two-sentence plain-English explanation>",
                                  "<plain-English explanation>", "<the chosen shell command>",
                                  "<one-line reason FOR THE USER>"})
        EXPECT_TRUE(prompt.contains(QString::fromUtf8(agentWord))) << agentWord;
}

TEST(RepairPrompt, SectionsComeInOrderWithTheirUnderlines)
{
    const QString prompt = buildRepairPrompt(context());
    const std::pair<const char *, int> headings[] = {
        {"WHAT HAPPENED", 13},
        {"LAST OUTPUT (up to 100 lines, most recent last)", 48},
        {"HOW TO TALK TO THE USER", 23},
        {"YOUR MANDATE", 12},
        {"SAFETY (non-negotiable)", 23},
    };
    qsizetype previous = -1;
    for (const auto &[heading, underline] : headings) {
        const QString block = QString::fromUtf8(heading) + QLatin1Char('\n') + QString(underline, QLatin1Char('-')) +
                              QLatin1Char('\n');
        const qsizetype at = prompt.indexOf(block);
        EXPECT_GT(at, previous) << heading;
        previous = at;
    }
    EXPECT_TRUE(prompt.contains(QStringLiteral("Rules for every line you write in this pane:")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("`kill <pid>` on an orphan port you own")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("\"OK, `.env` updated. Continue.\"")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("This is how Nerim knows the fix landed.")));
    for (int step = 1; step <= 6; ++step)
        EXPECT_TRUE(prompt.contains(QStringLiteral("\n%1. ").arg(step))) << step;
}

TEST(RepairPrompt, KeepsTheLastHundredOutputLines)
{
    struct Case {
        int lines;
        int firstKept;
    };
    for (const Case c : {Case{250, 151}, Case{100, 1}, Case{101, 2}, Case{1, 1}}) {
        SCOPED_TRACE(c.lines);
        RepairContext ctx = context();
        ctx.logTail.clear();
        QStringList expected;
        for (int i = 1; i <= c.lines; ++i) {
            ctx.logTail.append(QStringLiteral("output line %1").arg(i));
            if (i >= c.firstKept)
                expected.append(ctx.logTail.last());
        }
        const QString prompt = buildRepairPrompt(ctx);
        EXPECT_EQ(sectionBody(prompt, QStringLiteral("LAST OUTPUT (up to 100 lines, most recent last)")),
                  expected.join(QLatin1Char('\n')));
        if (c.firstKept > 1) {
            EXPECT_FALSE(prompt.contains(QStringLiteral("output line %1\n").arg(c.firstKept - 1)));
        }
    }

    RepairContext empty = context();
    empty.logTail.clear();
    EXPECT_EQ(sectionBody(buildRepairPrompt(empty), QStringLiteral("LAST OUTPUT (up to 100 lines, most recent last)")),
              QStringLiteral("(no output was captured — the process may have crashed silently)"));
}

TEST(RepairPrompt, FallsBackWhenThereIsNoHint)
{
    const QString fallback =
        QStringLiteral("Nerim's initial hint to the user was:\n"
                       "    (none — the failure detector didn't have a suggestion for this category)\n");
    for (const std::optional<QString> &hint : {std::optional<QString>(), std::optional<QString>(QStringLiteral(" \n\t\n "))}) {
        RepairContext ctx = context();
        ctx.hint = hint;
        EXPECT_TRUE(buildRepairPrompt(ctx).contains(fallback));
    }
}

TEST(RepairPrompt, NamesEveryCategoryInPlainWords)
{
    const std::pair<Category, const char *> cases[] = {
        {Category::missingEnvVar, "missing environment variable"},
        {Category::missingNodeDependency, "missing Node dependency"},
        {Category::missingPythonDependency, "missing Python dependency"},
        {Category::portInUse, "port already in use"},
        {Category::nodemonCatchall, "generic startup crash (no more-specific pattern matched)"},
        {Category::unknownProjectType,
         "Nerim can't tell how to start this project — ask the user and write a launch override"},
    };
    for (const auto &[category, phrase] : cases) {
        RepairContext ctx = context();
        ctx.failureCategory = category;
        EXPECT_TRUE(buildRepairPrompt(ctx).contains(QStringLiteral("classified the crash as: ") + QString::fromUtf8(phrase) +
                                                    QLatin1Char('\n')))
            << phrase;
    }
}

TEST(RepairPrompt, SubstitutesInOrderOverTextAlreadyInserted)
{
    RepairContext ctx = context();
    ctx.shellCommand = QStringLiteral("run <shellCommand> <projectType>");
    ctx.logTail = {QStringLiteral("the agent said <readyMarker>"), QStringLiteral("<logTail> stays")};
    const QString prompt = buildRepairPrompt(ctx);
    // A later placeholder inside an inserted value is filled too; an earlier one stays.
    EXPECT_TRUE(prompt.contains(QStringLiteral("    run <shellCommand> Node/npm project (npm run dev)\n")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("the agent said [NERIM_READY_TO_RETRY]\n<logTail> stays\n")));
}

TEST(RepairPrompt, TeachesExactlyTheMarkerFormsTheParserAccepts)
{
    const QString prompt = buildRepairPrompt(context());
    using namespace RepairMarkers;
    bool sawReady = false, sawStuck = false, sawSecret = false, sawOverride = false, sawEscapeHatch = false;
    for (const QString &raw : prompt.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (!line.startsWith(QLatin1Char('[')))
            continue;
        const auto signal = parse(line);
        ASSERT_TRUE(signal) << line.toStdString();
        if (std::holds_alternative<ReadyToRetrySignal>(*signal))
            sawReady = line == readyToRetry;
        if (auto *stuckSignal = std::get_if<StuckSignal>(&*signal))
            sawStuck = stuckSignal->reason == QStringLiteral("<one-line reason FOR THE USER>");
        if (auto *secret = std::get_if<AskSecretSignal>(&*signal); secret && !sawSecret)
            sawSecret = secret->name == QStringLiteral("<VARIABLE_NAME>") &&
                        secret->explanation == QStringLiteral("<one-to-two-sentence plain-English explanation>");
        if (auto *launch = std::get_if<LaunchOverrideSignal>(&*signal)) {
            sawOverride |= launch->command == QStringLiteral("<the chosen shell command>");
            sawEscapeHatch |= launch->command == QStringLiteral("echo \"This project has nothing to start automatically.\"");
        }
    }
    EXPECT_TRUE(sawReady);
    EXPECT_TRUE(sawStuck);
    EXPECT_TRUE(sawSecret);
    EXPECT_TRUE(sawOverride);
    EXPECT_TRUE(sawEscapeHatch);
}
