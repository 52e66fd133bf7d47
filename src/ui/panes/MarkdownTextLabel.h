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

    // A wrapped label's own size hints lay its text out again at widths it
    // is never shown at; in a transcript that is most of the cost of a new
    // line. These ask only for the height at the given width, laid out once
    // per text, font and width.
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;
    int heightForWidth(int width) const override;

protected:
    void changeEvent(QEvent *event) override;

private:
    QString m_markdown;
    mutable int m_cachedWidth = -1;
    mutable int m_cachedHeight = 0;
};

} // namespace nerim
