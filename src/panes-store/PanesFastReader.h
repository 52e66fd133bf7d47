#pragma once

#include "panes-store/PanesFileLayout.h"
#include "panes-store/PanesSnapshot.h"

#include <QByteArray>
#include <optional>

namespace nerim {

// Reads panes.json straight from its bytes in one pass, without building a
// JSON document, for the files this program writes. It accepts only what is
// plainly well formed and of the expected shape (strict JSON, valid UTF-8,
// every required key present with its type, known kinds, valid UUIDs, no
// repeated keys) and gives exactly what the strict document reader gives for
// such a file; anything else gives nothing, and the caller then reads the
// file through the strict reader, which reports the fault.
//
// Given `layout`, it also notes where in `bytes` each pane's transcript lines
// and each turn lie when they are exactly as this program writes them (the
// longest such run of lines from the first), for the first save to copy.
std::optional<PanesSnapshot> readPanesQuickly(const QByteArray &bytes, PanesFileLayout *layout = nullptr);

// The same, reading the file open at `fd` from where it stands to its end in
// pieces, so that a file of any size is read with no more of it in memory than
// one piece and the element being decoded. Throws RegularFile::ReadError when
// the file cannot be read on.
std::optional<PanesSnapshot> readPanesQuickly(int fd, PanesFileLayout *layout = nullptr);

} // namespace nerim
