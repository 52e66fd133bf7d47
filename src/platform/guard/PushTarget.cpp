#include "platform/guard/PushTarget.h"

#include "platform/guard/CapturedRun.h"

#include <algorithm>
#include <set>
#include <sys/wait.h>

namespace nerim::platform::guard {

namespace {

constexpr int askTimeoutMs = 120000;
constexpr size_t maxListingBytes = size_t(64) << 20;

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool endedWell(const CapturedRun &run, int highestStatus = 0)
{
    return run.started && !run.timedOut && !run.tooLarge && WIFEXITED(run.status) &&
           WEXITSTATUS(run.status) <= highestStatus;
}

// `why`, with git's own reason: its first "fatal:" or "error:" line (a
// verbose run starts with lines that say what it does), else its first line.
std::string withError(std::string why, const CapturedRun &run)
{
    std::string line = run.firstErrorLine();
    for (const std::string &candidate : lines(run.errorOutput))
        if (candidate.starts_with("fatal: ") || candidate.starts_with("error: ")) {
            line = candidate.size() > 200 ? candidate.substr(0, 200) + "…" : candidate;
            break;
        }
    return line.empty() ? why : why + " (" + line + ")";
}

// A URL without the user (and password) before its host, as git shows it in
// what it prints; applied to both sides, so that either way they compare.
std::string anonymised(const std::string &url)
{
    const size_t scheme = url.find("://");
    const size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t hostEnd = url.find_first_of(scheme == std::string::npos ? ":/" : "/", hostStart);
    const size_t at = url.rfind('@', hostEnd == std::string::npos ? std::string::npos : hostEnd);
    if (at == std::string::npos || at < hostStart || (hostEnd != std::string::npos && at > hostEnd))
        return url;
    return url.substr(0, hostStart) + url.substr(at + 1);
}

bool isOwnRef(const std::string &name)
{
    return name == "HEAD" || (name.starts_with("refs/heads/") && name.size() > 11) ||
           (name.starts_with("refs/tags/") && name.size() > 10);
}

} // namespace

std::string PushRange::revisionInput() const
{
    std::string input;
    for (const std::string &tip : tips)
        input += tip + "\n";
    for (const std::string &object : held)
        input += "^" + object + "\n";
    return input;
}

std::string pushRepository(const std::vector<std::string> &arguments)
{
    std::string repo;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument == "--")
            return i + 1 < arguments.size() ? arguments[i + 1] : repo;
        if (argument.empty() || argument[0] != '-')
            return argument; // the first word that is not an option
        if (argument == "--repo" && i + 1 < arguments.size())
            repo = arguments[++i];
        else if (argument.starts_with("--repo="))
            repo = argument.substr(7);
        else if (argument == "-o" || argument == "--push-option" || argument == "--receive-pack" ||
                 argument == "--exec")
            ++i;
    }
    return repo;
}

std::optional<PushRange> pushRange(const std::string &realGit, const GitInvocation &invocation,
                                   const GitOverrides &overrides, const Environment &environment, std::string &why)
{
    const std::vector<std::string> environmentText = environmentLines(environment);
    const auto ask = [&](std::initializer_list<std::string> words, const std::vector<std::string> &more = {}) {
        std::vector<std::string> arguments{"git", "--no-pager"};
        arguments.insert(arguments.end(), invocation.queryOptions.begin(), invocation.queryOptions.end());
        arguments.insert(arguments.end(), words.begin(), words.end());
        arguments.insert(arguments.end(), more.begin(), more.end());
        return runCaptured(realGit, arguments, environmentText, askTimeoutMs, maxListingBytes);
    };

    // A dry run must stay one: an argument that could turn it off is not
    // passed to it (git takes any unambiguous start of a long option).
    for (const std::string &argument : overrides.finalArguments) {
        if (argument == "--")
            break;
        if (argument.starts_with("--no-d")) {
            why = "the push's options could not be checked (" + argument + ")";
            return std::nullopt;
        }
    }

    // Which local refs it sends from, and where to, as git resolves them.
    // Its own options go last (before any "--"), so that they win over the
    // push's (a -q would leave the listing empty).
    std::vector<std::string> dryArguments = overrides.finalArguments;
    const auto optionsEnd = std::find(dryArguments.begin(), dryArguments.end(), "--");
    dryArguments.insert(optionsEnd, {"--dry-run", "--porcelain", "--verbose", "--no-verify"});
    const CapturedRun dryRun = ask({"push"}, dryArguments);
    // A dry run ends with 1 when the target would reject a ref; those are listed too.
    if (!endedWell(dryRun, 1)) {
        why = withError("where the push would go and what it would send could not be learned", dryRun);
        return std::nullopt;
    }
    PushRange range;
    std::set<std::string> shownTargets;
    for (const std::string &line : lines(dryRun.output)) {
        if (line.starts_with("To ")) {
            shownTargets.insert(anonymised(line.substr(3)));
            continue;
        }
        // "<flag>\t<source>:<destination>\t<summary>"
        const size_t tab = line.find('\t');
        if (tab != 1)
            continue;
        const size_t end = line.find('\t', tab + 1);
        const std::string pair = line.substr(tab + 1, end == std::string::npos ? std::string::npos : end - tab - 1);
        const size_t colon = pair.rfind(':');
        const std::string source = pair.substr(0, colon == std::string::npos ? pair.size() : colon);
        if (source.empty() && line[0] == '-')
            continue; // deletes a ref of the target's: sends nothing
        if (!isOwnRef(source)) {
            why = "the push would send " + (source.empty() ? std::string("a ref") : source) +
                  ", which is not one of the project's own branches or tags";
            return std::nullopt;
        }
        if (std::find(range.tips.begin(), range.tips.end(), source) == range.tips.end())
            range.tips.push_back(source);
    }
    if (shownTargets.empty()) {
        why = withError("where the push would go could not be learned", dryRun);
        return std::nullopt;
    }

    // Where it goes: each push URL of the remote it names or git chooses.
    std::string repository = pushRepository(overrides.finalArguments);
    if (repository.empty()) {
        const CapturedRun branch = ask({"symbolic-ref", "-q", "HEAD"});
        const std::string ref = branch.output.substr(0, branch.output.find('\n'));
        if (endedWell(branch) && !ref.empty()) {
            const CapturedRun remote = ask({"for-each-ref", "--format=%(push:remotename)", "--", ref});
            if (!endedWell(remote)) {
                why = withError("which remote the push goes to could not be learned", remote);
                return std::nullopt;
            }
            repository = remote.output.substr(0, remote.output.find('\n'));
        }
        if (repository.empty())
            repository = "origin";
    }
    std::vector<std::string> urls;
    const CapturedRun configured = ask({"remote", "get-url", "--push", "--all", "--", repository});
    if (endedWell(configured))
        urls = lines(configured.output);
    else
        urls = {repository}; // not a remote's name: a URL or a path
    std::set<std::string> asked;
    for (const std::string &url : urls)
        asked.insert(anonymised(url));
    // Everything the dry run went to is a place asked about below.
    for (const std::string &target : shownTargets)
        if (!asked.count(target)) {
            why = "what " + target + " already holds could not be learned";
            return std::nullopt;
        }

    // What each of them holds, as it says now.
    bool first = true;
    for (const std::string &url : urls) {
        const CapturedRun listing = ask({"ls-remote", "--", url});
        if (!endedWell(listing)) {
            why = withError("what " + anonymised(url) + " already holds could not be learned", listing);
            return std::nullopt;
        }
        std::vector<std::string> objects;
        for (const std::string &line : lines(listing.output)) {
            const std::string object = line.substr(0, line.find('\t'));
            if (object.size() >= 40 && object.find_first_not_of("0123456789abcdef") == std::string::npos)
                objects.push_back(object);
        }
        std::sort(objects.begin(), objects.end());
        objects.erase(std::unique(objects.begin(), objects.end()), objects.end());
        if (first) {
            range.held = std::move(objects);
            first = false;
        } else {
            std::vector<std::string> both;
            std::set_intersection(range.held.begin(), range.held.end(), objects.begin(), objects.end(),
                                  std::back_inserter(both));
            range.held = std::move(both);
        }
    }
    return range;
}

} // namespace nerim::platform::guard
