#pragma once

#include "ui/panes/InlineMarkdown.h"

#include <QTextDocument>
#include <QWidget>

class QMenu;

namespace nerim {

// Agent text with its inline Markdown: emphasis, strong, code, strikethrough
// and web links, everything else literally (markup in the text never becomes
// markup on screen). Selectable with the mouse (a drag, a double click for a
// word, the context menu's "Select All"), copied from the context menu;
// wraps (a word longer than the width breaks anywhere); a click on a link
// reports it through `linkActivated`, which opens it in the browser (web
// links only: nothing else is ever a link). It never takes the keyboard.
//
// The text is laid out once per text and width, and when a longer text
// begins with the one shown (a growing answer), only what changed is laid
// out again. Text appended (`appendMarkdown`) is read again only from the
// start of its last paragraph: inline Markdown never reaches across a blank
// line. Size hints never lay the text out. A screen reader reads the text as
// shown, asked for when it reads it (nothing is done for it per change).
class MarkdownTextLabel : public QWidget {
    Q_OBJECT
public:
    explicit MarkdownTextLabel(QWidget *parent = nullptr);

    void setMarkdown(const QString &text);
    // `more` was added at the end of the text: shows what setMarkdown would
    // show with the whole text, reading only its last paragraph again.
    void appendMarkdown(QStringView more);
    const QString &markdown() const { return m_markdown; }
    // Shows `shown`, text already read (part of a longer text's reading);
    // whether what shows changed.
    bool setShown(InlineMarkdown shown);
    // What is shown, as plain text.
    const QString &shownText() const { return m_shown.text; }
    // What is shown, with its styled stretches.
    const InlineMarkdown &shown() const { return m_shown; }
    // What is shown, as rich text (Qt's HTML subset).
    QString text() const;

    bool hasSelectedText() const;
    // The selection, lines joined with "\n".
    QString selectedText() const;
    void selectAll();
    // The context menu's actions (Copy, Copy Link Location over a link, Select All).
    QMenu *buildContextMenu(const QPoint &position, QWidget *parent);

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // How many times the text was laid out at a new width or replaced whole
    // (for tests).
    int fullLayoutCount() const { return m_fullLayouts; }

signals:
    void linkActivated(const QString &link);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // Shows `tail`, the text read from the start of a paragraph on, in place
    // of what is shown from character `shownFrom` and span `spansFrom` on.
    void showFrom(qsizetype shownFrom, qsizetype spansFrom, InlineMarkdown tail);
    // Reads the text from `from` (a paragraph's start) on, in place of what
    // is shown from there, and finds its last paragraph; `scanFrom` is the
    // first line that may be blank.
    void readFrom(qsizetype from, qsizetype shownFrom, qsizetype spansFrom, qsizetype scanFrom);
    // Replaces the document's content from `from` on with the shown text's.
    void fill(qsizetype from);
    void layOutAt(int width) const;
    int positionAt(const QPointF &point) const;
    QString anchorAt(const QPointF &point) const;
    void copySelectionTo(int mode) const;

    QString m_markdown;
    InlineMarkdown m_shown;
    // Where the last paragraph starts: in the text, in the shown text, and
    // the first of its spans.
    qsizetype m_lastParagraph = 0;
    qsizetype m_lastParagraphShown = 0;
    qsizetype m_lastParagraphSpans = 0;
    mutable QTextDocument m_document;
    mutable int m_layoutWidth = -1;
    mutable int m_fullLayouts = 0;
    // The selection, as document positions (equal when nothing is selected).
    int m_selectionAnchor = 0;
    int m_selectionPosition = 0;
    bool m_selecting = false;
    QString m_pressedLink;
};

} // namespace nerim
