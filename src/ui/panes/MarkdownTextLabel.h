#pragma once

#include <QLabel>

namespace nerim {

// A label that shows agent text with its inline Markdown: emphasis, strong,
// code, strikethrough and web links, everything else literally (markup in the
// text never becomes markup on screen). Selectable; wraps; a click on a link
// opens it in the browser (web links only: nothing else is ever a link).
class MarkdownTextLabel : public QLabel {
    Q_OBJECT
public:
    explicit MarkdownTextLabel(QWidget *parent = nullptr);

    void setMarkdown(const QString &text);
    const QString &markdown() const { return m_markdown; }

private:
    QString m_markdown;
};

} // namespace nerim
