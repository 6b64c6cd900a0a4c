#include "ZoqShell/Settings/ShellPaths.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Wire/WirePattern.h"
#include "ZoqShell/Settings/ShellIdentity.h"
#include "ZoqShell/Settings/ShellSettings.h"

#include <algorithm>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace zoq {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> absoluteVariable(const ShellPaths::Environment& environment, const char* name) {
    const std::optional<std::string> value = environment(name);
    if (!value || value->empty() || value->front() != '/') {
        return std::nullopt;
    }
    return fs::path(*value);
}

fs::path homeDirectory(const ShellPaths::Environment& environment) {
    if (const std::optional<fs::path> home = absoluteVariable(environment, "HOME")) {
        return *home;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16'384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return fs::path(found->pw_dir);
    }
    throw CoreError::invalid("home directory");
}

fs::path baseDirectory(const ShellPaths::Environment& environment, const char* variable,
                       const char* fallbackBelowHome) {
    if (const std::optional<fs::path> base = absoluteVariable(environment, variable)) {
        return *base;
    }
    return homeDirectory(environment) / fallbackBelowHome;
}

} // namespace

ShellPaths::Environment ShellPaths::processEnvironment() {
    return [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value == nullptr ? std::nullopt : std::optional<std::string>(value);
    };
}

fs::path ShellPaths::configRoot(const Environment& environment) {
    return baseDirectory(environment, "XDG_CONFIG_HOME", ".config") / directoryName;
}

fs::path ShellPaths::settingsFile(const Environment& environment) {
    return configRoot(environment) / ShellSettings::fileName;
}

std::vector<fs::path> ShellPaths::systemConfigRoots(const Environment& environment) {
    std::vector<fs::path> roots;
    const std::string directories = environment("XDG_CONFIG_DIRS").value_or("");
    std::size_t start = 0;
    while (start <= directories.size()) {
        const std::size_t colon = std::min(directories.find(':', start), directories.size());
        const fs::path directory(directories.substr(start, colon - start));
        if (directory.is_absolute()) {
            roots.push_back(directory / directoryName);
        }
        start = colon + 1;
    }
    if (roots.empty()) {
        roots.push_back(fs::path("/etc/xdg") / directoryName);
    }
    return roots;
}

fs::path ShellPaths::supportRoot(const Environment& environment) {
    return baseDirectory(environment, "XDG_DATA_HOME", ".local/share") / directoryName;
}

fs::path ShellPaths::autostartFile(const Environment& environment) {
    return baseDirectory(environment, "XDG_CONFIG_HOME", ".config") / "autostart" /
           (std::string(ShellIdentity::bundleID) + ".desktop");
}

fs::path ShellPaths::spoolRoot(const Environment& environment) {
    return supportRoot(environment) / "spool";
}

std::string ShellPaths::installUUID(ShellSettings& settings) {
    const JSONValue stored = settings.update(ShellSettings::installUUIDKey,
                                             [](const JSONValue* current) -> std::optional<JSONValue> {
                                                 if (current != nullptr && current->string() != nullptr &&
                                                     WirePattern::uuid().matches(*current->string())) {
                                                     return std::nullopt;
                                                 }
                                                 return JSONValue(makeUUID());
                                             });
    return *stored.string();
}

} // namespace zoq
