#include "ui/workspace/PromptBarField.h"

#include "ui/design/CaretBlinkRest.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/workspace/PromptBarLook.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <QTextBlock>
#include <QTimer>

namespace nerim {

PromptBarField::PromptBarField(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setObjectName(QStringLiteral("promptField"));
    setFrameShape(QFrame::NoFrame);
    setFont(NmFont::body());
    setTabChangesFocus(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    document()->setDocumentMargin(6);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    setAttribute(Qt::WA_TranslucentBackground);

    QPalette palette = this->palette();
    palette.setColor(QPalette::Base, Qt::transparent);
    palette.setColor(QPalette::Text, qColor(NmColor::ink));
    palette.setColor(QPalette::PlaceholderText, qColor(NmColor::inkSecondary));
    palette.setColor(QPalette::Highlight, qColor(NmColor::accent, 0.35));
    palette.setColor(QPalette::HighlightedText, qColor(NmColor::ink));
    setPalette(palette);

    // The editor draws no caret of its own; paintEvent draws the accent one.
    setCursorWidth(0);
    m_caretBlink = new QTimer(this);
    connect(m_caretBlink, &QTimer::timeout, this, [this] {
        m_caretOn = !m_caretOn;
        updateCaret();
    });
    connect(this, &QPlainTextEdit::cursorPositionChanged, this, &PromptBarField::wakeCaret);
    // The caret stops blinking (steady) after a while without input, and
    // blinks again with the next.
    CaretBlinkRest::shared();
    connect(QGuiApplication::styleHints(), &QStyleHints::cursorFlashTimeChanged, this, &PromptBarField::wakeCaret);

    connect(document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
            &PromptBarField::fitHeight);
    // Typing into the empty field swaps the placeholder's lines for the text's.
    connect(this, &QPlainTextEdit::textChanged, this, &PromptBarField::fitHeight);
    fitHeight();
}

int PromptBarField::chrome() const
{
    return int(2 * document()->documentMargin()) + 2 * frameWidth();
}

int PromptBarField::lineCount() const
{
    // The empty field is one line: its placeholder is cut to that line, so
    // the bar keeps its height when the first character replaces it.
    if (document()->isEmpty())
        return 1;
    // The plain text layout counts its laid-out lines as the document's height.
    return qMax(1, int(document()->documentLayout()->documentSize().height()));
}

void PromptBarField::showPlaceholderLine()
{
    // Drawn from the document margin to the viewport's right edge.
    const int width = viewport()->width() - int(document()->documentMargin()) - 2;
    const QString shown = width > 0 ? QFontMetrics(font()).elidedText(m_placeholder, Qt::ElideRight, width)
                                    : m_placeholder;
    if (placeholderText() == shown)
        return;
    setPlaceholderText(shown);
    // The editor repaints only when its placeholder appears or disappears,
    // not when the text of a shown one changes: without this the old hint
    // stays on screen until something else repaints the field (and a caret
    // blink redraws only the first letter).
    if (document()->isEmpty())
        viewport()->update();
}

void PromptBarField::setPlaceholder(const QString &text)
{
    if (m_placeholder == text)
        return;
    m_placeholder = text;
    showPlaceholderLine();
    fitHeight();
}

void PromptBarField::fitHeight()
{
    const int height = PromptBarLook::fieldHeight(lineCount(), fontMetrics().lineSpacing(), chrome());
    if (height == m_height)
        return;
    m_height = height;
    setFixedHeight(height);
    // Keep the caret's line in view once the field stops growing.
    ensureCursorVisible();
}

QSize PromptBarField::sizeHint() const
{
    return {200, m_height > 0 ? m_height : PromptBarLook::fieldMinimumHeight};
}

QSize PromptBarField::minimumSizeHint() const { return {40, PromptBarLook::fieldMinimumHeight}; }

void PromptBarField::showText(const QString &text)
{
    if (toPlainText() == text)
        return;
    setPlainText(text);
    moveCaretToEnd();
}

void PromptBarField::moveCaretToEnd()
{
    QTextCursor cursor = textCursor();
    cursor.movePosition(QTextCursor::End);
    setTextCursor(cursor);
}

void PromptBarField::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (event->modifiers() & Qt::ShiftModifier) {
            // A plain line break (not the editor's own line separator).
            insertPlainText(QStringLiteral("\n"));
            ensureCursorVisible();
        } else {
            emit returnPressed();
        }
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void PromptBarField::focusInEvent(QFocusEvent *event)
{
    QPlainTextEdit::focusInEvent(event);
    wakeCaret();
    emit focusChanged(true);
}

void PromptBarField::focusOutEvent(QFocusEvent *event)
{
    QPlainTextEdit::focusOutEvent(event);
    m_caretBlink->stop();
    m_caretOn = false;
    updateCaret();
    emit focusChanged(false);
}

QColor PromptBarField::caretColor() { return qColor(NmColor::accent); }

bool PromptBarField::showsCaret() const { return m_caretOn && hasFocus() && isEnabled() && !isReadOnly(); }

void PromptBarField::wakeCaret()
{
    if (!hasFocus())
        return;
    m_caretOn = true;
    // A flash time of 0 is a steady caret.
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (flash > 0)
        m_caretBlink->start(flash / 2);
    else
        m_caretBlink->stop();
    updateCaret();
}

void PromptBarField::updateCaret()
{
    // Only the caret's old and new places are repainted.
    const QRect now = cursorRect().adjusted(-2, 0, 2, 0);
    viewport()->update(m_caretRect.united(now));
    m_caretRect = now;
}

void PromptBarField::changeEvent(QEvent *event)
{
    QPlainTextEdit::changeEvent(event);
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::ReadOnlyChange)
        updateCaret();
}

void PromptBarField::paintEvent(QPaintEvent *event)
{
    QPlainTextEdit::paintEvent(event);
    if (!showsCaret())
        return;
    const QRect caret = cursorRect();
    QPainter painter(viewport());
    painter.fillRect(QRect(caret.left(), caret.top(), 1, caret.height()), caretColor());
}

void PromptBarField::resizeEvent(QResizeEvent *event)
{
    QPlainTextEdit::resizeEvent(event);
    showPlaceholderLine();
    fitHeight();
}

} // namespace nerim
