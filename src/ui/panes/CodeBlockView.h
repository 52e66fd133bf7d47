#pragma once

#include "ui/panes/CodeBlockLook.h"

#include <QWidget>
#include <chrono>
#include <optional>

class QLabel;
class QTextEdit;
class QTimer;

namespace nerim {

class CodeBlockCopyButton;

// One fenced code block of an agent's answer: a header with the language, a
// "· streaming" badge while the closing fence has not arrived and a Copy
// button; under it the code in the monospaced font, lightly highlighted,
// selectable, never wrapped (long lines scroll sideways), as tall as its lines.
//
// The transcript hands the same block again as more of it arrives
// (`setBlock`); the view keeps its own state (a copy just made) meanwhile.
// A block's newest 256 lines keep their shaped glyphs (as a prose label's
// do), so the repaint that follows each new line does not shape the lines in
// view again; a line that leaves the newest is laid out again without them,
// which bounds what they hold.
// Children for tests: "languageLabel", "streamingBadge", "copyButton", "code",
// and the reset timer "copyResetTimer".
class CodeBlockView : public QWidget {
    Q_OBJECT
public:
    CodeBlockView(std::optional<QString> language, QString source, bool closed, QWidget *parent = nullptr);

    void setBlock(std::optional<QString> language, QString source, bool closed);
    // More of the same block arrived: `more` goes at the end of the source.
    // Costs what `more` and the last line cost, however long the block is.
    void appendSource(QStringView more, bool closed);
    const std::optional<QString> &language() const { return m_language; }
    const QString &source() const { return m_source; }
    bool isClosed() const { return m_closed; }

    // True from a copy until the reset, one second after the last copy.
    bool justCopied() const { return m_justCopied; }
    // How long "Copied" stays after the last copy (one second unless changed).
    void setCopyResetInterval(std::chrono::milliseconds interval);

    // The Copy button's action: the source as received goes to the clipboard
    // as plain text, and the button shows "Copied" until the reset, which a
    // further copy starts again.
    void copyToPasteboard();

signals:
    void justCopiedChanged(bool justCopied);

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setJustCopied(bool justCopied);
    // Shows `tail`, the shown text (the source with CR LF as LF) from `from`
    // on, highlighted; with `rebuild` the document starts over (`from` is 0),
    // else only the text from `from` on is replaced.
    void showCode(const QString &tail, qsizetype from, bool rebuild);
    void setClosed(bool closed);
    void fitCodeHeight();

    std::optional<QString> m_language;
    QString m_source;
    QString m_shownText;
    bool m_closed = false;
    bool m_justCopied = false;
    bool m_codeShown = false;
    // The first of the newest lines whose layouts keep their shaped glyphs.
    int m_firstShapedLine = 0;

    QLabel *m_languageLabel = nullptr;
    QLabel *m_streamingBadge = nullptr;
    CodeBlockCopyButton *m_copyButton = nullptr;
    QWidget *m_divider = nullptr;
    QTextEdit *m_code = nullptr;
    QTimer *m_copyReset = nullptr;
};

} // namespace nerim
