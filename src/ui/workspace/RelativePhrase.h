#pragma once

#include "foundation/Timestamp.h"

#include <QString>

namespace nerim {

// How long ago (or how far ahead) `date` is from `now`, in English short
// units, in the largest whole unit that fits: "12 sec. ago", "5 min. ago",
// "3 hr. ago", "1 day ago", "2 days ago", "3 wk. ago", "2 mo. ago",
// "1 yr. ago", and "in 4 min." for a date ahead of `now`. A month counts 30
// days and a year 365. Dates ahead are shown as they are, never clamped.
QString relativePhraseShort(Timestamp date, Timestamp now);

} // namespace nerim
