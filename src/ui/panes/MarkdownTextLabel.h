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
// out again. Size hints never lay the text out.
class MarkdownTextLabel : public QWidget {
    Q_OBJECT
public:
    explicit MarkdownTextLabel(QWidget *parent = nullptr);

    void setMarkdown(const QString &text);
    const QString &markdown() const { return m_markdown; }
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
    // Replaces the document's content from `from` on with the shown text's.
    void fill(qsizetype from);
    void layOutAt(int width) const;
    int positionAt(const QPointF &point) const;
    QString anchorAt(const QPointF &point) const;
    void copySelectionTo(int mode) const;

    QString m_markdown;
    InlineMarkdown m_shown;
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
