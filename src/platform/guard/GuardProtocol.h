#pragma once

// What Nerim and its process guard (`nerim-guard`) say to each other over the
// control socket: one text line per message.
//
// Command line of the guard:
//   nerim-guard [--parent PID] [--grace-ms N] [--end-tree-on-exit] [--cwd DIR] [--cgroup DIR]
//               [--no-pid-namespace] [--refuse-pushing-secrets] [--hide PATH]...
//               [--confine] [--writable PATH]... [--read-only PATH]... [--private PATH]...
// PROGRAM and its arguments are not on it (other users can read a command
// line): they come in the environment, NERIM_GUARD_WORDS holding their number
// and NERIM_GUARD_WORD_<i> each, PROGRAM first; the guard takes them out of
// the environment it hands on. Otherwise the guard's environment is PROGRAM's.
// Its standard input, output and error are handed to PROGRAM; the control
// socket is file descriptor 3.
//
// Nerim → guard: any data (Nerim sends "stop\n") asks the guard to end the
// whole tree; so does the end of the socket (Nerim has exited, however it ended).
//
// Guard → Nerim:
//   "started PID"            PROGRAM is running as PID (it leads its own process group)
//   "failed STAGE ERRNO"     PROGRAM could not be started; STAGE is "chdir" or "exec"
//   "exited CODE SIGNAL"     PROGRAM ended: with CODE, or by SIGNAL when that is not 0
//   "killing"                processes outlived the grace period and get SIGKILL
// The guard itself exits once no process of the tree is left.

namespace nerim::platform::guard {

inline constexpr int controlDescriptor = 3;

inline constexpr const char *programCountVariable = "NERIM_GUARD_WORDS";
inline constexpr const char *programWordVariable = "NERIM_GUARD_WORD_";

inline constexpr const char *stopCommand = "stop\n";
inline constexpr const char *startedMessage = "started";
inline constexpr const char *failedMessage = "failed";
inline constexpr const char *exitedMessage = "exited";
inline constexpr const char *killingMessage = "killing";

} // namespace nerim::platform::guard
