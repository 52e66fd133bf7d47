// The inline Markdown parser's pass over a paragraph: plain text taken in
// pieces, backslash escapes, code spans (each backtick string's partner found
// by length), autolinks, and the stretches each construct holds open.
#include "ui/panes/InlineMarkdownParser.h"

#include "ui/panes/PatternSyntax.h"

#include <QRegularExpression>

namespace nerim::inline_markdown {

namespace {

const QRegularExpression &uriAutolink()
{
    static const QRegularExpression expression =
        pattern::compile(QStringLiteral("<([A-Za-z][A-Za-z0-9+.\\-]{1,31}:[^<>\\x{00}-\\x{20}]*)>"));
    return expression;
}

const QRegularExpression &emailAutolink()
{
    static const QRegularExpression expression = pattern::compile(QStringLiteral(
        "<([a-zA-Z0-9.!#$%&'*+/=?^_`{|}~\\-]+@[a-zA-Z0-9](?:[a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9])?"
        "(?:\\.[a-zA-Z0-9](?:[a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9])?)*)>"));
    return expression;
}

} // namespace

InlineMarkdown Parser::run()
{
    const qsizetype size = m_end;
    qsizetype i = m_begin;
    if (m_first)
        listBacktickLengths();
    while (i < size) {
        const QChar c = m_source[i];
        switch (c.unicode()) {
        case u'\\':
            if (i + 1 < size && isAsciiPunctuation(m_source[i + 1])) {
                addText(m_source[i + 1]);
                i += 2;
            } else {
                addText(c);
                ++i;
            }
            break;
        case u'`': i = codeSpan(i); break;
        case u'*':
        case u'_':
        case u'~': i = delimiterRun(i); break;
        case u'<': i = autolink(i); break;
        case u'[': i = openBracket(i, false); break;
        case u'!':
            if (i + 1 < size && m_source[i + 1] == u'[') {
                i = openBracket(i, true);
            } else {
                addText(c);
                ++i;
            }
            break;
        case u']': i = closeBracket(i); break;
        default: {
            // Plain text up to the next character that may be markup,
            // taken in one piece.
            qsizetype next = i + 1;
            while (next < size && !mayBeMarkup(m_source[next]))
                ++next;
            addText(QStringView(m_source).sliced(i, next - i));
            i = next;
            break;
        }
        }
    }
    flushText();
    // Whatever is still open stays open to the end: more text could close it.
    for (const Bracket &bracket : m_brackets) {
        holdOpen(bracket.position, m_end, openHold());
        if (m_last)
            m_reading->brackets.append(bracket.position);
    }
    processEmphasis(0, m_end, true);
    // Only the stretches held open were asked for: the text is not put together.
    return m_reading ? InlineMarkdown{} : result();
}

bool Parser::mayBeMarkup(QChar c)
{
    switch (c.unicode()) {
    case u'\\':
    case u'`':
    case u'*':
    case u'_':
    case u'~':
    case u'<':
    case u'[':
    case u'!':
    case u']': return true;
    default: return false;
    }
}

void Parser::holdOpen(qsizetype from, qsizetype to, Hold hold)
{
    if (m_reading && (to > from + 1 || hold != Hold::closed))
        m_reading->ranges.append({from, to, hold});
}

void Parser::listBacktickLengths()
{
    QList<int> &lengths = m_reading->backtickLengths;
    for (qsizetype j = m_begin; j < m_end;) {
        if (m_source[j] != u'`') {
            ++j;
            continue;
        }
        const int run = int(runLength(j, u'`'));
        if (!lengths.contains(run))
            lengths.append(run);
        j += run;
    }
}

void Parser::addText(QChar c)
{
    if (m_reading)
        m_pendingText = true;
    else
        m_pending += c;
}

void Parser::addText(QStringView text)
{
    if (m_reading)
        m_pendingText = m_pendingText || !text.isEmpty();
    else
        m_pending += text;
}

void Parser::flushText()
{
    if (m_reading) {
        if (m_pendingText)
            m_atoms.push_back(Atom::literal(QString()));
        m_pendingText = false;
        return;
    }
    if (m_pending.isEmpty())
        return;
    m_atoms.push_back(Atom::literal(m_pending));
    m_pending.clear();
}

qsizetype Parser::runLength(qsizetype i, QChar c) const
{
    qsizetype end = i;
    while (end < m_end && m_source[end] == c)
        ++end;
    return end - i;
}

qsizetype Parser::codeSpan(qsizetype i)
{
    const qsizetype length = runLength(i, u'`');
    const qsizetype contentStart = i + length;
    if (const std::optional<qsizetype> j = backtickRunOfLength(length, contentStart)) {
        QString content = m_reading ? QString() : m_source.mid(contentStart, *j - contentStart);
        // One space on each side is padding, unless that is all there is.
        if (content.size() >= 2 && content.front() == u' ' && content.back() == u' '
            && content.count(u' ') != content.size())
            content = content.mid(1, content.size() - 2);
        flushText();
        m_atoms.push_back(Atom::literal(content, InlineMarkdown::code));
        holdOpen(i, *j + length);
        return *j + length;
    }
    holdOpen(i, m_end, openHold());
    if (m_last)
        m_reading->codeRuns.append({i, int(length)});
    addText(QStringView(m_source).sliced(i, length));
    return contentStart;
}

std::optional<qsizetype> Parser::backtickRunOfLength(qsizetype length, qsizetype from)
{
    if (!m_backtickRunsListed) {
        m_backtickRunsListed = true;
        for (qsizetype j = m_begin; j < m_end;) {
            if (m_source[j] != u'`') {
                ++j;
                continue;
            }
            const qsizetype run = runLength(j, u'`');
            m_backtickRuns[run].starts.push_back(j);
            j += run;
        }
    }
    const auto found = m_backtickRuns.find(length);
    if (found == m_backtickRuns.end())
        return std::nullopt;
    BacktickRuns &runs = found->second;
    while (runs.next < runs.starts.size() && runs.starts[runs.next] < from)
        ++runs.next;
    if (runs.next == runs.starts.size())
        return std::nullopt;
    return runs.starts[runs.next];
}

bool Parser::mayStartAutolink(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x80 && (QChar::isLetterOrNumber(u) || QStringView(u".!#$%&'*+/=?^_`{|}~-").contains(c));
}

qsizetype Parser::autolink(qsizetype i)
{
    if (i + 1 >= m_end || !mayStartAutolink(m_source[i + 1])) {
        addText(u'<');
        return i + 1;
    }
    for (const QRegularExpression *expression : {&uriAutolink(), &emailAutolink()}) {
        // Anchored, on a text checked once: the match reads only what it needs.
        const QRegularExpressionMatch match =
            expression->match(m_source, i, QRegularExpression::NormalMatch,
                              QRegularExpression::AnchorAtOffsetMatchOption | pattern::checkedText);
        if (!match.hasMatch() || match.capturedEnd(0) > m_end)
            continue;
        const QString address = match.captured(1);
        flushText();
        m_atoms.push_back(Atom::literal(address, 0, opens(address) ? address : QString()));
        return match.capturedEnd(0);
    }
    addText(u'<');
    return i + 1;
}

} // namespace nerim::inline_markdown
