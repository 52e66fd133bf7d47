#pragma once

#include "plans/PlanStep.h"
#include "plans/PlansWorkspaceStore.h"

#include <QColor>
#include <QList>
#include <QString>

#include <optional>

namespace nerim {

// The Plans panel's own colours on its dark surface.
namespace PlansPanelColor {
QColor text();
QColor textSecondary();
QColor textTertiary();
QColor hairline();
QColor fill();
} // namespace PlansPanelColor

// A plan reply or plan file split into paragraphs and fenced code blocks.
// Only paragraphs and fences are block syntax here; everything else inside a
// paragraph is inline Markdown or literal text.
namespace PlanMarkdown {

struct Block {
    enum class Kind { prose, code };
    Kind kind = Kind::prose;
    QString text;                    // the paragraph, or the code body
    std::optional<QString> language; // code only; never drawn
    friend bool operator==(const Block &, const Block &) = default;

    static Block prose(QString text) { return {Kind::prose, std::move(text), std::nullopt}; }
    static Block code(std::optional<QString> language, QString body)
    {
        return {Kind::code, std::move(body), std::move(language)};
    }
};

QList<Block> blocks(const QString &content);

} // namespace PlanMarkdown

// The rules of the Plans panel, apart from its widgets.
namespace PlansPanelLook {

enum class Branch { openFile, emptyState, planColumn };
Branch contentBranch(bool hasOpenFile, bool hasSteps, bool hasConversation);

// One header button as the header shows it.
struct HeaderButton {
    bool present = false;
    bool enabled = true;
    QString symbol; // empty while the organize spinner stands in its place
    qreal symbolSize = 10;
    QString help;
};

struct HeaderInput {
    bool hasSteps = false;
    bool hasConversation = false;
    bool hasWorkspaceFiles = false;
    bool isOrganizing = false;
    bool isGenerating = false;
    bool isExpanded = false;
};

struct Header {
    HeaderButton organize;
    bool organizeSpins = false;
    HeaderButton startOver;
    HeaderButton expand;
    HeaderButton close;
    bool showsGeneratingDot = false;
};
Header header(const HeaderInput &input);

// The open file's text: the first file named exactly `name`, else the
// missing-file line (shown in italics by the Markdown text).
QString fileText(const QList<PlansWorkspaceStore::File> &files, const QString &name);

// "overview.md" → "Overview", "api-design_notes.md" → "Api design notes".
QString displayName(const QString &filename);
// "doc.text" for exactly "overview.md", "doc" otherwise.
QString chipSymbol(const QString &filename);

PlanStep::Status nextStatus(PlanStep::Status status);

// What a submit hands over: the draft trimmed of white space and line breaks,
// or nothing when that is empty.
std::optional<QString> submittedText(const QString &draft);
// The buttons' rule: disabled when the draft holds nothing but spaces and
// tabs, else while a plan is generating.
bool isSubmitDisabled(const QString &draft, bool isGenerating);
// Return submits only while no plan is generating: the controller drops a
// message that arrives during a reply, so the draft stays where it is.
bool returnSubmits(bool isGenerating);

QString primaryTitle(bool emptyState, bool isGenerating);
QString composerPlaceholder(bool isGenerating);
bool showsError(const std::optional<QString> &lastError);

} // namespace PlansPanelLook

} // namespace nerim
