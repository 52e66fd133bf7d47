#pragma once

#include "ui/panels/PreviewPanelLook.h"

#include <QLabel>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

namespace nerim {

// What the rows of the preview's status strip do; the panel fills them in.
struct PreviewStripActions {
    std::function<void()> beginRepair;
    std::function<void()> cancelRepair;
    std::function<void()> retryRepair;
    std::function<void()> dismissError;
    std::function<void()> dismissStuck;
    // The secret prompt's field changed, and Return or Submit in it.
    std::function<void(const QString &)> secretEdited;
    std::function<void()> submitSecret;
};

// A banner text (the page error, the repair's progress, the stuck reason)
// wrapped onto at most `lines` lines at its width. A longer text shows its
// first lines, the last one ending in "…", and stays whole within reach: its
// tooltip holds all of it and a click unfolds every line (another click
// folds it again). Its least height is that of the lines shown at its own
// width, so the row never cuts a line. The strip gives each banner ten lines,
// which hold every failure sentence at the narrowest preview; NmText::
// wrappedLines lays the lines out (for the project cards too). A banner row
// puts its buttons under the text when beside it the text would have less
// than a readable width, and the empty preview under it gives up its margins
// and globe before its message.
class PreviewBannerText : public QLabel {
public:
    PreviewBannerText(int lines, QWidget *parent = nullptr);

    // Whether the text needs more lines than the folded text shows.
    bool isCut() const;
    bool isUnfolded() const { return m_unfolded; }
    void setUnfolded(bool unfolded);
    // The lines drawn now.
    QStringList shownLines() const { return linesAt(contentsRect().width()); }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QStringList linesAt(int width) const;
    // Whole points a line, so that the rows of text never fall between pixels.
    int lineHeight() const;
    // Height, tooltip and pointer for the text at the current width.
    void follow();

    int m_lines;
    bool m_unfolded = false;
};

// The row of the status strip under the preview's toolbar for `strip`, on
// its tint: the page error with "Ask Nerim to fix this", the repair's
// progress with Cancel, the secret prompt (the masked field starts with
// `secretDraft`), the fixed line, or the stuck line with "Try again". Made as
// a child of `panel`, whose lifetime bounds its actions. None for an empty
// strip.
//
// Rows for tests: "errorRow", "progressRow", "secretPrompt", "fixedRow",
// "stuckRow"; in them "bannerText", "askButton", "cancelRepairButton",
// "tryAgainButton", "dismissButton", "secretName", "secretField",
// "secretSubmit".
QWidget *buildPreviewStripRow(const PreviewPanelLook::Strip &strip, const QString &secretDraft,
                              const PreviewStripActions &actions, QWidget *panel);

} // namespace nerim
