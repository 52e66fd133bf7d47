#pragma once

namespace nerim::PaneWarmUp {

// What an agent pane uses costs most the first time in the process: the
// font database is read, each face is opened and its shaper set up, the
// style sheets' style is made, the code highlighter's patterns are
// compiled, the first glyphs are drawn. Done while the first pane is made,
// that one turn would take several frames. `start` does it beforehand, in
// steps of one turn each (a throwaway pane, a run of prose, a code block,
// a line of each kind, each laid out and drawn into an image), so no turn
// holds the window; it is started when a project's agent column is made,
// before its panes come. Later calls do nothing.
void start();
// Every step has run.
bool isDone();

} // namespace nerim::PaneWarmUp
