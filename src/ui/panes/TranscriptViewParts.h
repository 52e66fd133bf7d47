#pragma once

// What the files of TranscriptView share and nothing outside them needs.

namespace nerim::transcript {

// How many screens of rows above and below the view keep their widgets.
inline constexpr int kKeptScreens = 2;

// Rough heights of rows not yet built, close enough for the scroll bar.
inline constexpr int kLineHeight = 18;

} // namespace nerim::transcript
