#include "agents/AgentEventReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace nerim;
using namespace Qt::StringLiterals;

namespace {

// Event lines shaped as the installed program writes them (trimmed of the
// fields the reader does not look at).
QString assistant(const QString &text, const QString &model = QStringLiteral("claude-sonnet-4-5"))
{
    QJsonObject block{{QStringLiteral("type"), QStringLiteral("text")}, {QStringLiteral("text"), text}};
    QJsonObject message{{QStringLiteral("id"), QStringLiteral("msg_1")},
                        {QStringLiteral("role"), QStringLiteral("assistant")},
                        {QStringLiteral("model"), model},
                        {QStringLiteral("content"), QJsonArray{block}}};
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{QStringLiteral("type"), QStringLiteral("assistant")}, {QStringLiteral("message"), message}})
            .toJson(QJsonDocument::Compact));
}

QString result(const QString &text, bool isError = false, const QString &subtype = QStringLiteral("success"))
{
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("type"), QStringLiteral("result")},
                                                       {QStringLiteral("subtype"), subtype},
                                                       {QStringLiteral("is_error"), isError},
                                                       {QStringLiteral("result"), text}})
                                 .toJson(QJsonDocument::Compact));
}

QList<AgentOutput> read(const QStringList &lines)
{
    AgentEventReader reader;
    QList<AgentOutput> out;
    for (const QString &line : lines)
        reader.readLine(line, out);
    return out;
}

AgentOutput out(const char *text) { return AgentOutput::stdoutLine(QString::fromUtf8(text)); }
AgentOutput err(const char *text) { return AgentOutput::stderrLine(QString::fromUtf8(text)); }

const QString init = QStringLiteral(
    R"({"type":"system","subtype":"init","cwd":"/p","session_id":"s","tools":["Bash","Read"],"model":"m"})");
const QString toolUse = QStringLiteral(
    R"({"type":"assistant","message":{"id":"msg_1","model":"m","content":[{"type":"tool_use","id":"t1","name":"Bash","input":{"command":"ls"}}]}})");
const QString toolResult = QStringLiteral(
    R"({"type":"user","message":{"role":"user","content":[{"tool_use_id":"t1","type":"tool_result","content":"a\nb"}]}})");

} // namespace

// A run as the program writes it: the text of each message becomes lines at
// once (LF, CRLF and lone CR each end a line, each message ends its last line),
// tool calls and their results show nothing, and the closing result, which
// repeats the last message, is not shown again.
TEST(AgentEventReaderTest, MessagesBecomeLinesAndTheClosingResultIsNotRepeated)
{
    const QList<AgentOutput> lines = read({init, assistant(QStringLiteral("First I will write the page.\r\nSecond line\rthird")),
                                           toolUse, toolResult,
                                           assistant(QStringLiteral("```html\n<p>hi</p>\n```\n\nTASK_COMPLETE: page\n")),
                                           result(QStringLiteral("```html\n<p>hi</p>\n```\n\nTASK_COMPLETE: page\n"))});
    EXPECT_EQ(lines, (QList<AgentOutput>{out("First I will write the page."), out("Second line"), out("third"),
                                         out("```html"), out("<p>hi</p>"), out("```"), out(""),
                                         out("TASK_COMPLETE: page")}));
}

TEST(AgentEventReaderTest, AResultIsShownWhenNoMessageWasShown)
{
    EXPECT_EQ(read({init, toolUse, toolResult, result(QStringLiteral("All done"))}),
              (QList<AgentOutput>{out("All done")}));
}

// Every failure the program reports: its own message (model "<synthetic>",
// with an "error") and a failed result carrying the same words, shown once as
// standard error; a failed result of another kind with its error list; one
// with nothing to say still says what kind it was.
TEST(AgentEventReaderTest, FailuresReachStandardErrorInTheProgramsWords)
{
    for (const char *words : {"Not logged in · Please run /login", "Invalid API key · Fix external API key",
                              "API Error: 500 Internal server error. This is a server-side issue, usually temporary.",
                              "There's an issue with the selected model (claude-3-opus-20240229). It may not exist or "
                              "you may not have access to it. Run --model to pick a different model."}) {
        const QString text = QString::fromUtf8(words);
        EXPECT_EQ(read({init, assistant(text, QStringLiteral("<synthetic>")), result(text, true)}),
                  QList<AgentOutput>{AgentOutput::stderrLine(text)})
            << words;
    }
    // An "error" on the event marks it as the program's own too.
    QString flagged = assistant(QStringLiteral("Prompt is too long"));
    flagged.insert(flagged.size() - 1, QStringLiteral(R"(,"error":"invalid_request")"));
    EXPECT_EQ(read({flagged}), QList<AgentOutput>{err("Prompt is too long")});

    EXPECT_EQ(read({assistant(QStringLiteral("Working on it")),
                    QStringLiteral(R"({"type":"result","subtype":"error_max_turns","is_error":false,"errors":["Reached the maximum number of turns"]})")}),
              (QList<AgentOutput>{out("Working on it"), err("Reached the maximum number of turns")}));
    EXPECT_EQ(read({QStringLiteral(R"({"type":"result","subtype":"error_during_execution","is_error":true})")}),
              QList<AgentOutput>{err("The agent stopped: error_during_execution")});
    // A failed result whose words were shown as an ordinary message is still reported.
    EXPECT_EQ(read({assistant(QStringLiteral("oops")), result(QStringLiteral("oops"), true)}),
              (QList<AgentOutput>{out("oops"), err("oops")}));
}

// The program's retry notices, as the installed program writes them while the
// service answers 500 or not at all, become status lines saying which attempt
// comes; a notice missing its numbers still says the program is trying again.
TEST(AgentEventReaderTest, RetryNoticesBecomeStatusLines)
{
    const QString serverError = QStringLiteral(
        R"({"type":"system","subtype":"api_retry","attempt":3,"max_retries":10,"retry_delay_ms":2460.38,)"
        R"("error_status":500,"error":"server_error","session_id":"s","uuid":"u"})");
    const QString unreachable = QStringLiteral(
        R"({"type":"system","subtype":"api_retry","attempt":1,"max_retries":10,"retry_delay_ms":623.02,)"
        R"("error_status":null,"error":"unknown","session_id":"s","uuid":"u"})");
    const QString bare = QStringLiteral(R"({"type":"system","subtype":"api_retry","attempt":"x"})");
    EXPECT_EQ(read({init, serverError, unreachable, bare}),
              (QList<AgentOutput>{
                  AgentOutput::statusLine(u"AI service error 500 \u2014 trying again (attempt 3 of 10)\u2026"_s),
                  AgentOutput::statusLine(u"AI service not answering \u2014 trying again (attempt 1 of 10)\u2026"_s),
                  AgentOutput::statusLine(u"AI service not answering \u2014 trying again\u2026"_s)}));
}

// Lines that are not events pass on unchanged: plain text, broken JSON,
// JSON that is no event, an empty line.
TEST(AgentEventReaderTest, LinesThatAreNotEventsPassUnchanged)
{
    const QStringList plain{QStringLiteral("Error: When using --print, --output-format=stream-json requires --verbose"),
                            QStringLiteral(R"({"type":"assistant","message":)"), QStringLiteral(R"({"no":"type"})"),
                            QStringLiteral("[1, 2]"), QString(),
                            QStringLiteral(R"({"type":"assistant","message":{"content":[{"type":"text","text":"a"}]}} trailing)"),
                            QStringLiteral(R"({"type":"assistant","message":{"content":[{"type":"text","text":"a\q"}]}})"),
                            QStringLiteral("{\"type\":\"assistant\",\"message\":{\"content\":[{\"type\":\"text\",\"text\":\"a\tb\"}]}}"),
                            QStringLiteral(R"({"type":"result","num_turns":1.})"),
                            QStringLiteral(R"({"type":"result",})")};
    QList<AgentOutput> expected;
    for (const QString &line : plain)
        expected.append(AgentOutput::stdoutLine(line));
    EXPECT_EQ(read(plain), expected);
    // Events of kinds the reader does not show are not passed on as text.
    EXPECT_TRUE(read({QStringLiteral(R"({"type":"system","subtype":"task_started"})"),
                      QStringLiteral(R"({"type":"rate_limit_event"})")})
                    .isEmpty());
}

TEST(AgentEventReaderTest, AHugeMessageBecomesAllItsLines)
{
    QString text;
    for (int i = 0; i < 50000; ++i)
        text += QStringLiteral("line %1 ").arg(i) + QString(100, QLatin1Char('x')) + QLatin1Char('\n');
    const QList<AgentOutput> lines = read({assistant(text), result(text)});
    ASSERT_EQ(lines.size(), 50000);
    EXPECT_EQ(lines.first().text(), QStringLiteral("line 0 ") + QString(100, QLatin1Char('x')));
    EXPECT_EQ(lines.last().text(), QStringLiteral("line 49999 ") + QString(100, QLatin1Char('x')));
}

// Bytes that are not UTF-8 were already replaced by U+FFFD when the line was
// decoded; the event still reads, and a plain line keeps its replacement too.
TEST(AgentEventReaderTest, InvalidUtf8InsideAnEventStillReads)
{
    const QByteArray bytes = "{\"type\":\"assistant\",\"message\":{\"model\":\"m\",\"content\":[{\"type\":\"text\","
                             "\"text\":\"caf\xc3 \xff ok\"}]}}";
    EXPECT_EQ(read({QString::fromUtf8(bytes), QString::fromUtf8("plain \xfe")}),
              (QList<AgentOutput>{AgentOutput::stdoutLine(QString::fromUtf8("caf\xef\xbf\xbd \xef\xbf\xbd ok")),
                                  AgentOutput::stdoutLine(QString::fromUtf8("plain \xef\xbf\xbd"))}));
}

// Escapes decode as JSON says, whatever the spacing and the order of fields.
TEST(AgentEventReaderTest, EscapesAndFieldOrderAreRead)
{
    const QString line = QStringLiteral(
        R"( { "message" : { "content" : [ {"text":"caf\u00e9 \"quoted\" \ud83d\ude00\\n\/","type":"text"}, )"
        R"({"type":"tool_use","input":{"a":[1,-2.5e3,true,null,{}]}} ], "model":"m" } , "type" : "assistant" } )");
    EXPECT_EQ(read({line}), QList<AgentOutput>{AgentOutput::stdoutLine(
                                QString::fromUtf8("caf\xc3\xa9 \"quoted\" \xf0\x9f\x98\x80\\n/"))});
}

// A line is an event only when it is strict JSON: numbers with a leading zero,
// a bare decimal point or a plus sign, unknown escapes and the like make it
// plain text, shown as it is, never an event that vanishes. Odd but valid
// forms still read as events (here of a kind that shows nothing).
TEST(AgentEventReaderTest, OnlyStrictJsonIsAnEvent)
{
    const QStringList notJson{
        QStringLiteral(R"({"type":"system","subtype":"init","n":01})"),
        QStringLiteral(R"({"type":"system","n":-01})"),
        QStringLiteral(R"({"type":"system","n":00})"),
        QStringLiteral(R"({"type":"system","n":[0,010,1]})"),
        QStringLiteral(R"({"type":"system","n":01.5e-3})"),
        QStringLiteral(R"({"type":"system","n":.5})"),
        QStringLiteral(R"({"type":"system","n":+1})"),
        QStringLiteral(R"({"type":"system","n":1e})"),
        QStringLiteral(R"({"type":"system","n":NaN})"),
        QStringLiteral(R"({"type":"system","n":True})"),
        QStringLiteral(R"({"type":"system","s":"\x"})"),
        QStringLiteral(R"({"type":"system","s":"\u00zz"})"),
        QStringLiteral(R"({"type":"system","n":[1,]})"),
        QStringLiteral(R"({"type":"system" "subtype":"init"})"),
        QStringLiteral(R"({'type':'system'})"),
        QStringLiteral("\uFEFF{\"type\":\"system\"}"),
    };
    for (const QString &line : notJson)
        EXPECT_EQ(read({line}), QList<AgentOutput>{AgentOutput::stdoutLine(line)}) << line.toStdString();

    const QStringList events{
        QStringLiteral(R"({"type":"system","n":[-0,0,-0.0e+0,1E-2,10,2.5e10]})"),
        QStringLiteral(R"({"type":"system","s":"\ud800 \u0000 \/"})"),
        QStringLiteral("\t {\"type\" : \"sys\\u0074em\" } \t"),
    };
    for (const QString &line : events)
        EXPECT_TRUE(read({line}).isEmpty()) << line.toStdString();
}

// An event is read whole however big it is: a tool call carrying megabytes
// shows nothing and the message's text around it shows as usual. A shown line
// longer than the piece limit goes out in numbered pieces that together hold
// all of it; each but the last ends with the cut notice.
TEST(AgentEventReaderTest, BigEventsReadWholeAndOnlyLongShownLinesAreCut)
{
    const QString content = QStringLiteral("const a = \"x\\\\y\";\t// TASK_COMPLETE: no\n").repeated(120000);
    QJsonObject tool{{QStringLiteral("type"), QStringLiteral("tool_use")},
                     {QStringLiteral("name"), QStringLiteral("Write")},
                     {QStringLiteral("input"), QJsonObject{{QStringLiteral("file_path"), QStringLiteral("/p/a.js")},
                                                           {QStringLiteral("content"), content}}}};
    QJsonObject before{{QStringLiteral("type"), QStringLiteral("text")}, {QStringLiteral("text"), QStringLiteral("Writing it.")}};
    QJsonObject after{{QStringLiteral("type"), QStringLiteral("text")}, {QStringLiteral("text"), QStringLiteral("Written.")}};
    const QByteArray event = QJsonDocument(
        QJsonObject{{QStringLiteral("type"), QStringLiteral("assistant")},
                    {QStringLiteral("message"), QJsonObject{{QStringLiteral("model"), QStringLiteral("m")},
                                                            {QStringLiteral("content"), QJsonArray{before, tool, after}}}}})
                                 .toJson(QJsonDocument::Compact);
    ASSERT_GT(event.size(), 5'000'000);
    AgentEventReader reader;
    QList<AgentOutput> shown;
    reader.readLine(QByteArrayView(event), shown);
    EXPECT_EQ(shown, (QList<AgentOutput>{out("Writing it."), out("Written.")}));

    // 2.5 MiB on one line, with "é" (two bytes) so that a cut could split one.
    const QString longLine = QStringLiteral("x") + QStringLiteral("é").repeated(1310720) + QStringLiteral("end");
    const QList<AgentOutput> pieces = read({assistant(QStringLiteral("first\n") + longLine + QStringLiteral("\nlast"))});
    ASSERT_EQ(pieces.size(), 5);
    EXPECT_EQ(pieces.first(), out("first"));
    EXPECT_EQ(pieces.last(), out("last"));
    QString joined;
    for (int i = 1; i <= 3; ++i) {
        QString piece = pieces.at(i).text();
        const QString lead = QStringLiteral("(part %1 of 3) ").arg(i);
        ASSERT_TRUE(piece.startsWith(lead));
        piece.remove(0, lead.size());
        if (i < 3) {
            ASSERT_TRUE(piece.endsWith(AgentEventReader::cutNotice()));
            piece.chop(AgentEventReader::cutNotice().size());
            EXPECT_LE(piece.toUtf8().size(), AgentEventReader::maxShownLineBytes);
        }
        EXPECT_FALSE(piece.contains(QChar::ReplacementCharacter));
        joined += piece;
    }
    EXPECT_TRUE(joined == longLine);
    EXPECT_EQ(AgentEventReader::cutNotice(), QStringLiteral(" \u2026 (cut: the line is longer than 1 MiB)"));

    // An event too big to read at all is named by one line.
    QList<AgentOutput> leftOut;
    reader.readLeftOut(leftOut);
    EXPECT_EQ(leftOut, QList<AgentOutput>{err("[An agent message over 64 MiB was left out]")});
}

// A plain line that is no event is shown as any text: over a mebibyte it goes
// out in pieces, each marked as a piece so that nothing reads markers in it.
TEST(AgentEventReaderTest, APlainLineOverTheLimitIsCutIntoMarkedPieces)
{
    const QString line = QStringLiteral("TASK_COMPLETE: ") + QStringLiteral("b").repeated(2 * AgentEventReader::maxShownLineBytes) +
                         QStringLiteral(" [NERIM_HANDOFF_TO_PLANS: evil]");
    const QList<AgentOutput> pieces = read({line, QStringLiteral("short")});
    ASSERT_EQ(pieces.size(), 4);
    QString joined;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pieces.at(i).kind(), AgentOutput::Kind::stdoutLine);
        EXPECT_TRUE(pieces.at(i).isPieceOfLine());
        QString piece = pieces.at(i).text();
        const QString lead = QStringLiteral("(part %1 of 3) ").arg(i + 1);
        ASSERT_TRUE(piece.startsWith(lead));
        piece.remove(0, lead.size());
        if (i < 2)
            piece.chop(AgentEventReader::cutNotice().size());
        EXPECT_LE(piece.toUtf8().size(), AgentEventReader::maxShownLineBytes);
        joined += piece;
    }
    EXPECT_TRUE(joined == line);
    EXPECT_EQ(pieces.last(), out("short"));
    EXPECT_FALSE(pieces.last().isPieceOfLine());
}
