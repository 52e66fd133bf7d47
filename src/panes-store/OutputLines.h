#pragma once

#include "panes-store/OutputLine.h"

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringView>
#include <QUuid>
#include <compare>
#include <initializer_list>
#include <iterator>
#include <memory>

namespace nerim {

// A pane's transcript: its lines in order, each with its id, kind and text.
// The text is held once, as UTF-8 in large blocks, with a small fixed-size
// record per line; a line's `OutputLine` value (its `text` a QString) is made
// when it is asked for. A lone UTF-16 surrogate, which UTF-8 cannot hold, is
// kept in the three-byte form the code unit would have, so every text reads
// back exactly as it was given.
//
// Copies are cheap and share the lines. A copy is the list as it was when it
// was made: lines are only ever added at the end of the shared storage, whose
// blocks never move, so a copy may be read on another thread (the background
// save, prompt assembly) while the original goes on growing on its own. Of the
// copies that share storage, the one holding all of it appends in place; any
// other copies its lines to storage of its own first.
class OutputLines {
public:
    using value_type = OutputLine;
    using size_type = qsizetype;
    class const_iterator;
    using iterator = const_iterator;

    OutputLines() = default;
    OutputLines(const QList<OutputLine> &lines); // NOLINT: a list of lines is a transcript
    OutputLines(std::initializer_list<OutputLine> lines);

    qsizetype size() const { return m_size; }
    qsizetype count() const { return m_size; }
    qsizetype length() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }

    // Line `i` as a value (its text decoded).
    OutputLine at(qsizetype i) const;
    OutputLine operator[](qsizetype i) const { return at(i); }
    OutputLine first() const { return at(0); }
    OutputLine last() const { return at(m_size - 1); }
    OutputLine constFirst() const { return first(); }
    OutputLine constLast() const { return last(); }

    // The parts of line `i`, without making its value.
    QUuid id(qsizetype i) const;
    OutputLine::Kind kind(qsizetype i) const;
    QString text(qsizetype i) const;
    // The text as held: UTF-8, lone surrogates in their three-byte form.
    QByteArrayView utf8(qsizetype i) const;
    // The text's length in UTF-16 code units (the QString's size).
    qsizetype textLength(qsizetype i) const;

    void append(const OutputLine &line);
    void append(OutputLine::Kind kind, QStringView text, const QUuid &id);
    // A line whose text is given as this class holds it (see `utf8`).
    void appendUtf8(OutputLine::Kind kind, QByteArrayView text, const QUuid &id);
    // Line `i` of `other`, copied as it is held.
    void appendLineOf(const OutputLines &other, qsizetype i);
    OutputLines &operator<<(const OutputLine &line)
    {
        append(line);
        return *this;
    }
    void clear();

    // Lines [pos, pos + length) (to the end when `length` is negative), in
    // storage of their own.
    OutputLines mid(qsizetype pos, qsizetype length = -1) const;
    qsizetype indexOf(const OutputLine &line) const;
    bool contains(const OutputLine &line) const { return indexOf(line) >= 0; }

    QList<OutputLine> toList() const;
    operator QList<OutputLine>() const { return toList(); } // NOLINT: reads as the list it stands for

    // Identifies the storage this list shares with its copies; 0 for an empty
    // list that never had one. Two lists with the same storage agree on every
    // line both have: those of the shorter.
    quint64 storageId() const;
    // Whether `other` holds the lines of this list's storage, and so its first
    // `other.size()` lines.
    bool sharesStorageWith(const OutputLines &other) const { return m_storage && m_storage == other.m_storage; }

    const_iterator begin() const;
    const_iterator end() const;
    const_iterator cbegin() const;
    const_iterator cend() const;

    friend bool operator==(const OutputLines &a, const OutputLines &b);
    friend bool operator==(const OutputLines &a, const QList<OutputLine> &b);

    struct Storage;

private:
    // Makes this list the one that appends to its storage.
    void prepareAppend();

    std::shared_ptr<Storage> m_storage;
    qsizetype m_size = 0;
};

class OutputLines::const_iterator {
public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = OutputLine;
    using difference_type = qsizetype;
    using reference = OutputLine;
    using pointer = void;

    const_iterator() = default;
    const_iterator(const OutputLines *lines, qsizetype index) : m_lines(lines), m_index(index) {}

    OutputLine operator*() const { return m_lines->at(m_index); }
    OutputLine operator[](qsizetype n) const { return m_lines->at(m_index + n); }
    const_iterator &operator++() { ++m_index; return *this; }
    const_iterator operator++(int) { const_iterator was = *this; ++m_index; return was; }
    const_iterator &operator--() { --m_index; return *this; }
    const_iterator operator--(int) { const_iterator was = *this; --m_index; return was; }
    const_iterator &operator+=(qsizetype n) { m_index += n; return *this; }
    const_iterator &operator-=(qsizetype n) { m_index -= n; return *this; }
    friend const_iterator operator+(const_iterator it, qsizetype n) { return it += n; }
    friend const_iterator operator+(qsizetype n, const_iterator it) { return it += n; }
    friend const_iterator operator-(const_iterator it, qsizetype n) { return it -= n; }
    friend qsizetype operator-(const const_iterator &a, const const_iterator &b) { return a.m_index - b.m_index; }
    friend bool operator==(const const_iterator &a, const const_iterator &b) { return a.m_index == b.m_index; }
    friend auto operator<=>(const const_iterator &a, const const_iterator &b) { return a.m_index <=> b.m_index; }

    qsizetype index() const { return m_index; }

private:
    const OutputLines *m_lines = nullptr;
    qsizetype m_index = 0;
};

inline OutputLines::const_iterator OutputLines::begin() const { return const_iterator(this, 0); }
inline OutputLines::const_iterator OutputLines::end() const { return const_iterator(this, m_size); }
inline OutputLines::const_iterator OutputLines::cbegin() const { return begin(); }
inline OutputLines::const_iterator OutputLines::cend() const { return end(); }

// Text as `OutputLines` holds it (UTF-8, a lone surrogate in its three-byte
// form) and back.
namespace transcriptText {
// The bytes `text` is held as.
QByteArray encode(QStringView text);
QString decode(QByteArrayView bytes);
// The UTF-16 length of the text held as `bytes`.
qsizetype utf16Length(QByteArrayView bytes);
} // namespace transcriptText

} // namespace nerim
