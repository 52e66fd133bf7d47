#pragma once

// Makes every git a tree runs come through `nerim-git` (see GitSettings.h).
//
// Before it starts the program the guard makes a private folder (mode 0700,
// removed when the guard exits) in the user's own private folder, never in the
// shared /tmp: "nerim" in $XDG_RUNTIME_DIR when that is the user's alone, else
// in the user's state folder ($XDG_STATE_HOME, else ~/.local/state). Each is
// made with mkdir 0700 when missing and checked (owner, mode) on the opened
// folder before anything is made in it; a running app, which writes only its
// own places, cannot change what is there. The folder holds
//   bin/git   -> nerim-git, put first on PATH;
//   exec/     a mirror of the real git's exec path (`git --exec-path`): a
//             link to each of its entries, but git, git-receive-pack,
//             git-upload-pack and git-upload-archive lead to nerim-git;
//             given as GIT_EXEC_PATH.
// git puts its exec path first on PATH for everything it starts, so the gits
// it starts in turn (submodules, the other end of a push to a repository on
// this computer, for which git drops every command-scope setting) come back
// through nerim-git too, which then asks about that repository. Where the
// real git and its exec path are is recorded for nerim-git in the
// environment (project files cannot set that).
//
// The folder is `nerim-git-` and six random letters, made with mkdirat (0700)
// and filled with *at calls. Its `owner` file names the guard (pid, start
// time, PID namespace), so one left by a guard killed outright is removed by
// the next guard of that user that sees the same processes. nerim-git is
// built from GitShimMain.cpp and put beside nerim-guard, the only place the
// guard looks for it. The real git and its exec path are recorded in
// NERIM_GIT_REAL and NERIM_GIT_REAL_EXEC_PATH; the project folder (the
// folder the guard starts the program in: its --cwd, else its own, resolved)
// in NERIM_GIT_PROJECT; Nerim's data folder ($XDG_DATA_HOME, else
// ~/.local/share, then "Nerim") in NERIM_GIT_NERIM_DATA. A pack program's
// repository is the folder it serves. Covering the real git in a mount
// namespace matters because a login shell may set PATH anew (Debian's
// /etc/profile does).
//
// For programs that run git by its full path, or reset PATH, the guard also
// puts a small fixed set of command-scope settings in the environment (see
// fixedGitSettings); nerim-git recognises them as the guard's and does not
// take them for the user's own.

#include <string>

namespace nerim::platform::guard {

struct GitRoutingOptions {
    // Makes nerim-git refuse `git push` of a commit that holds a secret file.
    bool refusePushingSecrets = false;
    // The folder the program starts in (the guard's --cwd), or null for the
    // guard's own: the project, outside which no work tree is accepted.
    const char *projectFolder = nullptr;
};

// Sets up the folder and this process's environment (which the program
// inherits). False, with `error` set to an errno, when git is installed but
// could not be routed (the program must then not start). Without git on PATH
// only the fixed settings are left out and nothing is routed.
bool routeGitThroughShim(const GitRoutingOptions &options, int &error);

// In a mount namespace of the tree's own (after routeGitThroughShim): lays
// nerim-git over the real git's file, so that a program that runs git by its
// full path, or from a PATH its login shell set anew, gets nerim-git too; the
// real git stays reachable for nerim-git in the private folder. Best effort.
void coverRealGitInThisMountNamespace();

} // namespace nerim::platform::guard
