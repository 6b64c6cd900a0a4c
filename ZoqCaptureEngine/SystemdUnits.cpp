#include "ZoqCaptureEngine/SystemdUnits.h"

#include <algorithm>
#include <vector>

namespace zoq::systemd {
namespace {

constexpr std::string_view scopeSuffix = ".scope";
constexpr std::string_view serviceSuffix = ".service";

bool isUnit(std::string_view name) {
    return name.ends_with(scopeSuffix) || name.ends_with(serviceSuffix);
}

bool isUserManager(std::string_view name) {
    constexpr std::string_view prefix = "user@";
    if (!name.starts_with(prefix) || !name.ends_with(serviceSuffix)) {
        return false;
    }
    const std::string_view uid =
        name.substr(prefix.size(), name.size() - prefix.size() - serviceSuffix.size());
    return !uid.empty() && std::ranges::all_of(uid, [](char c) { return c >= '0' && c <= '9'; });
}

/// The path of the first hierarchy in the file that `wanted(hierarchy,
/// controllers)` accepts. Paths may hold ':' themselves
/// ("dbus-:1.2-org.example@0.service"), so only the first two split a line.
template <typename Predicate>
std::optional<std::string_view> hierarchyPath(std::string_view file, Predicate wanted) {
    while (!file.empty()) {
        const std::size_t end = std::min(file.find('\n'), file.size());
        const std::string_view line = file.substr(0, end);
        file.remove_prefix(std::min(end + 1, file.size()));
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second != std::string_view::npos &&
            wanted(line.substr(0, first), line.substr(first + 1, second - first - 1))) {
            return line.substr(second + 1);
        }
    }
    return std::nullopt;
}

bool isPlausibleID(std::string_view id) {
    return !id.empty() && std::ranges::none_of(id, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f || c == '/';
    });
}

std::optional<std::string> plausible(std::string id) {
    if (!isPlausibleID(id)) {
        return std::nullopt;
    }
    return id;
}

/// Splits the mandatory random part off a scope's name at its last '-'.
std::optional<std::string_view> withoutRandom(std::string_view body) {
    const std::size_t dash = body.rfind('-');
    if (dash == std::string_view::npos || dash == 0 || dash + 1 == body.size()) {
        return std::nullopt;
    }
    return body.substr(0, dash);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::optional<std::string> leafUnit(std::string_view cgroupFile) {
    std::optional<std::string_view> path =
        hierarchyPath(cgroupFile, [](std::string_view hierarchy, std::string_view controllers) {
            return hierarchy == "0" && controllers.empty();
        });
    if (!path || *path == "/" || path->empty()) {
        // A hybrid host: systemd's own v1 hierarchy may hold the real path.
        path = hierarchyPath(cgroupFile, [](std::string_view, std::string_view controllers) {
            return controllers == "name=systemd";
        });
    }
    if (!path) {
        return std::nullopt;
    }
    std::vector<std::string_view> components;
    for (std::string_view rest = *path; !rest.empty();) {
        const std::size_t slash = std::min(rest.find('/'), rest.size());
        if (slash > 0) {
            components.push_back(rest.substr(0, slash));
        }
        rest.remove_prefix(std::min(slash + 1, rest.size()));
    }
    auto start = std::ranges::find_if(components, isUserManager);
    start = start == components.end() ? components.begin() : start + 1;
    const auto unit =
        std::find_if(start, components.end(), [](std::string_view c) { return !c.ends_with(".slice"); });
    if (unit == components.end() || !isUnit(*unit)) {
        return std::nullopt;
    }
    return std::string(*unit);
}

std::optional<std::string> snapApplicationID(std::string_view unit) {
    constexpr std::string_view prefix = "snap.";
    if (!unit.starts_with(prefix) || !isUnit(unit)) {
        return std::nullopt;
    }
    const std::string_view body = unit.substr(prefix.size());
    const std::size_t dot = body.find('.');
    // "snap.<instance>.<app or hook>…": an instance and something after it.
    if (dot == 0 || dot == std::string_view::npos || body.substr(dot).size() <= scopeSuffix.size()) {
        return std::nullopt;
    }
    return plausible(std::string(prefix) + unescape(body.substr(0, dot)));
}

std::optional<std::string> desktopApplicationID(std::string_view unit) {
    constexpr std::string_view appPrefix = "app-";
    constexpr std::string_view oldFlatpakPrefix = "flatpak-";
    std::optional<std::string_view> body;
    if (unit.starts_with(appPrefix) && unit.ends_with(scopeSuffix)) {
        body =
            withoutRandom(unit.substr(appPrefix.size(), unit.size() - appPrefix.size() - scopeSuffix.size()));
    } else if (unit.starts_with(appPrefix) && unit.ends_with(serviceSuffix)) {
        std::string_view name =
            unit.substr(appPrefix.size(), unit.size() - appPrefix.size() - serviceSuffix.size());
        constexpr std::string_view oldAutostart = "-autostart"; // the autostart generator before systemd 248
        if (const std::size_t at = name.find('@'); at != std::string_view::npos) {
            name = name.substr(0, at);
        } else if (name.ends_with(oldAutostart)) {
            name.remove_suffix(oldAutostart.size());
        }
        body = name;
    } else if (unit.starts_with(oldFlatpakPrefix) && unit.ends_with(scopeSuffix)) {
        // Flatpak before 1.6 wrote no "app-" and no launcher.
        body = withoutRandom(
            unit.substr(oldFlatpakPrefix.size(), unit.size() - oldFlatpakPrefix.size() - scopeSuffix.size()));
        return body ? plausible(unescape(*body)) : std::nullopt;
    }
    if (!body) {
        return std::nullopt;
    }
    // The launcher ("gnome", "flatpak") has no '-' and no '.'; a reverse-DNS
    // identifier always has a '.', so an identifier that the launcher forgot to
    // escape ("org.example.My-App") keeps its dashes.
    if (const std::size_t dash = body->find('-'); dash != std::string_view::npos && dash > 0 &&
                                                  body->substr(0, dash).find('.') == std::string_view::npos) {
        body = body->substr(dash + 1);
    }
    return plausible(unescape(*body));
}

std::string unescape(std::string_view name) {
    std::string text;
    text.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
            const int high = hexValue(name[i + 2]);
            const int low = hexValue(name[i + 3]);
            if (high >= 0 && low >= 0) {
                text.push_back(static_cast<char>(high * 16 + low));
                i += 3;
                continue;
            }
        }
        text.push_back(name[i]);
    }
    return text;
}

} // namespace zoq::systemd
