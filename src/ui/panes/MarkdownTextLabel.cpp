#include "ui/panes/MarkdownTextLabel.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/panes/InlineMarkdown.h"

#include <QDesktopServices>
#include <QEvent>
#include <QUrl>

namespace nerim {

MarkdownTextLabel::MarkdownTextLabel(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::RichText);
    setWordWrap(true);
    setOpenExternalLinks(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    // Selecting with the mouse leaves the keyboard in the prompt field.
    setFocusPolicy(Qt::NoFocus);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    connect(this, &QLabel::linkActivated, this, [](const QString &link) {
        if (isOpenableLink(link))
            QDesktopServices::openUrl(QUrl(link, QUrl::TolerantMode));
    });
}

QSize MarkdownTextLabel::minimumSizeHint() const { return {0, fontMetrics().height()}; }

QSize MarkdownTextLabel::sizeHint() const
{
    const int width = this->width() > 0 ? this->width() : 320;
    return {width, heightForWidth(width)};
}

int MarkdownTextLabel::heightForWidth(int width) const
{
    if (width != m_cachedWidth) {
        m_cachedWidth = width;
        m_cachedHeight = QLabel::heightForWidth(width);
    }
    return m_cachedHeight;
}

void MarkdownTextLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        m_cachedWidth = -1;
}

void MarkdownTextLabel::setMarkdown(const QString &text)
{
    if (text == m_markdown && !this->text().isEmpty())
        return;
    m_markdown = text;
    m_cachedWidth = -1;
    const InlineMarkdownStyle style{Font::make(NmFontSpecs::mono).family(), qColor(NmColor::accent).name()};
    setText(inlineMarkdownRichText(inlineMarkdownText(text), style));
}

} // namespace nerim
