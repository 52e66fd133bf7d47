#pragma once

#include "ui/panes/TokenColor.h"

#include <QList>
#include <QSet>
#include <QString>
#include <optional>

namespace nerim {

// The rules of a code block's look, without a widget: its header label, the
// comment syntax of its language and the stretches its highlighter colours.
struct CodeBlockLook {
    // How comments start in a language.
    enum class CommentStyle { slash, hash, none };

    // What a highlighted stretch is.
    enum class Tone { string, comment };

    // A stretch of the source drawn in the colour of `tone` (UTF-16 offsets).
    struct Range {
        qsizetype start = 0;
        qsizetype length = 0;
        Tone tone = Tone::string;
        friend bool operator==(const Range &, const Range &) = default;
    };

    // The header label: the language trimmed and lower-cased, or "code" when
    // it is absent or blank.
    static QString displayLanguage(const std::optional<QString> &language);

    // The comment syntax of a language, looked up lower-cased (not trimmed).
    static CommentStyle commentStyle(const std::optional<QString> &language);
    static const QSet<QString> &slashCommentLanguages();
    static const QSet<QString> &hashCommentLanguages();

    // The highlighter, as stretches in text order that neither overlap nor
    // touch with the same tone. Three passes over the source, a later pass
    // overriding an earlier one: double-quoted strings, single-quoted strings
    // (both on one line, backslash escapes allowed), then comments to the end
    // of the line in the language's comment style. Characters outside every
    // stretch keep the text's own colour.
    static QList<Range> highlightRanges(const QString &source, const std::optional<QString> &language);

    // The colour of a highlighted stretch: strings in the success green,
    // slightly transparent; comments in the tertiary ink.
    static TokenColor toneColor(Tone tone);

    // The Copy button, before and just after a copy.
    struct CopyButton {
        QString symbol;
        QString text;
        TokenColor color;
    };
    static CopyButton copyButton(bool justCopied);
};

} // namespace nerim
