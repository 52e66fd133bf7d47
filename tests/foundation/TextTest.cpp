#include "foundation/Text.h"

#include <gtest/gtest.h>

using namespace nerim;

TEST(Text, CountsUserPerceivedCharacters)
{
    EXPECT_EQ(text::characterCount(QString()), 0);
    EXPECT_EQ(text::characterCount(QStringLiteral("abc")), 3);
    EXPECT_EQ(text::characterCount(QStringLiteral("a\u2014b")), 3); // em dash is one
    // Family emoji (ZWJ sequence), a flag, a skin-tone modifier and e + combining acute.
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466");
    const QString flag = QStringLiteral("\U0001F1EB\U0001F1F7");
    const QString thumbs = QStringLiteral("\U0001F44D\U0001F3FD");
    const QString accented = QStringLiteral("e\u0301");
    EXPECT_EQ(text::characterCount(family + flag + thumbs + accented), 4);
    EXPECT_EQ(text::characterPrefix(family + flag + thumbs, 2), family + flag);
    EXPECT_EQ(text::characterPrefix(QStringLiteral("abc"), 10), QStringLiteral("abc"));
    EXPECT_EQ(text::characterPrefix(QStringLiteral("abc"), 0), QString());
    EXPECT_EQ(text::characterCount(QStringLiteral("\r\n")), 1);
}

TEST(Text, TrimsSpacesAndTabsButKeepsLineBreaks)
{
    EXPECT_EQ(text::trimSpacesAndTabs(QStringLiteral(" \t\nhello\n\t ")), QStringLiteral("\nhello\n"));
    EXPECT_EQ(text::trimmed(QStringLiteral(" \t\nhello\n\t ")), QStringLiteral("hello"));
    EXPECT_EQ(text::trimSpacesAndTabs(QStringLiteral(" \t ")), QString());
}
