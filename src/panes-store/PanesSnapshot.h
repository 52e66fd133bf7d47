#pragma once

// The saved form of a project's panes: each pane's names, number, transcript
// and closed turns, and the values of the whole canvas (next agent number,
// focused and expanded pane), with the strict JSON form of each. The bytes of
// the file are made by PanesEncoding and read quickly by PanesFastReader.

#include "panes-store/AgentRole.h"
#include "panes-store/ConversationTurn.h"
#include "panes-store/OutputLine.h"
#include "panes-store/OutputLines.h"
#include "foundation/Json.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

namespace nerim {

// One saved pane in panes.json.
struct PaneDiskSnapshot {
    QUuid id;
    QString agentId;
    QString agentName;
    int paneNumber = 0;
    QString responsibility;
    OutputLines outputLines;              // the whole transcript
    QList<ConversationTurn> conversation; // closed turns only
    bool isSystemPane = false;
    AgentRole role = AgentRole::unspecified;
    // Not saved: the pane's `generation()` when the snapshot was taken; 0 for
    // a snapshot made otherwise (read from a file, built by hand).
    quint64 generation = 0;

    // A missing or unknown "role" reads as `unspecified`, a missing or
    // non-Boolean "isSystemPane" as false; every other key is required.
    QJsonObject toJson() const;
    static PaneDiskSnapshot fromJson(const JsonObjectReader &reader);

    // Equal saved content (the generation is not compared).
    friend bool operator==(const PaneDiskSnapshot &a, const PaneDiskSnapshot &b);
};

// The root of panes.json: a project's panes between runs.
struct PanesSnapshot {
    static constexpr int currentVersion = 1;

    int version = currentVersion;
    // Names the file written whole, not its content: every whole write of
    // panes.json gives it a new one, and a change log names the file it
    // amends by it (so a copy, a move or a restored backup of the file keeps
    // its log, and a log never applies to another file). Written first, as
    // "documentId" (the keys are in sorted order); absent in files written
    // before there were such ids, and read as absent when it is not a UUID.
    // Not compared: it is no part of the panes.
    std::optional<QUuid> documentId;
    qint64 nextAgentNumber = 1;
    std::optional<QUuid> focusedPaneId;
    std::optional<QUuid> expandedPaneId;
    QList<PaneDiskSnapshot> panes;

    // Compact JSON; turn dates as numbers of seconds since 2001-01-01. The
    // bytes are those of `toJson()` written by the platform's JSON document
    // in its compact form (keys sorted), produced without building it.
    // Defined with the encoder (PanesEncoding.cpp), as `decode` is with the
    // fast reader (PanesFastReader.cpp): the model includes neither.
    QByteArray encode() const;
    QJsonObject toJson() const;
    // Strict decoding; throws JsonDecodingError (naming the key path of the
    // first fault). Unknown keys are ignored.
    static PanesSnapshot decode(const QByteArray &bytes);
    // The same on an already parsed document.
    static PanesSnapshot fromJson(const QJsonObject &root);

    friend bool operator==(const PanesSnapshot &a, const PanesSnapshot &b)
    {
        return a.version == b.version && a.nextAgentNumber == b.nextAgentNumber &&
               a.focusedPaneId == b.focusedPaneId && a.expandedPaneId == b.expandedPaneId && a.panes == b.panes;
    }
};

} // namespace nerim
