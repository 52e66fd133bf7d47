// The Plans agent on the canvas, end to end: the canvas's calls go through the
// application's own Messages request builder, with a test key in the key
// file, to a loopback server standing in for the model.
#include "CanvasFixture.h"
#include "LoopbackHttpServer.h"
#include "credentials/CredentialTestSeams.h"
#include "credentials/FakeSecretStore.h"
#include "foundation/DisplayPath.h"
#include "foundation/UuidText.h"
#include "persistence/IntentProcessorConstants.h"
#include "plans/PlansWorkspaceStore.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>

using namespace nerim;
using namespace nerim::test;
using Reply = LoopbackHttpServer::Reply;

namespace {

QByteArray answer(const QString &text)
{
    return QJsonDocument(QJsonObject{{"id", "msg_1"},
                                     {"content", QJsonArray{QJsonObject{{"type", "text"}, {"text", text}}}}})
        .toJson(QJsonDocument::Compact);
}

QJsonArray messagesOf(const LoopbackHttpServer::Request &request)
{
    return request.json().object().value(QStringLiteral("messages")).toArray();
}

QString lastUserMessage(const LoopbackHttpServer::Request &request)
{
    return messagesOf(request).last().toObject().value(QStringLiteral("content")).toString();
}

QStringList turnTexts(const PlanState &plan)
{
    QStringList texts;
    for (const PlanTurn &turn : plan.conversation())
        texts.append((turn.role == PlanTurn::Role::user ? QStringLiteral("user: ") : QStringLiteral("agent: ")) +
                     turn.content);
    return texts;
}

QStringList fileNames(const QList<PlansWorkspaceStore::File> &files)
{
    QStringList names;
    for (const PlansWorkspaceStore::File &file : files)
        names.append(file.filename);
    return names;
}

const QString twoStepPlan = QStringLiteral(
    "Here's a start.\n<steps_update>{\"goal\":\"Sell bread online\",\"steps\":["
    "{\"previous_id\":null,\"title\":\"Menu page\",\"detail\":\"\"},"
    "{\"previous_id\":null,\"title\":\"Order form\",\"detail\":\"Pickup only\"}]}</steps_update>");

class CanvasPlansTest : public CanvasTest {
protected:
    void SetUp() override
    {
        CanvasTest::SetUp();
        credentials_testing::setSecretStore(std::make_shared<FakeSecretStore>());
        credentials_testing::setPublicAnthropicBase(server.baseUrl().toString());
    }

    void TearDown() override
    {
        CanvasTest::TearDown();
        credentials_testing::setPublicAnthropicBase(QString());
        credentials_testing::setSecretStore(nullptr);
    }

    static void giveAnthropicKey()
    {
        ASSERT_TRUE(writeFile(IntentProcessorConstants::apiKeysFilePath(), R"({"anthropic":"sk-ant-canvas-test"})"));
    }

    QString plansFolder() const { return project + QStringLiteral("/.nerim/plans"); }
    static QString keyFile() { return pathForDisplay(IntentProcessorConstants::apiKeysFilePath()); }

    LoopbackHttpServer server;
};

} // namespace

TEST_F(CanvasPlansTest, TheFirstMessageCarriesTheFileTreeAndARevisedPlanRewritesTheOverview)
{
    giveAnthropicKey();
    writeFile(project + QStringLiteral("/index.html"), "<h1>Bakery</h1>");
    open();
    server.enqueue(Reply::json(200, answer(twoStepPlan)));
    canvas->setPromptTarget(PromptTarget::plans());
    submit(QStringLiteral("  Plan a bakery site \n"));

    EXPECT_TRUE(canvas->inputPrompt().isEmpty());
    EXPECT_TRUE(canvas->plan().isVisible());
    EXPECT_EQ(turnTexts(canvas->plan()),
              (QStringList{QStringLiteral("user: Plan a bakery site"), QStringLiteral("agent: Here's a start.")}));
    EXPECT_TRUE(canvas->plan().conversation().last().revisedPlan);
    ASSERT_EQ(canvas->plan().steps().size(), 2);
    EXPECT_EQ(canvas->plan().goal(), QStringLiteral("Sell bread online"));
    EXPECT_FALSE(canvas->plan().isGenerating());
    EXPECT_FALSE(canvas->plan().lastError());
    EXPECT_TRUE(readFile(plansFolder() + QStringLiteral("/overview.md")).contains("Sell bread online"));
    ASSERT_FALSE(canvas->plan().workspaceFiles().isEmpty());
    EXPECT_EQ(canvas->plan().workspaceFiles().first().filename, QStringLiteral("overview.md"));

    ASSERT_EQ(server.requestCount(), 1);
    const auto first = server.requests().at(0);
    EXPECT_EQ(first.header("x-api-key"), QByteArray("sk-ant-canvas-test"));
    EXPECT_EQ(first.json().object().value(QStringLiteral("model")).toString(),
              modelId(canvas->modelPreference().choice()));
    const QString firstMessage = lastUserMessage(first);
    EXPECT_TRUE(firstMessage.contains(QStringLiteral("Project: Project\nPath: ") + project)) << firstMessage.toStdString();
    EXPECT_TRUE(firstMessage.contains(QStringLiteral("[PROJECT FILE TREE]"))) << firstMessage.toStdString();
    EXPECT_TRUE(firstMessage.contains(QStringLiteral("index.html"))) << firstMessage.toStdString();
    EXPECT_TRUE(firstMessage.endsWith(QStringLiteral("Plan a bakery site"))) << firstMessage.toStdString();

    // A later reply without a plan changes neither the steps nor the plan files.
    const QList<PlanStep> steps = canvas->plan().steps();
    const QList<PlansWorkspaceStore::File> files = canvas->plan().workspaceFiles();
    const QByteArray overview = readFile(plansFolder() + QStringLiteral("/overview.md"));
    server.enqueue(Reply::json(200, answer(QStringLiteral("Pickup only sounds right."))));
    await(canvas->sendPlansMessage(QStringLiteral("No delivery, please")));

    ASSERT_EQ(server.requestCount(), 2);
    const auto second = server.requests().at(1);
    EXPECT_EQ(messagesOf(second).size(), 3);
    EXPECT_FALSE(lastUserMessage(second).contains(QStringLiteral("index.html")));
    EXPECT_EQ(canvas->plan().conversation().size(), 4);
    EXPECT_FALSE(canvas->plan().conversation().last().revisedPlan);
    EXPECT_EQ(canvas->plan().steps(), steps);
    EXPECT_EQ(canvas->plan().workspaceFiles(), files);
    EXPECT_EQ(readFile(plansFolder() + QStringLiteral("/overview.md")), overview);
}

TEST_F(CanvasPlansTest, AFailedCallShowsOneSentenceAndKeepsTheUsersTurn)
{
    giveAnthropicKey();
    open();
    server.enqueue(Reply::json(429, R"({"type":"error","error":{"type":"rate_limit_error"}})"));
    await(canvas->sendPlansMessage(QStringLiteral("Plan a bakery site")));
    EXPECT_EQ(canvas->plan().lastError(),
              QStringLiteral("Nerim hit a rate limit with the planning agent. Try again in a minute."));
    EXPECT_EQ(turnTexts(canvas->plan()), QStringList{QStringLiteral("user: Plan a bakery site")});
    EXPECT_FALSE(canvas->plan().isGenerating());

    server.enqueue(Reply::json(401, R"({"type":"error","error":{"type":"authentication_error"}})"));
    await(canvas->sendPlansMessage(QStringLiteral("Try again")));
    EXPECT_EQ(canvas->plan().lastError(),
              QStringLiteral("Nerim couldn't authenticate with the planning agent. Check the key in "
                             "~/.local/share/Nerim/api-keys.json."));

    server.enqueue(Reply::json(200, "this is not JSON"));
    await(canvas->sendPlansMessage(QStringLiteral("Once more")));
    EXPECT_EQ(canvas->plan().lastError(), QStringLiteral("The planning agent returned something unexpected. Try "
                                                         "again \u2014 a fresh run usually works."));

    // A success clears the sentence; the failed turns stay without answers.
    server.enqueue(Reply::json(200, answer(QStringLiteral("Here now."))));
    await(canvas->sendPlansMessage(QStringLiteral("Hello?")));
    EXPECT_FALSE(canvas->plan().lastError());
    EXPECT_EQ(turnTexts(canvas->plan()),
              (QStringList{QStringLiteral("user: Plan a bakery site"), QStringLiteral("user: Try again"),
                           QStringLiteral("user: Once more"), QStringLiteral("user: Hello?"),
                           QStringLiteral("agent: Here now.")}));
    // The turns were saved as they were made.
    SerialFileWriter::shared().flush();
    EXPECT_EQ(PlanState::readFile(project + QStringLiteral("/.nerim/plan.json")).conversation.size(), 5);
}

TEST_F(CanvasPlansTest, WithoutAnOwnKeyBothCallsNameTheKeyFileAndSendNothing)
{
    open();
    await(canvas->sendPlansMessage(QStringLiteral("Plan a bakery site")));
    EXPECT_EQ(canvas->plan().lastError(),
              QStringLiteral("Planning is off until you add an Anthropic key to %1.").arg(keyFile()));
    EXPECT_TRUE(keyFile().startsWith(QStringLiteral("~/")));

    await(canvas->organizePlans());
    EXPECT_EQ(canvas->plan().lastError(),
              QStringLiteral("Organize needs an Anthropic key \u2014 add one in Settings, or to the key file %1.")
                  .arg(keyFile()));
    EXPECT_FALSE(canvas->plan().isOrganizing());
    EXPECT_EQ(server.requestCount(), 0);
}

TEST(PlansErrorMessage, TheFirstMatchingGroupDecides)
{
    const QString misconfigured =
        QStringLiteral("Nerim's planning model is misconfigured. This is a bug on our end \u2014 check for an app update.");
    const QString rateLimited = QStringLiteral("Nerim hit a rate limit with the planning agent. Try again in a minute.");
    const QString unreachable = QStringLiteral("Couldn't reach the planning agent. Check your connection and try again.");
    const QString unknown = QStringLiteral("Something went wrong producing your plan. Try again \u2014 if it keeps "
                                           "failing, check Nerim's log in the system journal for details.");
    const QList<QPair<QString, QString>> cases = {
        {QStringLiteral("httpError(status: 429, body: \"slow down\")"), rateLimited},
        {QStringLiteral("NOT_FOUND model, rate_limit too"), misconfigured},
        {QStringLiteral("network error 4 (timedOut): The request timed out."), unreachable},
        {QStringLiteral("httpError(status: 500, body: \"oops\")"), unknown},
        {QStringLiteral("notConfigured"), unknown},
    };
    for (const auto &[failure, sentence] : cases)
        EXPECT_EQ(ProjectCanvasViewModel::plansErrorMessage(failure), sentence) << failure.toStdString();
    EXPECT_TRUE(ProjectCanvasViewModel::plansErrorMessage(QStringLiteral("status: 403 permission_error"))
                    .startsWith(QStringLiteral("Nerim couldn't authenticate")));
}

// While the agent answers, the user's next message stays in the prompt bar
// (and its draft on disk), and an agent's hand-off waits its turn.
TEST_F(CanvasPlansTest, AMessageDuringAReplyStaysInTheBarAndAHandOffIsSentAfterIt)
{
    giveAnthropicKey();
    open();
    server.enqueue(Reply::json(200, answer(QStringLiteral("First reply."))).delayed(1500));
    server.enqueue(Reply::json(200, answer(QStringLiteral("Added the contact page."))));
    canvas->setPromptTarget(PromptTarget::plans());
    canvas->setInputPrompt(QStringLiteral("Plan a bakery site"));
    QCoro::Task<> replying = canvas->submitPrompt(ContextEntry::PromptSource::text);
    ASSERT_TRUE(server.waitForRequests(1));
    ASSERT_TRUE(canvas->plan().isGenerating());

    canvas->setInputPrompt(QStringLiteral("and a blog"));
    canvas->scheduleDraftSave();
    ASSERT_TRUE(waitUntil([&] { return !canvas->hasPendingDraftSave(); }));
    await(canvas->submitPrompt(ContextEntry::PromptSource::text));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("and a blog"));
    // A topic said to the automatic target waits the same way.
    canvas->setPromptTarget(PromptTarget::automatic());
    canvas->setInputPrompt(QStringLiteral("plan a blog with weekly recipes"));
    await(canvas->submitPrompt(ContextEntry::PromptSource::text));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("plan a blog with weekly recipes"));
    SerialFileWriter::shared().flush();
    EXPECT_EQ(readFile(project + QStringLiteral("/.nerim/draft.txt")), QByteArray("and a blog"));

    await(canvas->sendPlansMessage(QStringLiteral(" Add a contact page "),
                                   ProjectCanvasViewModel::PlansMessageOrigin::agentHandoff));
    EXPECT_EQ(canvas->pendingPlansHandoffs(), QStringList{QStringLiteral("Add a contact page")});
    EXPECT_EQ(canvas->plan().conversation().size(), 1);

    await(std::move(replying));
    EXPECT_EQ(turnTexts(canvas->plan()),
              (QStringList{QStringLiteral("user: Plan a bakery site"), QStringLiteral("agent: First reply."),
                           QStringLiteral("user: Add a contact page"),
                           QStringLiteral("agent: Added the contact page.")}));
    EXPECT_TRUE(canvas->pendingPlansHandoffs().isEmpty());
    EXPECT_FALSE(canvas->plan().isGenerating());
    EXPECT_EQ(server.requestCount(), 2);
}

TEST_F(CanvasPlansTest, OrganizeWritesTheFilesAndCountsTheOnesThatCouldNotBeWritten)
{
    giveAnthropicKey();
    open();
    await(canvas->organizePlans());
    EXPECT_EQ(canvas->plan().lastError(),
              QStringLiteral("There's nothing to organize yet \u2014 start a conversation with the plans agent first."));
    EXPECT_EQ(server.requestCount(), 0);

    // Steps alone are enough; the files already there are shown to the agent.
    canvas->plan().setSteps({PlanStep{newUuid(), QStringLiteral("Menu page"), QString(), PlanStep::Status::pending}});
    writeFile(plansFolder() + QStringLiteral("/notes.md"), "Old notes");
    server.enqueue(Reply::json(200, answer(QStringLiteral("Organized the plan into an overview and an auth plan.\n"
                                                          "<file name=\"overview.md\"># Overview</file>\n"
                                                          "<file name=\"auth.md\"># Auth</file>")))
                       .delayed(300));
    QCoro::Task<> organizing = canvas->organizePlans();
    ASSERT_TRUE(server.waitForRequests(1));
    await(canvas->organizePlans()); // refused while the first runs
    await(std::move(organizing));
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_TRUE(lastUserMessage(server.requests().at(0)).contains(QStringLiteral("--- FILE: notes.md ---\nOld notes")));
    EXPECT_EQ(readFile(plansFolder() + QStringLiteral("/auth.md")), QByteArray("# Auth"));
    EXPECT_EQ(fileNames(canvas->plan().workspaceFiles()),
              (QStringList{QStringLiteral("overview.md"), QStringLiteral("auth.md"), QStringLiteral("notes.md")}));
    EXPECT_EQ(turnTexts(canvas->plan()),
              QStringList{QStringLiteral("agent: Organized the plan into an overview and an auth plan.")});
    EXPECT_FALSE(canvas->plan().conversation().last().revisedPlan);
    EXPECT_FALSE(canvas->plan().lastError());
    EXPECT_FALSE(canvas->plan().isOrganizing());

    // A file that cannot be written (a folder holds its name) is counted, not hidden.
    ASSERT_TRUE(QDir().mkpath(plansFolder() + QStringLiteral("/design.md")));
    server.enqueue(Reply::json(200, answer(QStringLiteral("<file name=\"overview.md\"># Overview 2</file>\n"
                                                          "<file name=\"design.md\"># Design</file>"))));
    await(canvas->organizePlans());
    EXPECT_EQ(canvas->plan().conversation().last().content, QStringLiteral("Organized 1 of 2 files."));
    EXPECT_EQ(canvas->plan().lastError(), QStringLiteral("Couldn't write 1 of the 2 plan files \u2014 check Nerim's "
                                                         "log in the system journal for details."));
    EXPECT_EQ(readFile(plansFolder() + QStringLiteral("/overview.md")), QByteArray("# Overview 2"));

    server.enqueue(Reply::json(500, R"({"type":"error","error":{"type":"api_error"}})"));
    await(canvas->organizePlans());
    EXPECT_EQ(canvas->plan().lastError(), ProjectCanvasViewModel::plansErrorMessage(QStringLiteral("status: 500")));
    EXPECT_FALSE(canvas->plan().isOrganizing());
}

// An agent that prints hand-off lines while Plans answers costs one more call
// per run, with its latest words, not one call per line.
TEST_F(CanvasPlansTest, HandOffsWhileAReplyRunsWaitOnePerRunAndRepeatsAreDropped)
{
    giveAnthropicKey();
    open();
    server.enqueue(Reply::json(200, answer(QStringLiteral("First reply."))).delayed(1500));
    server.enqueue(Reply::json(200, answer(QStringLiteral("Noted the menu."))));
    server.enqueue(Reply::json(200, answer(QStringLiteral("Noted the form."))));

    provider->enqueue(FakeAgentProvider::running());
    provider->enqueue(FakeAgentProvider::running());
    canvas->spawnAgents(2);
    AgentPaneState *first = canvas->panes().at(0);
    AgentPaneState *second = canvas->panes().at(1);
    await(canvas->sendToPane(first, QStringLiteral("menu"), ContextEntry::PromptSource::text));
    await(canvas->sendToPane(second, QStringLiteral("form"), ContextEntry::PromptSource::text));
    const QUuid firstRun = first->currentSession()->id;
    const QUuid secondRun = second->currentSession()->id;

    const auto handOff = [&](const QUuid &run, const QString &text) {
        provider->yieldEvent(run, AgentOutput::stdoutLine(QStringLiteral("[NERIM_HANDOFF_TO_PLANS: %1]").arg(text)));
    };
    handOff(firstRun, QStringLiteral("Plan the menu"));
    ASSERT_TRUE(server.waitForRequests(1));
    ASSERT_TRUE(canvas->plan().isGenerating());

    handOff(firstRun, QStringLiteral("Plan the menu"));       // the one being answered: dropped
    handOff(firstRun, QStringLiteral("Menu has prices now")); // waits
    handOff(firstRun, QStringLiteral("Menu is done"));        // replaces the one before
    handOff(secondRun, QStringLiteral("Form is done"));       // another run: waits too
    handOff(secondRun, QStringLiteral("Menu is done"));       // an exact repeat: dropped
    ASSERT_TRUE(waitUntil([&] { return canvas->pendingPlansHandoffs().size() == 2 &&
                                       lineTexts(second).contains(ProjectCanvasViewModel::handoffRepeatedLine()); }));
    EXPECT_EQ(canvas->pendingPlansHandoffs(),
              (QStringList{QStringLiteral("Menu is done"), QStringLiteral("Form is done")}));
    EXPECT_EQ(lineTexts(first).count(ProjectCanvasViewModel::handoffRepeatedLine()), 1);
    EXPECT_EQ(lineTexts(first).count(ProjectCanvasViewModel::handoffReplacedLine()), 1);

    ASSERT_TRUE(waitUntil([&] { return canvas->plan().conversation().size() == 6 && !canvas->plan().isGenerating(); }));
    EXPECT_EQ(server.requestCount(), 3);
    EXPECT_EQ(turnTexts(canvas->plan()),
              (QStringList{QStringLiteral("user: Plan the menu"), QStringLiteral("agent: First reply."),
                           QStringLiteral("user: Menu is done"), QStringLiteral("agent: Noted the menu."),
                           QStringLiteral("user: Form is done"), QStringLiteral("agent: Noted the form.")}));
}

// A message left without an answer (no key, or the app ended during the call)
// is explained whenever the conversation is shown again.
TEST_F(CanvasPlansTest, ARestoredUnansweredMessageSaysWhyItHasNoAnswer)
{
    open();
    await(canvas->sendPlansMessage(QStringLiteral("Plan a bakery site")));
    ASSERT_EQ(canvas->plan().conversation().size(), 1);
    EXPECT_EQ(canvas->plan().lastError(), ProjectCanvasViewModel::plansKeyMissingMessage());

    // Leaving and coming back: the message is shown again, and so is why.
    reopen();
    ASSERT_EQ(canvas->plan().conversation().size(), 1);
    EXPECT_EQ(canvas->plan().lastError(), ProjectCanvasViewModel::plansKeyMissingMessage());

}

TEST_F(CanvasPlansTest, AMessageLeftDuringItsReplySaysSoWhenShownAgain)
{
    giveAnthropicKey();
    open();
    server.enqueue(Reply::json(200, answer(QStringLiteral("Too late."))).delayed(1500));
    QCoro::Task<> replying = canvas->sendPlansMessage(QStringLiteral("Plan a bakery site"));
    ASSERT_TRUE(server.waitForRequests(1));
    reopen();
    ASSERT_EQ(canvas->plan().conversation().size(), 1);
    EXPECT_EQ(canvas->plan().lastError(), ProjectCanvasViewModel::plansUnansweredMessage());
    await(std::move(replying));
}
