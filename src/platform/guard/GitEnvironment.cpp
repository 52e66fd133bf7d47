#include "platform/guard/GitEnvironment.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace nerim::platform::guard {

namespace {

std::optional<long> number(std::string_view text)
{
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

uint64_t fingerprint(const std::vector<Setting> &settings)
{
    uint64_t hash = 1469598103934665603ULL;
    const auto add = [&hash](const std::string &text) {
        for (unsigned char c : text)
            hash = (hash ^ c) * 1099511628211ULL;
        hash = (hash ^ 0xff) * 1099511628211ULL;
    };
    for (const auto &[key, value] : settings) {
        add(key);
        add(value);
    }
    return hash;
}

} // namespace

const std::string *environmentValue(const Environment &environment, const char *name)
{
    const auto it = environment.find(name);
    return it == environment.end() ? nullptr : &it->second;
}

std::string environmentValueOr(const Environment &environment, const char *name, const std::string &fallback)
{
    const std::string *value = environmentValue(environment, name);
    return value && !value->empty() ? *value : fallback;
}

int queryTimeoutMs(const Environment &environment)
{
    const auto set = number(environmentValueOr(environment, queryTimeoutVariable));
    return set && *set >= 100 && *set <= 600000 ? static_cast<int>(*set) : 10000;
}

std::optional<std::vector<Setting>> usersCommandSettings(const Environment &environment)
{
    const std::string *count = environmentValue(environment, "GIT_CONFIG_COUNT");
    if (!count || count->empty())
        return std::vector<Setting>{};
    const auto total = number(*count);
    if (!total || *total < 0 || *total > 1000000)
        return std::nullopt;
    std::vector<Setting> settings;
    for (long i = 0; i < *total; ++i) {
        const std::string *key = environmentValue(environment, ("GIT_CONFIG_KEY_" + std::to_string(i)).c_str());
        const std::string *value = environmentValue(environment, ("GIT_CONFIG_VALUE_" + std::to_string(i)).c_str());
        if (!key || !value)
            return std::nullopt;
        settings.emplace_back(*key, *value);
    }
    // Take out what a guard or shim above marked as its own, if it is still
    // there as it was added.
    if (const std::string *mark = environmentValue(environment, ownSettingsVariable)) {
        const size_t colon = mark->find(':');
        const size_t second = mark->find(':', colon == std::string::npos ? colon : colon + 1);
        if (colon != std::string::npos && second != std::string::npos) {
            const auto first = number(std::string_view(*mark).substr(0, colon));
            const auto size = number(std::string_view(*mark).substr(colon + 1, second - colon - 1));
            const std::string hash = mark->substr(second + 1);
            if (first && size && *first >= 0 && *size >= 0 && *first + *size <= *total) {
                const auto begin = settings.begin() + *first;
                const std::vector<Setting> marked(begin, begin + *size);
                if (std::to_string(fingerprint(marked)) == hash)
                    settings.erase(begin, begin + *size);
            }
        }
    }
    return settings;
}

std::vector<Setting> commandScopeVariables(const std::vector<Setting> &user, const std::vector<Setting> &added)
{
    std::vector<Setting> variables;
    variables.emplace_back("GIT_CONFIG_COUNT", std::to_string(user.size() + added.size()));
    size_t index = 0;
    for (const auto *list : {&user, &added}) {
        for (const auto &[key, value] : *list) {
            variables.emplace_back("GIT_CONFIG_KEY_" + std::to_string(index), key);
            variables.emplace_back("GIT_CONFIG_VALUE_" + std::to_string(index), value);
            ++index;
        }
    }
    variables.emplace_back(ownSettingsVariable, std::to_string(user.size()) + ':' + std::to_string(added.size()) +
                                                    ':' + std::to_string(fingerprint(added)));
    return variables;
}

Environment environmentFrom(char **environ)
{
    Environment environment;
    for (char **entry = environ; entry && *entry; ++entry) {
        const char *equals = std::strchr(*entry, '=');
        if (equals)
            environment.emplace(std::string(*entry, static_cast<size_t>(equals - *entry)), std::string(equals + 1));
    }
    return environment;
}

std::vector<std::string> environmentLines(const Environment &environment)
{
    std::vector<std::string> lines;
    lines.reserve(environment.size());
    for (const auto &[name, value] : environment)
        lines.push_back(name + '=' + value);
    return lines;
}

Environment environmentWith(Environment environment, const std::vector<Setting> &user,
                            const std::vector<Setting> &added, const std::vector<Setting> &variables)
{
    for (auto it = environment.begin(); it != environment.end();) {
        if (it->first == "GIT_CONFIG_COUNT" || it->first.starts_with("GIT_CONFIG_KEY_") ||
            it->first.starts_with("GIT_CONFIG_VALUE_") || it->first == ownSettingsVariable)
            it = environment.erase(it);
        else
            ++it;
    }
    if (!user.empty() || !added.empty()) {
        for (const auto &[name, value] : commandScopeVariables(user, added))
            environment[name] = value;
    }
    for (const auto &[name, value] : variables)
        environment[name] = value;
    return environment;
}

} // namespace nerim::platform::guard
