#include "platform/guard/GitRouting.h"

#include "platform/guard/CapturedRun.h"
#include "platform/guard/GitSettings.h"
#include "platform/guard/ProcessTree.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace nerim::platform::guard {

namespace {

std::string realPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

bool isExecutableFile(const std::string &path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The private folder, removed when the guard exits (the tree has ended by then).
std::string &routingFolder()
{
    static std::string folder;
    return folder;
}

// What coverRealGitInThisMountNamespace lays over what.
struct Routed {
    std::string shim;
    std::string realGit; // with every link resolved
};

Routed &routed()
{
    static Routed state;
    return state;
}

void removeFolder(const std::string &folder)
{
    if (DIR *dir = ::opendir(folder.c_str())) {
        while (const dirent *entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string path = folder + "/" + name;
            struct stat info;
            if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                removeFolder(path);
            else
                ::unlink(path.c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(folder.c_str());
}

void removeRoutingFolder()
{
    if (!routingFolder().empty())
        removeFolder(routingFolder());
}

// The first `git` on `path` that is not nerim-git.
std::string findRealGit(const std::string &path, const std::string &shim)
{
    size_t start = 0;
    while (start <= path.size()) {
        const size_t colon = path.find(':', start);
        std::string folder = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        start = colon == std::string::npos ? path.size() + 1 : colon + 1;
        if (folder.empty() || folder[0] != '/')
            continue; // a relative entry would depend on where each program stands
        const std::string candidate = folder + "/git";
        if (isExecutableFile(candidate) && realPath(candidate) != shim)
            return candidate;
    }
    return {};
}

std::string trimmedLine(const std::string &text)
{
    std::string line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// What the real git says its exec path is (a mirror of an outer guard does not count).
std::string realExecPath(const std::string &realGit, Environment environment, const std::string &shim)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const CapturedRun run = runCaptured(realGit, {"git", "--exec-path"}, environmentLines(environment), 10000,
                                            64 * 1024, "/");
        if (!run.started || run.timedOut || !WIFEXITED(run.status) || WEXITSTATUS(run.status) != 0)
            return {};
        const std::string path = trimmedLine(run.output);
        if (!path.empty() && realPath(path + "/git") != shim)
            return path;
        environment.erase("GIT_EXEC_PATH");
    }
    return {};
}

// The PID namespace this process sees others in (process ids mean something only there).
std::string pidNamespace()
{
    char link[128];
    const ssize_t length = ::readlink("/proc/self/ns/pid", link, sizeof link - 1);
    return length > 0 ? std::string(link, static_cast<size_t>(length)) : std::string();
}

// Each folder records the guard that made it ("<pid> <start time> <pid
// namespace>"), so that one left by a guard killed outright (its exit never
// came) is removed by the next guard of the same user that sees the same
// processes.
void removeAbandonedFolders(const std::string &base)
{
    const std::string here = pidNamespace();
    if (here.empty())
        return;
    DIR *dir = ::opendir(base.c_str());
    if (!dir)
        return;
    std::vector<std::string> abandoned;
    const ProcProcessTable table;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind("nerim-git-", 0) != 0)
            continue;
        const std::string folder = base + "/" + name;
        struct stat info;
        if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
            continue;
        FILE *owner = std::fopen((folder + "/owner").c_str(), "re");
        if (!owner)
            continue; // still being made, or not one of ours
        long pid = 0;
        unsigned long long started = 0;
        char space[128] = {};
        const bool read = std::fscanf(owner, "%ld %llu %127s", &pid, &started, space) == 3;
        std::fclose(owner);
        if (!read || pid <= 0 || here != space)
            continue;
        const auto process = table.read(static_cast<pid_t>(pid));
        if (!process || process->startTime != started)
            abandoned.push_back(folder);
    }
    ::closedir(dir);
    for (const std::string &folder : abandoned)
        removeFolder(folder);
}

// Opens `name` in `parent` as a folder of this user's alone (owner, and no
// access for group or others, checked on the opened folder; a link is not
// followed), making it 0700 first when missing; -1 otherwise.
int openPrivateFolderIn(int parent, const char *name)
{
    if (::mkdirat(parent, name, 0700) != 0 && errno != EEXIST)
        return -1;
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
        (info.st_mode & 077) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    errno = EACCES;
    return -1;
}

// Whether `fd` is a folder whose entries only this user can change (its owner,
// or root's, and writable by nobody else).
bool changedOnlyByThisUser(int fd, bool alone)
{
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    if (info.st_uid != ::geteuid() && !(info.st_uid == 0 && !alone))
        return false;
    return (info.st_mode & (alone ? 077 : 022)) == 0;
}

// Opens `path` (absolute), making each missing folder on the way 0700.
int openMadeFolder(const std::string &path)
{
    for (std::string::size_type slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    ::mkdir(path.c_str(), 0700);
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The user's private folder for what the guard puts on a program's PATH, never
// the shared /tmp: "nerim" in the session's runtime folder ($XDG_RUNTIME_DIR,
// when it is the user's alone), else in the user's state folder
// ($XDG_STATE_HOME, else ~/.local/state; made when missing). A running app
// writes neither (they are outside its places), so it cannot replace what
// an agent's git runs. Returns the open folder (-1, errno set, when there is
// none) and its path in `path`.
int openPrivateBase(const Environment &environment, std::string &path)
{
    const auto value = [&environment](const char *name) {
        const auto found = environment.find(name);
        return found != environment.end() && !found->second.empty() && found->second[0] == '/' ? found->second
                                                                                               : std::string();
    };
    const std::string runtime = value("XDG_RUNTIME_DIR");
    if (!runtime.empty()) {
        const int parent = ::open(runtime.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parent >= 0) {
            const int fd = changedOnlyByThisUser(parent, true) ? openPrivateFolderIn(parent, "nerim") : -1;
            ::close(parent);
            if (fd >= 0) {
                path = runtime + "/nerim";
                return fd;
            }
        }
    }
    std::string state = value("XDG_STATE_HOME");
    if (state.empty() && !value("HOME").empty())
        state = value("HOME") + "/.local/state";
    if (state.empty()) {
        errno = ENOENT;
        return -1;
    }
    const int parent = openMadeFolder(state);
    if (parent < 0)
        return -1;
    const int fd = changedOnlyByThisUser(parent, false) ? openPrivateFolderIn(parent, "nerim") : -1;
    ::close(parent);
    if (fd < 0) {
        errno = EACCES;
        return -1;
    }
    path = state + "/nerim";
    return fd;
}

// A new folder "nerim-git-" and six random letters in `base` (never one that
// was there), opened and checked as private.
int makeRoutingFolderIn(int base, std::string &name)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6];
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            return -1;
        name = "nerim-git-";
        for (const unsigned char byte : random)
            name += letters[byte % (sizeof letters - 1)];
        if (::mkdirat(base, name.c_str(), 0700) != 0) {
            if (errno == EEXIST)
                continue;
            return -1;
        }
        return openPrivateFolderIn(base, name.c_str());
    }
    errno = EEXIST;
    return -1;
}

// The folder with bin/git and the exec path mirror, made beneath the opened
// folder: nothing in it is reached through a path someone else could change.
bool makeFolder(const std::string &shim, const std::string &execPath, const Environment &environment,
                std::string &folder)
{
    std::string basePath;
    const int base = openPrivateBase(environment, basePath);
    if (base < 0)
        return false;
    removeAbandonedFolders(basePath);
    std::string name;
    const int made = makeRoutingFolderIn(base, name);
    ::close(base);
    if (made < 0)
        return false;
    folder = basePath + "/" + name;
    routingFolder() = folder;
    const auto self = ProcProcessTable().read(::getpid());
    const int ownerFd = ::openat(made, "owner", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (FILE *owner = ownerFd >= 0 ? ::fdopen(ownerFd, "w") : nullptr) {
        std::fprintf(owner, "%ld %llu %s\n", static_cast<long>(::getpid()), self ? self->startTime : 0ULL,
                     pidNamespace().c_str());
        std::fclose(owner);
    }
    const auto linkAt = [](const std::string &target, int at, const std::string &link) {
        return ::symlinkat(target.c_str(), at, link.c_str()) == 0;
    };
    if (::mkdirat(made, "bin", 0700) != 0 || ::mkdirat(made, "exec", 0700) != 0 || !linkAt(shim, made, "bin/git")) {
        ::close(made);
        return false;
    }
    const int exec = ::openat(made, "exec", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(made);
    if (exec < 0)
        return false;
    static const char *const throughShim[] = {"git", "git-receive-pack", "git-upload-pack", "git-upload-archive"};
    bool linked = true;
    for (const char *name : throughShim)
        linked = linked && linkAt(shim, exec, name);
    DIR *dir = linked ? ::opendir(execPath.c_str()) : nullptr;
    if (!dir) {
        ::close(exec);
        return false;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." ||
            std::find(std::begin(throughShim), std::end(throughShim), name) != std::end(throughShim))
            continue;
        linked = linkAt(execPath + "/" + name, exec, name) && linked;
    }
    ::closedir(dir);
    ::close(exec);
    return linked;
}

// The folder the program starts in (the guard's --cwd, else its own), as a
// real path: the project of the tree.
std::string programFolder(const char *given)
{
    std::string folder = given ? given : "";
    char here[PATH_MAX];
    if (folder.empty() && ::getcwd(here, sizeof here))
        folder = here;
    else if (!folder.empty() && folder[0] != '/' && ::getcwd(here, sizeof here))
        folder = std::string(here) + "/" + folder;
    const std::string real = realPath(folder);
    return real.empty() ? folder : real;
}

// Nerim's data folder, where its key file is: the user's data folder
// ($XDG_DATA_HOME, else ~/.local/share) and "Nerim" in it.
std::string nerimDataFolder(const Environment &environment)
{
    const auto data = environment.find("XDG_DATA_HOME");
    if (data != environment.end() && !data->second.empty() && data->second[0] == '/')
        return data->second + "/Nerim";
    const auto home = environment.find("HOME");
    return home != environment.end() && !home->second.empty() ? home->second + "/.local/share/Nerim" : std::string();
}

} // namespace

bool routeGitThroughShim(const GitRoutingOptions &options, int &error)
{
    error = 0;
    if (options.refusePushingSecrets)
        ::setenv(refuseSecretsVariable, "1", 1);
    else
        ::unsetenv(refuseSecretsVariable);

    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        error = errno;
        return false;
    }
    std::string folderOfSelf(self, static_cast<size_t>(length));
    folderOfSelf.erase(folderOfSelf.rfind('/'));
    const std::string shim = realPath(folderOfSelf + "/nerim-git");
    if (shim.empty() || !isExecutableFile(shim)) {
        error = ENOENT;
        return false;
    }

    Environment environment = environmentFrom(environ);
    const std::string path = environment.count("PATH") ? environment["PATH"] : "/usr/local/bin:/usr/bin:/bin";
    const std::string realGit = findRealGit(path, shim);
    if (realGit.empty())
        return true; // no git to run

    const std::string execPath = realExecPath(realGit, environment, shim);
    if (execPath.empty()) {
        error = EIO;
        return false;
    }
    std::string folder;
    const bool made = makeFolder(shim, execPath, environment, folder);
    if (!routingFolder().empty()) {
        static bool registered = false;
        if (!registered)
            std::atexit(&removeRoutingFolder);
        registered = true;
    }
    if (!made) {
        error = errno ? errno : EIO;
        return false;
    }

    // The fixed settings: the user's own values, read outside any repository.
    const std::vector<Setting> user = usersCommandSettings(environment).value_or(std::vector<Setting>{});
    Environment query = environmentWith(environment, user, {});
    query.erase("GIT_CONFIG");
    query["GIT_CEILING_DIRECTORIES"].assign(1, '/');
    const CapturedRun run = runCaptured(realGit, {"git", "--no-pager", "config", "--list", "--show-scope", "-z",
                                                  "--includes"},
                                        environmentLines(query), 10000, 16u << 20, "/");
    std::vector<GitConfigItem> items;
    if (run.started && !run.timedOut && !run.tooLarge && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
        items = parseConfigListing(run.output).value_or(std::vector<GitConfigItem>{});
    const std::vector<Setting> fixed = fixedGitSettings(items, environment);
    routed() = Routed{shim, realPath(realGit)};
    const Environment result =
        environmentWith(environment, user, fixed,
                        {{"PATH", folder + "/bin:" + path},
                         {"GIT_EXEC_PATH", folder + "/exec"},
                         {realGitVariable, realGit},
                         {realExecPathVariable, execPath},
                         {projectVariable, programFolder(options.projectFolder)},
                         {nerimDataVariable, nerimDataFolder(environment)}});
    for (const auto &[name, value] : environment)
        if (!result.count(name))
            ::unsetenv(name.c_str());
    for (const auto &[name, value] : result)
        ::setenv(name.c_str(), value.c_str(), 1);
    return true;
}

void coverRealGitInThisMountNamespace()
{
    const Routed &state = routed();
    if (routingFolder().empty() || state.realGit.empty() || state.shim.empty())
        return;
    // The real git, reachable under the private folder (a file to mount on).
    const std::string real = routingFolder() + "/real-git";
    const int fd = ::open(real.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0700);
    if (fd < 0)
        return;
    ::close(fd);
    if (::mount(state.realGit.c_str(), real.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return;
    if (::mount(state.shim.c_str(), state.realGit.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return;
    ::setenv(realGitVariable, real.c_str(), 1);
}

} // namespace nerim::platform::guard
