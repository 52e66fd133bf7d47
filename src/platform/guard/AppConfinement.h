#pragma once

// What a program the guard runs in a mount namespace of its own may see and
// write (development servers).
//
// Hidden paths are never laid over where they are: a file replaced by rename,
// or a folder renamed away and made anew, would drop such a mount and show
// what it hid. Instead the folder holding each is rebuilt: an empty file
// system takes its place, into which every entry of the real folder is bound
// back but the hidden ones (and their copies named after them, such as
// `.claude.json.backup`), so nothing that appears there later is seen either.
//
// Confined, the program writes only what it is allowed to, and everything it
// was not told about is read-only:
//   - the whole tree is made read-only;
//   - /tmp, /var/tmp and /dev/shm are empty file systems of its own, /dev
//     holds only the harmless devices and a terminal folder of its own, and
//     the system's settings in /proc stay read-only;
//   - each writable place is bound writable at its path, each read-only place
//     read-only (inside a writable one: `.git` and `.nerim` of the project),
//     also where they lie inside a private temporary folder;
//   - every repository in a writable place is read-only too: found, as the
//     program is about to start, by a search that follows no link and stops
//     32 folders deep and after 100,000 folders, it is each `.git` folder,
//     each `.git` file and the folder it names (resolved beneath the place
//     without links), and each folder that is a git folder by its contents;
//   - the guard's own git folder (see GitRouting.h) stays in sight,
//     read-only, also where it lies in a hidden folder;
//   - each private folder (a tool's cache under the home folder) is a copy of
//     the real one that only the program writes to (an overlay on an empty
//     file system, or an empty folder where overlays are not allowed), which
//     goes with the namespace;
//   - folders rebuilt to hide something are read-only again once built, as
//     they were;
//   - the program gets the Landlock scopes that keep it from the session's
//     abstract sockets and from signalling processes outside it, where the
//     kernel has them (ABI 6 and later).
//
// In order, in the init's mount namespace: its mounts are made private
// (nothing mounted later reaches it), then every mount read-only
// (`mount_setattr` with AT_RECURSIVE). A new /proc gets /proc/sys,
// /proc/sysrq-trigger, /proc/irq, /proc/bus and /proc/fs bound read-only
// (root needs no capability to write some settings there). /dev becomes a
// tmpfs holding null, zero, full, random and urandom bound from the real one
// (no tty: the program has no controlling terminal), a new devpts instance
// (/dev/ptmx a link into it), a private /dev/shm and the fd/std* links, then
// read-only: a disk's device node is writable to root without any capability,
// and a read-only mount does not stop writes to device nodes. /tmp and
// /var/tmp are empty tmpfs (mode 1777), and TMPDIR is /tmp. Then the places,
// each opened (O_PATH) before anything was laid over it, are bound at their
// own paths, shorter paths first, the folders leading to one inside the
// private /tmp made there; a writable place gets its top mount's read-only
// flag cleared. The repositories found beneath a writable place (one folder
// open per level; a `.git` file's `gitdir:` normalised beneath the place and
// opened component by component with O_NOFOLLOW) are bound read-only from
// their paths. nerim-git's routing folder is found from NERIM_GIT_REAL, after
// nerim-git was laid over the real git, and bound back read-only into a
// folder rebuilt to hide what holds it (the runtime folder).
//
// Rebuilding a folder: a tmpfs with the folder's owner and mode takes its
// place and every entry of the real folder is bound back into it
// (recursively; symbolic links are copied) except the hidden one and the
// names that continue it after a dot (`.claude.json.backup`,
// `.claude.json.tmp.<n>`). A hidden path that is a link is hidden at its
// target too, and outer folders are rebuilt first. The agent program writes
// `~/.claude.json` to a temporary file and renames it (checked with the
// installed program), which is why a mount laid over the file itself would
// not last. A private folder goes through the same rebuilding: it is left
// out of its folder and made there anew as a tmpfs with an overlay on top
// (the real folder as its lower layer, trying `userxattr` first for a user
// namespace), or the empty tmpfs alone where the kernel refuses the overlay.
//
// Before the exec (ProgramLaunch) the capabilities are dropped (bounding set
// emptied, ambient, permitted, effective and inheritable sets cleared) and
// no_new_privs set, so neither root nor a set-user-id program can unmount or
// remount what is laid out; a user namespace the program makes inside gets
// the mounts locked. The Landlock constants are defined here with raw system
// calls, as the distribution's headers predate them. Where the kernel gives
// no namespace nothing is hidden; the capabilities are still dropped (a
// normal user cannot empty its bounding set there, which no_new_privs makes
// moot), the scopes still applied, and `keepWritesToPlaces` handles every
// writing right of Landlock ABI 1 to 3 (write, truncate, make, remove,
// refer).
//
// DevServerConfinementTest runs a hostile app through
// `launcher_test_runner_host --app`, as root and as a normal user: its writes
// to ~/.bashrc, ~/.config/git/config, vercel's config, .git/config, a new
// home file and a system setting fail, moving .bashrc or .git away fails,
// ~/.claude.json replaced by rename while it runs stays hidden, no block
// device is visible, no display or bus variable arrives, the session's
// abstract sockets refuse it where the kernel has the scopes, and a static, a
// Python and a Node server still start, write into the project and /tmp, and
// answer.

#include <string>
#include <vector>

namespace nerim::platform::guard {

struct Confinement {
    std::vector<std::string> hidden;
    bool confined = false;
    std::vector<std::string> writable;
    std::vector<std::string> readOnly; // missing ones are left out
    std::vector<std::string> privateFolders;
};

// In the init, once it has a mount namespace of its own whose mounts no
// longer propagate back: mounts a /proc of the namespace and lays out what
// `confinement` asks. False when anything asked could not be done; the
// program must then not start.
bool layOutMountNamespace(const Confinement &confinement);

// In the program's process, after no_new_privs is set and before the exec:
// applies the Landlock scopes (abstract Unix sockets and signals). True when
// applied or when the kernel has none (older than ABI 6); false when the
// kernel has them but they could not be applied.
bool scopeAwayFromTheSession();

// In the program's process, where no mount namespace could be made for it
// (as for scopeAwayFromTheSession): where the kernel has Landlock, lets the
// program write, make or remove files only beneath its writable places, its
// temporary folder (TMPDIR, else /tmp) and /dev/shm, and write to the devices
// in /dev. What is hidden
// and the read-only places inside writable ones are not kept from it then.
bool keepWritesToPlaces(const Confinement &confinement);

// The Landlock ABI the kernel offers, 0 without Landlock.
int landlockAbi();

} // namespace nerim::platform::guard
