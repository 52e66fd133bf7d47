#include "platform/guard/AppConfinement.h"

#include "platform/guard/GitEnvironment.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace nerim::platform::guard {

namespace {

// Landlock, through its system calls (linux/landlock.h of older kernels lacks
// the scopes; the values are the kernel's ABI).
constexpr unsigned landlockCreateRulesetVersion = 1U << 0; // LANDLOCK_CREATE_RULESET_VERSION
constexpr unsigned long long landlockScopeAbstractUnixSocket = 1ULL << 0; // LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (ABI 6)
constexpr unsigned long long landlockScopeSignal = 1ULL << 1; // LANDLOCK_SCOPE_SIGNAL (ABI 6)
constexpr int landlockFirstAbiWithScopes = 6;

// Rights on files and folders that change something (ABI 1, 2 and 3).
constexpr unsigned long long landlockWriteFile = 1ULL << 1;
constexpr unsigned long long landlockChangesInFolders = (1ULL << 4) | (1ULL << 5) | (1ULL << 6) | (1ULL << 7) |
                                                        (1ULL << 8) | (1ULL << 9) | (1ULL << 10) | (1ULL << 11) |
                                                        (1ULL << 12); // remove dir/file, make char/dir/reg/sock/fifo/block/sym
constexpr unsigned long long landlockRefer = 1ULL << 13; // ABI 2
constexpr unsigned long long landlockTruncate = 1ULL << 14; // ABI 3
constexpr unsigned landlockRulePathBeneath = 1; // LANDLOCK_RULE_PATH_BENEATH

// struct landlock_path_beneath_attr.
struct __attribute__((packed)) LandlockPathBeneath {
    unsigned long long allowedAccess;
    int parentFd;
};

// struct landlock_ruleset_attr as of ABI 6.
struct LandlockRulesetAttributes {
    unsigned long long handledAccessFs;
    unsigned long long handledAccessNet;
    unsigned long long scoped;
};

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string fdPath(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

bool setReadOnly(const std::string &path, bool readOnly, bool recursive)
{
    mount_attr attributes{};
    (readOnly ? attributes.attr_set : attributes.attr_clr) = MOUNT_ATTR_RDONLY;
    return mount_setattr(AT_FDCWD, path.c_str(), recursive ? AT_RECURSIVE : 0, &attributes, sizeof attributes) == 0;
}

// Creates the folders leading to `path` that are missing (possible only
// inside a file system of the namespace's own), and `path` itself as a folder
// or an empty file, to mount on.
bool makeMountPoint(const std::string &path, bool folder)
{
    struct stat info;
    if (lstat(path.c_str(), &info) == 0)
        return true;
    for (std::string::size_type slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string step = path.substr(0, slash);
        if (mkdir(step.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    if (folder)
        return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errno == EEXIST;
    close(fd);
    return true;
}

// Whether a folder's entry named `name` is one of `leftOut` or a copy named
// after one (`.claude.json.backup`, `.claude.json.tmp.123`).
bool isLeftOut(const std::string &name, const std::set<std::string> &leftOut)
{
    for (const std::string &out : leftOut) {
        if (name == out || (name.size() > out.size() && name.compare(0, out.size(), out) == 0 && name[out.size()] == '.'))
            return true;
    }
    return false;
}

// Lays a file system of its own over `folder` and binds every entry of the
// real folder back into it but those left out (see isLeftOut). The new file
// system has the folder's owner and mode and is writable until made
// read-only.
bool rebuildWithout(const std::string &folder, const std::set<std::string> &leftOut)
{
    struct stat info;
    const int real = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (real < 0)
        return false;
    const int listing = fstat(real, &info) == 0 ? openat(real, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    DIR *entries = listing >= 0 ? fdopendir(listing) : nullptr;
    if (!entries) {
        if (listing >= 0)
            close(listing);
        close(real);
        return false;
    }
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(info.st_mode & 07777));
    const std::string options = std::string("mode=") + mode + ",uid=" + std::to_string(info.st_uid) +
                                ",gid=" + std::to_string(info.st_gid);
    if (mount("nerim-rebuilt", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        closedir(entries);
        close(real);
        return false;
    }
    bool whole = true;
    const std::string realPath = fdPath(real) + "/";
    while (const dirent *entry = readdir(entries)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || isLeftOut(name, leftOut))
            continue;
        const std::string target = folder + "/" + name;
        struct stat item;
        if (fstatat(real, name.c_str(), &item, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        if (S_ISLNK(item.st_mode)) {
            char link[PATH_MAX];
            const ssize_t length = readlinkat(real, name.c_str(), link, sizeof link - 1);
            if (length < 0)
                continue;
            link[length] = '\0';
            whole = whole && symlink(link, target.c_str()) == 0;
            continue;
        }
        const bool made = S_ISDIR(item.st_mode) ? mkdir(target.c_str(), 0700) == 0
                                                : mknod(target.c_str(), S_IFREG | 0600, 0) == 0;
        whole = whole && made &&
                mount((realPath + name).c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
    }
    closedir(entries);
    close(real);
    return whole;
}

// Notes `path` for rebuilding: its nearest folder that exists is to be
// rebuilt without the entry that leads to it. False for a relative path, or
// one whose folder would be the root.
bool noteForRebuilding(const std::string &path, std::map<std::string, std::set<std::string>> &rebuilt)
{
    std::string step = withoutTrailingSlashes(path);
    for (;;) {
        const std::string::size_type slash = step.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return false;
        const std::string folder = step.substr(0, slash);
        struct stat info;
        if (stat(folder.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode))
                return false;
            rebuilt[folder].insert(step.substr(slash + 1));
            return true;
        }
        if (errno != ENOENT && errno != ENOTDIR)
            return false;
        step = folder;
    }
}

// A folder only the program writes to, at `path` (made in a rebuilt folder):
// an overlay of the real folder (`lower`, -1 when there was none) on an empty
// file system, or that empty file system alone where the kernel allows no
// overlay here.
bool makePrivateFolder(const std::string &path, int lower)
{
    if (!makeMountPoint(path, true) ||
        mount("nerim-private", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700") != 0)
        return false;
    if (lower < 0)
        return true;
    const std::string upper = path + "/upper";
    const std::string work = path + "/work";
    if (mkdir(upper.c_str(), 0700) != 0 || mkdir(work.c_str(), 0700) != 0)
        return false;
    const int upperFd = open(upper.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int workFd = open(work.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    bool laid = false;
    if (upperFd >= 0 && workFd >= 0) {
        const std::string options =
            "lowerdir=" + fdPath(lower) + ",upperdir=" + fdPath(upperFd) + ",workdir=" + fdPath(workFd);
        // Extended attributes of the user's namespace where the kernel wants
        // them (a user namespace), the privileged ones otherwise.
        laid = mount("nerim-private", path.c_str(), "overlay", MS_NOSUID | MS_NODEV, (options + ",userxattr").c_str()) == 0 ||
               mount("nerim-private", path.c_str(), "overlay", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
    }
    for (const int fd : {upperFd, workFd})
        if (fd >= 0)
            close(fd);
    if (!laid) {
        // The empty folder stands in for the copy.
        rmdir(upper.c_str());
        rmdir(work.c_str());
    }
    return true;
}

// Hides `hidden` and makes `privateFolders` by rebuilding the folders that
// hold them (outer ones first: an inner one is then rebuilt inside its
// bound-back copy); a rebuilt folder that was read-only is made read-only
// again once all is in place.
bool rebuildFolders(const std::vector<std::string> &hidden, const std::vector<std::string> &privateFolders,
                    const std::vector<std::pair<std::string, int>> &shown = {})
{
    std::map<std::string, std::set<std::string>> rebuilt;
    for (const std::string &path : hidden) {
        struct stat info;
        const bool exists = lstat(path.c_str(), &info) == 0;
        if (!exists && errno != ENOENT && errno != ENOTDIR)
            return false;
        if (!noteForRebuilding(path, rebuilt))
            return false;
        // What a link there leads to is hidden where it is too.
        char resolved[PATH_MAX];
        if (exists && S_ISLNK(info.st_mode) && realpath(path.c_str(), resolved) && !noteForRebuilding(resolved, rebuilt))
            return false;
    }
    // The real folders are held before anything is laid over them.
    std::vector<std::pair<std::string, int>> privates;
    for (const std::string &path : privateFolders) {
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode))
            continue; // not a folder: stays read-only
        if (!noteForRebuilding(path, rebuilt))
            return false;
        privates.emplace_back(withoutTrailingSlashes(path), open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    std::vector<std::string> folders;
    for (const auto &entry : rebuilt)
        folders.push_back(entry.first);
    std::sort(folders.begin(), folders.end(),
              [](const std::string &a, const std::string &b) { return a.size() < b.size(); });
    std::vector<std::string> readOnlyAgain;
    bool whole = true;
    for (const std::string &folder : folders) {
        struct statvfs volume;
        if (statvfs(folder.c_str(), &volume) == 0 && (volume.f_flag & ST_RDONLY))
            readOnlyAgain.push_back(folder);
        if (!rebuildWithout(folder, rebuilt[folder])) {
            whole = false;
            break;
        }
    }
    for (const auto &[path, lower] : privates) {
        whole = whole && makePrivateFolder(path, lower);
        if (lower >= 0)
            close(lower);
    }
    // What must stay in sight in a folder rebuilt without it (the guard's git
    // folder in the hidden runtime folder) is bound back, read-only.
    for (const auto &[path, fd] : shown) {
        const bool inRebuilt = std::any_of(folders.begin(), folders.end(), [&path = path](const std::string &folder) {
            return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
        });
        if (!inRebuilt || fd < 0)
            continue;
        whole = whole && makeMountPoint(path, true) &&
                mount(fdPath(fd).c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
                setReadOnly(path, true, true);
    }
    for (const std::string &folder : readOnlyAgain)
        whole = whole && setReadOnly(folder, true, false);
    return whole;
}

// A /dev of the program's own, holding only the harmless devices (a disk's
// device is writable to root without any capability), a terminal folder of
// its own and a private /dev/shm. No `tty`: the program has no controlling
// terminal, and none of Nerim's is to be reached through it.
bool makeDeviceFolder()
{
    const int real = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (real < 0)
        return false;
    bool whole = mount("nerim-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") == 0;
    for (const char *device : {"null", "zero", "full", "random", "urandom"}) {
        const std::string target = std::string("/dev/") + device;
        struct stat info;
        if (!whole || fstatat(real, device, &info, 0) != 0 || !S_ISCHR(info.st_mode))
            continue;
        whole = makeMountPoint(target, false) &&
                mount((fdPath(real) + "/" + device).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    close(real);
    whole = whole && mkdir("/dev/pts", 0755) == 0 &&
            mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") == 0 &&
            symlink("pts/ptmx", "/dev/ptmx") == 0;
    whole = whole && mkdir("/dev/shm", 01777) == 0 && mount("nerim-tmp", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
    for (const auto &[name, target] : {std::pair{"fd", "/proc/self/fd"}, std::pair{"stdin", "/proc/self/fd/0"},
                                       std::pair{"stdout", "/proc/self/fd/1"}, std::pair{"stderr", "/proc/self/fd/2"}})
        whole = whole && symlink(target, (std::string("/dev/") + name).c_str()) == 0;
    return whole && setReadOnly("/dev", true, false);
}

// A place bound at its own path: writable, or read-only with all below it.
// Bound from the folder held open (`fd`), or from its path where none is held.
struct Place {
    std::string path;
    int fd = -1;
    bool writable = false;
    bool folder = true;
};

// How far the search for repositories goes into a writable place: 32 folders
// deep and 100,000 folders in all. Repositories sit near the top of a
// project (its own, vendored ones, a monorepo's packages, submodules; npm's
// folders nest a dozen deep at most), and the search runs each time the app
// starts, before it does: the bound keeps a project holding a huge tree (a
// data set, a mounted drive) from delaying the start for long.
constexpr int repositorySearchDepth = 32;
constexpr int repositorySearchFolders = 100000;

// `relative` (a path below a place, "/"-separated, no leading slash) with "."
// and ".." taken out; false when it would leave the place.
bool normalizedBeneath(const std::string &relative, std::string &out)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (start <= relative.size()) {
        const std::string::size_type slash = relative.find('/', start);
        const std::string part = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        start = slash == std::string::npos ? relative.size() + 1 : slash + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (parts.empty())
                return false;
            parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    out.clear();
    for (const std::string &part : parts)
        out += (out.empty() ? "" : "/") + part;
    return !out.empty();
}

// Whether `relative` names a folder below `root`, reached without following
// any link on the way.
bool isFolderBeneath(int root, const std::string &relative)
{
    int at = root;
    bool folder = true;
    std::string::size_type start = 0;
    while (folder && start < relative.size()) {
        const std::string::size_type slash = relative.find('/', start);
        const std::string part = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        start = slash == std::string::npos ? relative.size() : slash + 1;
        const int next = openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (at != root)
            close(at);
        at = next;
        folder = next >= 0;
    }
    if (at >= 0 && at != root)
        close(at);
    return folder;
}

// The folder a `.git` file names ("gitdir: PATH", relative to the folder
// holding it, or absolute), relative to the place; empty when it names none
// below the place, or only through a link.
std::string gitFolderNamedBy(int folder, const std::string &relativeFolder, int root, const std::string &rootPath)
{
    const int fd = openat(folder, ".git", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    char text[4096];
    struct stat info;
    const ssize_t got = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? read(fd, text, sizeof text) : -1;
    close(fd);
    if (got <= 0)
        return {};
    std::string line(text, static_cast<size_t>(got));
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    static const std::string prefix = "gitdir:";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return {};
    std::string named = line.substr(prefix.size());
    named.erase(0, named.find_first_not_of(" \t"));
    std::string relative;
    if (!named.empty() && named[0] == '/') {
        if (named.compare(0, rootPath.size() + 1, rootPath + "/") != 0)
            return {}; // outside the place: read-only like everything there
        relative = named.substr(rootPath.size() + 1);
    } else {
        relative = relativeFolder.empty() ? named : relativeFolder + "/" + named;
    }
    std::string beneath;
    if (!normalizedBeneath(relative, beneath) || !isFolderBeneath(root, beneath))
        return {};
    return beneath;
}

// Every repository's git folder below the writable place `root` (at
// `rootPath`), found without following links: each `.git` folder, each
// `.git` file with the folder it names, and each folder that is a git folder
// by its contents (HEAD, objects, refs: a bare repository, or one a `.git`
// file reaches through a link). Each is added to `places`, read-only.
void findRepositories(int root, const std::string &rootPath, std::vector<Place> &places)
{
    // The folders being searched, outermost first: only these are open (one
    // for each level), their subfolders are opened in turn.
    struct Open {
        DIR *dir;
        std::string relative; // "" for the place itself
        int depth;
        std::vector<std::string> below;
        size_t next = 0;
    };
    const auto add = [&places, &rootPath](const std::string &relative, bool folder) {
        places.push_back(Place{rootPath + "/" + relative, -1, false, folder});
    };
    const auto join = [](const std::string &folder, const std::string &name) {
        return folder.empty() ? name : folder + "/" + name;
    };
    int folders = 0;
    std::vector<Open> stack;
    // Lists a folder; notes the repository it is or holds; keeps it open
    // while its subfolders are to be searched.
    const auto enter = [&](DIR *dir, const std::string &relative, int depth) {
        ++folders;
        const int at = dirfd(dir);
        Open open{dir, relative, depth, {}};
        bool head = false, objects = false, refs = false;
        unsigned char gitEntry = DT_UNKNOWN;
        bool hasGitEntry = false;
        while (const dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat info;
                if (fstatat(at, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_LNK;
            }
            if (name == ".git") {
                hasGitEntry = true;
                gitEntry = type;
                continue;
            }
            head = head || (name == "HEAD" && type == DT_REG);
            objects = objects || (name == "objects" && type == DT_DIR);
            refs = refs || (name == "refs" && type == DT_DIR);
            if (type == DT_DIR)
                open.below.push_back(name);
        }
        if (head && objects && refs && !relative.empty()) {
            // A git folder: read-only as a whole, and nothing to find in it.
            add(relative, true);
            closedir(dir);
            return;
        }
        if (hasGitEntry && gitEntry == DT_DIR) {
            add(join(relative, ".git"), true);
        } else if (hasGitEntry && gitEntry == DT_REG) {
            add(join(relative, ".git"), false);
            const std::string named = gitFolderNamedBy(at, relative, root, rootPath);
            if (!named.empty())
                add(named, true);
        }
        stack.push_back(std::move(open));
    };
    const int first = openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR *dir = first >= 0 ? fdopendir(first) : nullptr)
        enter(dir, std::string(), 0);
    else if (first >= 0)
        close(first);
    while (!stack.empty()) {
        Open &current = stack.back();
        if (current.depth >= repositorySearchDepth || current.next >= current.below.size() ||
            folders >= repositorySearchFolders) {
            closedir(current.dir);
            stack.pop_back();
            continue;
        }
        const std::string name = current.below[current.next++];
        const std::string relative = join(current.relative, name);
        const int depth = current.depth + 1;
        const int fd = openat(dirfd(current.dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
        if (dir)
            enter(dir, relative, depth);
        else if (fd >= 0)
            close(fd);
    }
}

bool confine(const Confinement &confinement)
{
    // What stays reachable is held before anything is laid over it.
    std::vector<Place> places;
    const auto hold = [&places](const std::string &path, bool writable) {
        const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
        struct stat info;
        if (fd < 0 || fstat(fd, &info) != 0) {
            if (fd >= 0)
                close(fd);
            return false;
        }
        places.push_back(Place{withoutTrailingSlashes(path), fd, writable, S_ISDIR(info.st_mode)});
        return true;
    };
    bool held = true;
    for (const std::string &path : confinement.writable)
        held = held && hold(path, true);
    // Every repository in a writable folder stays read-only, not only the
    // project's own `.git`, so no hook the program plants runs in anyone's git.
    for (size_t i = 0, writable = places.size(); held && i < writable; ++i) {
        if (places[i].folder) {
            const std::string root = places[i].path; // (places grows)
            findRepositories(places[i].fd, root, places);
        }
    }
    for (const std::string &path : confinement.readOnly) {
        if (!hold(path, false) && errno != ENOENT && errno != ENOTDIR)
            held = false;
    }
    // The folder where nerim-git finds the real git and its exec path (the
    // guard's own folder, also where it lies in a folder hidden below).
    std::vector<std::pair<std::string, int>> shown;
    if (const char *realGit = std::getenv(realGitVariable)) {
        const std::string git = realGit;
        const std::string::size_type slash = git.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            held = held && hold(git.substr(0, slash), false);
            if (held)
                shown.emplace_back(places.back().path, places.back().fd);
        }
    }
    const auto release = [&places] {
        for (const Place &place : places)
            if (place.fd >= 0)
                close(place.fd);
    };
    if (!held) {
        release();
        return false;
    }

    bool whole = setReadOnly("/", true, true);
    // Best effort, as without confinement: the program then sees the
    // system's process ids there. The system's settings in it stay
    // read-only (root owns them, and a program running as root needs no
    // capability to write some of them).
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0) {
        for (const char *setting : {"/proc/sys", "/proc/sysrq-trigger", "/proc/irq", "/proc/bus", "/proc/fs"}) {
            struct stat info;
            if (whole && lstat(setting, &info) == 0)
                whole = mount(setting, setting, nullptr, MS_BIND | MS_REC, nullptr) == 0 && setReadOnly(setting, true, true);
        }
    }
    whole = whole && makeDeviceFolder();
    for (const char *temporary : {"/tmp", "/var/tmp"}) {
        struct stat info;
        if (!whole || lstat(temporary, &info) != 0 || !S_ISDIR(info.st_mode))
            continue;
        whole = mount("nerim-tmp", temporary, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
    }
    // Shorter paths first: a place inside another is bound onto the bound copy.
    std::stable_sort(places.begin(), places.end(),
                     [](const Place &a, const Place &b) { return a.path.size() < b.path.size(); });
    for (const Place &place : places) {
        const std::string source = place.fd >= 0 ? fdPath(place.fd) : place.path;
        whole = whole && makeMountPoint(place.path, place.folder) &&
                mount(source.c_str(), place.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
                (place.writable ? setReadOnly(place.path, false, false) : setReadOnly(place.path, true, true));
    }
    whole = whole && rebuildFolders(confinement.hidden, confinement.privateFolders, shown);
    release();
    // The private temporary folder is the one the program's tools use.
    setenv("TMPDIR", "/tmp", 1);
    return whole;
}

} // namespace

bool layOutMountNamespace(const Confinement &confinement)
{
    if (confinement.confined)
        return confine(confinement);
    (void)mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
    // The guard's git folder stays in sight where a hidden folder holds it.
    std::vector<std::pair<std::string, int>> shown;
    if (const char *realGit = std::getenv(realGitVariable)) {
        const std::string git = realGit;
        const std::string folder = git.substr(0, git.rfind('/'));
        if (!folder.empty())
            shown.emplace_back(folder, open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    const bool laidOut = rebuildFolders(confinement.hidden, {}, shown);
    for (const auto &[path, fd] : shown)
        if (fd >= 0)
            close(fd);
    return laidOut;
}

int landlockAbi()
{
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, landlockCreateRulesetVersion);
    return abi < 0 ? 0 : static_cast<int>(abi);
}

bool scopeAwayFromTheSession()
{
    if (landlockAbi() < landlockFirstAbiWithScopes)
        return true;
    const LandlockRulesetAttributes attributes{0, 0, landlockScopeAbstractUnixSocket | landlockScopeSignal};
    const long ruleset = syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
    if (ruleset < 0)
        return false;
    const bool applied = syscall(SYS_landlock_restrict_self, static_cast<int>(ruleset), 0) == 0;
    close(static_cast<int>(ruleset));
    return applied;
}

bool keepWritesToPlaces(const Confinement &confinement)
{
    const int abi = landlockAbi();
    if (abi < 1)
        return true;
    const unsigned long long fileRights = landlockWriteFile | (abi >= 3 ? landlockTruncate : 0);
    const unsigned long long allRights = fileRights | landlockChangesInFolders | (abi >= 2 ? landlockRefer : 0);
    // The ABI 1 form of the attributes: only the handled file-system rights.
    const unsigned long long handled = allRights;
    const long ruleset = syscall(SYS_landlock_create_ruleset, &handled, sizeof handled, 0);
    if (ruleset < 0)
        return false;
    const auto allow = [ruleset, fileRights](const std::string &path, unsigned long long rights) {
        const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0)
            return errno == ENOENT || errno == ENOTDIR; // nothing there to write
        struct stat info;
        const bool folder = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
        const LandlockPathBeneath rule{folder ? rights : rights & fileRights, fd};
        const bool added = syscall(SYS_landlock_add_rule, static_cast<int>(ruleset), landlockRulePathBeneath, &rule, 0) == 0;
        close(fd);
        return added;
    };
    bool whole = true;
    for (const std::string &path : confinement.writable)
        whole = whole && allow(path, allRights);
    // The temporary folder its tools use (shared with the rest of the system here).
    const char *temporary = std::getenv("TMPDIR");
    whole = whole && allow(temporary && temporary[0] == '/' ? temporary : "/tmp", allRights) && allow("/dev/shm", allRights);
    // The devices (/dev/null, a terminal) are written to, but nothing is made there.
    whole = whole && allow("/dev", fileRights);
    whole = whole && syscall(SYS_landlock_restrict_self, static_cast<int>(ruleset), 0) == 0;
    close(static_cast<int>(ruleset));
    return whole;
}

} // namespace nerim::platform::guard
