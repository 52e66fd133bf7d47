#include "platform/guard/AppConfinement.h"

#include "platform/guard/GitSettings.h"

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
bool rebuildFolders(const std::vector<std::string> &hidden, const std::vector<std::string> &privateFolders)
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
struct Place {
    std::string path;
    int fd = -1;
    bool writable = false;
    bool folder = true;
};

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
    for (const std::string &path : confinement.readOnly) {
        if (!hold(path, false) && errno != ENOENT && errno != ENOTDIR)
            held = false;
    }
    // The folder where nerim-git finds the real git and its exec path.
    if (const char *realGit = std::getenv(realGitVariable)) {
        const std::string git = realGit;
        const std::string::size_type slash = git.rfind('/');
        if (slash != std::string::npos && slash > 0)
            held = held && hold(git.substr(0, slash), false);
    }
    const auto release = [&places] {
        for (const Place &place : places)
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
        whole = whole && makeMountPoint(place.path, place.folder) &&
                mount(fdPath(place.fd).c_str(), place.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
                (place.writable ? setReadOnly(place.path, false, false) : setReadOnly(place.path, true, true));
    }
    release();
    whole = whole && rebuildFolders(confinement.hidden, confinement.privateFolders);
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
    return rebuildFolders(confinement.hidden, {});
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
