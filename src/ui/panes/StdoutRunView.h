#pragma once

#include "ui/panes/InlineMarkdown.h"
#include "ui/panes/MarkdownSegment.h"

#include <QList>
#include <QWidget>

class QVBoxLayout;

namespace nerim {

// A run of agent output as one block: the text is cut at its code fences;
// prose shows with inline Markdown, each block in a CodeBlockView. Handing a
// longer text of the same run updates the entries in place, so a code block
// keeps its state (a copy just made) while more of the run arrives; appending
// lines (`appendRawText`) costs what the new lines cost, however long the
// code block they go into.
//
// A line longer than a slice (LongLines.h) shows only its first `slices`
// slices, with a "Show more" control under the block that asks for one more
// (`showMoreRequested`).
class StdoutRunView : public QWidget {
    Q_OBJECT
public:
    explicit StdoutRunView(const QString &rawText, QWidget *parent = nullptr, int slices = 1);
    // A part of a long stretch of prose (no code fence, no line longer than
    // a slice), shown as `shown`: its part of what the whole stretch reads
    // as, so that the parts together read as the stretch does.
    StdoutRunView(const QString &rawText, InlineMarkdown shown, QWidget *parent);
    // Shows a part anew; whether what shows changed.
    bool showPart(const QString &rawText, InlineMarkdown shown);

    void setRawText(const QString &rawText);
    // `more` was added at the end of the text.
    void appendRawText(QStringView more);
    const QString &rawText() const { return m_rawText; }
    // What is shown of the text (its long lines cut), and how much is not.
    const QString &shownText() const { return m_shownText; }
    qsizetype hiddenLength() const { return m_hidden; }

signals:
    void showMoreRequested();

private:
    void updateShowMore();

    // Brings the entries from segment `first` on up to date; `grown` says the
    // segments only grew since they were last shown.
    void showSegments(qsizetype first, bool grown);

    QString m_rawText;
    QString m_shownText;
    qsizetype m_hidden = 0;
    int m_slices = 1;
    QWidget *m_showMore = nullptr;
    MarkdownSegmenter m_segmenter;
    QVBoxLayout *m_layout = nullptr;
    QList<QWidget *> m_entries;
};

} // namespace nerim
