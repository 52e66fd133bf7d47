#include "ui/panes/MarkdownTextLabel.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/panes/InlineMarkdown.h"

#include <QDesktopServices>
#include <QUrl>

namespace nerim {

MarkdownTextLabel::MarkdownTextLabel(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::RichText);
    setWordWrap(true);
    setOpenExternalLinks(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    connect(this, &QLabel::linkActivated, this, [](const QString &link) {
        if (isOpenableLink(link))
            QDesktopServices::openUrl(QUrl(link, QUrl::TolerantMode));
    });
}

void MarkdownTextLabel::setMarkdown(const QString &text)
{
    if (text == m_markdown && !this->text().isEmpty())
        return;
    m_markdown = text;
    const InlineMarkdownStyle style{Font::make(NmFontSpecs::mono).family(), qColor(NmColor::accent).name()};
    setText(inlineMarkdownRichText(inlineMarkdownText(text), style));
}

} // namespace nerim
