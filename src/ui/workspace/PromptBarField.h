#pragma once

#include <QColor>
#include <QPlainTextEdit>

class QTimer;

namespace nerim {

// The prompt bar's text field: plain, borderless, one to four lines tall and
// scrolling beyond (never below 28 or above 96 points). Return sends (the
// keypad's Enter too); with Shift it starts a new line. Its caret is drawn
// in the brass accent (the editor's own caret would take the text's ink) and,
// like every caret of the application, stops blinking after a while without
// input (CaretBlinkRest).
class PromptBarField : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit PromptBarField(QWidget *parent = nullptr);

    // Replaces the text unless it is already shown, leaving the caret at the end.
    void showText(const QString &text);
    // Puts the caret after the last character.
    void moveCaretToEnd();

    // Sets the placeholder, shown on the empty field's one line (cut with an
    // ellipsis when the field is narrower); a shown one is repainted at once.
    void setPlaceholder(const QString &text);
    const QString &placeholder() const { return m_placeholder; }

    // The number of lines the text takes at the field's width; one when empty.
    int lineCount() const;

    // Whether the accent caret is drawn at this moment (it blinks, or stays
    // shown while the carets rest).
    bool showsCaret() const;
    static QColor caretColor();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void returnPressed();
    void focusChanged(bool focused);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // Shows the caret and starts its blinking over (after a key or a move).
    void wakeCaret();
    void updateCaret();

    void fitHeight();
    int chrome() const;
    void showPlaceholderLine();

    int m_height = 0;
    QTimer *m_caretBlink = nullptr;
    bool m_caretOn = false;
    QRect m_caretRect;
    QString m_placeholder;
};

} // namespace nerim
