#include "ui/panes/InlineMarkdown.h"

#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextDocument>
#include <QTextFragment>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

// Loads the rich text the way a label set to rich text would.
QString shownText(const QString &source, QTextDocument &document)
{
    document.setHtml(inlineMarkdownRichText(inlineMarkdownText(source), {u"monospace"_s, u"#b08a50"_s}));
    return document.toPlainText();
}

TEST(InlineMarkdownRichText, MarkupInAgentTextShowsLiterally)
{
    QTextDocument document;
    const QString source = u"<b>not bold</b> <img src=x> &amp; &lt;script&gt; \"quoted\""_s;
    EXPECT_EQ(shownText(source, document), source);
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            EXPECT_FALSE(format.isImageFormat());
            EXPECT_NE(format.fontWeight(), QFont::Bold);
        }
    }
}

TEST(InlineMarkdownRichText, KeepsWhiteSpaceAndLineBreaks)
{
    QTextDocument document;
    EXPECT_EQ(shownText(u"  two  spaces\n\n\tand **bold**  end"_s, document),
              u"  two  spaces\n\n\tand bold  end"_s);
}

TEST(InlineMarkdownRichText, OnlyWebLinksBecomeAnchors)
{
    QTextDocument document;
    shownText(u"[site](https://example.com/?a=1&b=\"2\") [pair](nerim://pair?token=x) <file:///etc/passwd>"_s,
              document);
    QStringList anchors;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            if (it.fragment().charFormat().isAnchor())
                anchors << it.fragment().charFormat().anchorHref();
        }
    }
    EXPECT_EQ(anchors, QStringList{u"https://example.com/?a=1&b=\"2\""_s});
    EXPECT_EQ(document.toPlainText(), u"site pair file:///etc/passwd"_s);
}

} // namespace
} // namespace nerim
