#include "ui/panels/PlansPanelLook.h"

#include "ui/design/Colors.h"
#include "ui/design/Strings.h"

#include <QFileInfo>

namespace nerim {

namespace PlansPanelColor {
QColor text() { return qColor(NmColor::paperBright); }
QColor textSecondary() { return QColor::fromRgbF(1, 1, 1, 0.72f); }
QColor textTertiary() { return QColor::fromRgbF(1, 1, 1, 0.5f); }
QColor hairline() { return QColor::fromRgbF(1, 1, 1, 0.14f); }
QColor fill() { return QColor::fromRgbF(1, 1, 1, 0.08f); }
} // namespace PlansPanelColor

namespace PlanMarkdown {

namespace {

bool isHorizontalSpace(QChar c)
{
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

QString trimHorizontal(const QString &text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && isHorizontalSpace(text.at(start)))
        ++start;
    while (end > start && isHorizontalSpace(text.at(end - 1)))
        --end;
    return text.mid(start, end - start);
}

void flushProse(QStringList &pending, QList<Block> &result)
{
    const QString joined = pending.join(QLatin1Char('\n')).trimmed();
    pending.clear();
    if (joined.isEmpty())
        return;
    for (const QString &piece : joined.split(QStringLiteral("\n\n"))) {
        const QString paragraph = piece.trimmed();
        if (!paragraph.isEmpty())
            result.append(Block::prose(paragraph));
    }
}

} // namespace

QList<Block> blocks(const QString &content)
{
    QList<Block> result;
    QStringList prose;
    QStringList code;
    bool inFence = false;
    std::optional<QString> language;
    for (const QString &line : content.split(QLatin1Char('\n'))) {
        const QString trimmed = trimHorizontal(line);
        if (trimmed.startsWith(QStringLiteral("```"))) {
            if (inFence) {
                result.append(Block::code(language, code.join(QLatin1Char('\n'))));
                code.clear();
                language.reset();
                inFence = false;
            } else {
                flushProse(prose, result);
                const QString rest = trimHorizontal(trimmed.mid(3));
                language = rest.isEmpty() ? std::nullopt : std::optional<QString>(rest);
                inFence = true;
            }
            continue;
        }
        (inFence ? code : prose).append(line);
    }
    if (inFence)
        result.append(Block::code(language, code.join(QLatin1Char('\n'))));
    else
        flushProse(prose, result);
    return result;
}

} // namespace PlanMarkdown

namespace PlansPanelLook {

Branch contentBranch(bool hasOpenFile, bool hasSteps, bool hasConversation)
{
    if (hasOpenFile)
        return Branch::openFile;
    if (!hasSteps && !hasConversation)
        return Branch::emptyState;
    return Branch::planColumn;
}

Header header(const HeaderInput &input)
{
    Header h;
    h.showsGeneratingDot = input.isGenerating;
    h.organize.present = input.hasSteps || input.hasConversation;
    h.organize.enabled = !input.isOrganizing && !input.isGenerating;
    h.organizeSpins = input.isOrganizing;
    h.organize.symbol = input.isOrganizing ? QString() : QStringLiteral("folder.badge.gearshape");
    h.organize.help = input.hasWorkspaceFiles ? Strings::PlansPanel::organizeHelpRewrite
                                              : Strings::PlansPanel::organizeHelpFirst;
    h.startOver.present = input.hasSteps;
    h.startOver.enabled = !input.isGenerating;
    h.startOver.symbol = QStringLiteral("arrow.clockwise");
    h.startOver.help = Strings::PlansPanel::startOverHelp;
    h.expand.present = true;
    h.expand.symbol = input.isExpanded ? QStringLiteral("arrow.down.right.and.arrow.up.left")
                                       : QStringLiteral("arrow.up.left.and.arrow.down.right");
    h.expand.help = input.isExpanded ? Strings::PlansPanel::collapseHelp : Strings::PlansPanel::expandHelp;
    h.close.present = true;
    h.close.symbol = QStringLiteral("xmark");
    h.close.symbolSize = 9;
    h.close.help = Strings::PlansPanel::closeHelp;
    return h;
}

QString fileText(const QList<PlansWorkspaceStore::File> &files, const QString &name)
{
    for (const PlansWorkspaceStore::File &file : files) {
        if (file.filename == name)
            return file.contents;
    }
    return Strings::PlansPanel::missingFile;
}

QString displayName(const QString &filename)
{
    const qsizetype dot = filename.lastIndexOf(QLatin1Char('.'));
    QString base = dot < 0 ? filename : filename.left(dot);
    base.replace(QLatin1Char('-'), QLatin1Char(' '));
    base.replace(QLatin1Char('_'), QLatin1Char(' '));
    if (base.isEmpty())
        return base;
    // The first code point, as a string, so a surrogate pair stays whole and
    // a letter whose capital is longer (ß → SS) becomes that longer text.
    const qsizetype firstLength = base.at(0).isHighSurrogate() && base.size() > 1 ? 2 : 1;
    return base.left(firstLength).toUpper() + base.mid(firstLength);
}

QString chipSymbol(const QString &filename)
{
    return filename == QLatin1String("overview.md") ? QStringLiteral("doc.text") : QStringLiteral("doc");
}

PlanStep::Status nextStatus(PlanStep::Status status)
{
    switch (status) {
    case PlanStep::Status::pending: return PlanStep::Status::inProgress;
    case PlanStep::Status::inProgress: return PlanStep::Status::done;
    case PlanStep::Status::done: return PlanStep::Status::pending;
    }
    return PlanStep::Status::pending;
}

std::optional<QString> submittedText(const QString &draft)
{
    const QString trimmed = draft.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

bool isSubmitDisabled(const QString &draft, bool isGenerating)
{
    for (QChar c : draft) {
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t'))
            return isGenerating;
    }
    return true;
}

bool returnSubmits(bool isGenerating) { return !isGenerating; }

QString primaryTitle(bool emptyState, bool isGenerating)
{
    if (emptyState)
        return isGenerating ? Strings::PlansPanel::planning : Strings::PlansPanel::generatePlan;
    return isGenerating ? Strings::PlansPanel::sending : Strings::PlansPanel::send;
}

QString composerPlaceholder(bool isGenerating)
{
    return isGenerating ? Strings::PlansPanel::planning : Strings::PlansPanel::composerPlaceholder;
}

bool showsError(const std::optional<QString> &lastError) { return lastError && !lastError->isEmpty(); }

} // namespace PlansPanelLook

} // namespace nerim
