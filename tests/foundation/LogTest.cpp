// Log lines carry text from agents, servers and project files: none of it may
// reach a terminal as a control sequence or split one entry into several.
#include "foundation/Log.h"

#include "TestEnvironment.h"

#include <QFile>
#include <cstdio>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace nerim;

TEST(Log, ControlCharactersAreEscaped)
{
    struct Case {
        QString line;
        QString logged;
    };
    const Case cases[] = {
        {QStringLiteral("[Nerim repair] plain text stays \u2014 as it is \U0001F600"),
         QStringLiteral("[Nerim repair] plain text stays \u2014 as it is \U0001F600")},
        {QStringLiteral("name \x1B]0;owned\x07\x1B[2J"), QStringLiteral("name \\x1B]0;owned\\x07\\x1B[2J")},
        {QStringLiteral("two\nlines\r\nand\ttab"), QStringLiteral("two\\nlines\\r\\nand\\ttab")},
        {QString(QChar(0)) + QStringLiteral("\x01\x1F\x7F"), QStringLiteral("\\x00\\x01\\x1F\\x7F")},
        // C1 controls (CSI is U+009B) and the characters right around them.
        {QStringLiteral("~\u0080\u009B31m\u009F\u00A0"), QStringLiteral("~\\u0080\\u009B31m\\u009F\u00A0")},
    };
    for (const Case &c : cases)
        EXPECT_EQ(escapedForLog(c.line), c.logged) << c.line.toStdString();

    test::LogCapture capture;
    logLine(QStringLiteral("[Nerim repair] ask for \x1B[31mRED\x1B[0m\nfake line"));
    ASSERT_EQ(capture.lines().size(), 1);
    EXPECT_EQ(capture.lines().first(), QStringLiteral("[Nerim repair] ask for \\x1B[31mRED\\x1B[0m\\nfake line"));
}

// What reaches standard error (the terminal, the journal) is one line with no
// byte of a control sequence in it.
TEST(Log, StandardErrorGetsOneEscapedLine)
{
    const QString path = test::makeTempDir() + QStringLiteral("/stderr.txt");
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    std::FILE *file = std::fopen(QFile::encodeName(path).constData(), "w");
    ASSERT_NE(file, nullptr);
    ::dup2(::fileno(file), STDERR_FILENO);
    const LogSink previous = setLogSink({});
    logLine(QStringLiteral("[Nerim] \x1B[2Jsecret name\r\n\u009B"));
    setLogSink(previous);
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::fclose(file);

    EXPECT_EQ(test::readFile(path), QByteArray("[Nerim] \\x1B[2Jsecret name\\r\\n\\u009B\n"));
}
