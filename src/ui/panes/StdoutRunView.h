#pragma once

#include <QList>
#include <QWidget>

class QVBoxLayout;

namespace nerim {

// A run of agent output as one block: the text is cut at its code fences;
// prose shows with inline Markdown, each block in a CodeBlockView. Handing a
// longer text of the same run updates the entries in place, so a code block
// keeps its state (a copy just made) while more of the run arrives.
class StdoutRunView : public QWidget {
    Q_OBJECT
public:
    explicit StdoutRunView(const QString &rawText, QWidget *parent = nullptr);

    void setRawText(const QString &rawText);
    const QString &rawText() const { return m_rawText; }

private:
    QString m_rawText;
    QVBoxLayout *m_layout = nullptr;
    QList<QWidget *> m_entries;
};

} // namespace nerim
