#include "ZoqShell/System/LoginItemManager.h"

#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Support/Bytes.h"
#include "ZoqCore/Support/CoreError.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace zoq {
namespace {

namespace fs = std::filesystem;

/// An argument of an Exec line: quoted when it holds a character the Exec
/// syntax reserves, with `"`, `` ` ``, `$` and `\` escaped inside the quotes.
/// `%` starts a field code, so it is doubled either way. The whole line is
/// then a string value, whose own escape doubles every backslash again.
std::string execArgument(const std::string& argument) {
    const std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quote = argument.find_first_of(reserved) != std::string::npos;
    std::string text;
    for (const char c : argument) {
        if (c == '%') {
            text += "%%";
        } else if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            text += c == '\\' ? "\\\\\\\\" : std::string("\\\\") + c;
        } else if (c == '\n') {
            text += "\\n";
        } else {
            text += c;
        }
    }
    return quote ? '"' + text + '"' : text;
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

/// Whether the entry at `path` is switched off, or nothing when it is not a
/// readable desktop entry.
std::optional<bool> switchedOff(const fs::path& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    bool inEntryGroup = false;
    bool sawEntryGroup = false;
    bool off = false;
    std::string line;
    while (std::getline(in, line)) {
        const std::string_view text = trimmed(line);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        if (text.front() == '[') {
            inEntryGroup = text == "[Desktop Entry]";
            sawEntryGroup = sawEntryGroup || inEntryGroup;
            continue;
        }
        const std::size_t equals = text.find('=');
        if (!inEntryGroup || equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trimmed(text.substr(0, equals));
        const std::string_view value = trimmed(text.substr(equals + 1));
        off = off || (key == "Hidden" && value == "true") ||
              (key == "X-GNOME-Autostart-enabled" && value == "false");
    }
    if (in.bad() || !sawEntryGroup) {
        return std::nullopt;
    }
    return off;
}

} // namespace

LoginItemManager::LoginItemManager(fs::path trayProgram, fs::path entry)
    : trayProgram_(std::move(trayProgram)), entry_(std::move(entry)) {
    if (!trayProgram_.is_absolute()) {
        throw CoreError::invalid("tray program");
    }
}

std::string LoginItemManager::entryText() const {
    // Everything but Exec matches the installed data/org.zoq.Zoq.desktop, so
    // the desktop's startup settings show zoq the way its menu does.
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=zoq\n"
           "Comment=Records your calls and uploads them to your portal\n"
           "Exec=" +
           execArgument(trayProgram_.string()) +
           " --background\n"
           "Icon=org.zoq.Zoq\n"
           "Terminal=false\n"
           "Categories=AudioVideo;Audio;Recorder;\n"
           "StartupNotify=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

LoginItemState LoginItemManager::currentState() const noexcept {
    try {
        struct stat status {};
        if (::lstat(entry_.c_str(), &status) != 0) {
            return errno == ENOENT ? mapLoginItemStatus(0) : LoginItemState::unknown;
        }
        if (!S_ISREG(status.st_mode)) {
            return LoginItemState::unknown;
        }
        const std::optional<bool> off = switchedOff(entry_);
        if (!off) {
            return LoginItemState::unknown;
        }
        return mapLoginItemStatus(*off ? 2 : 1);
    } catch (...) {
        return LoginItemState::unknown;
    }
}

LoginItemState LoginItemManager::registerLoginItem() noexcept {
    try {
        const fs::path directory = entry_.parent_path();
        fs::create_directories(directory);
        const std::string text = entryText();
        DurableIO().atomic(viewOf(text), entry_);
    } catch (...) {
        // The staged copy of a replacement that failed is of no use to anyone.
        std::error_code ignored;
        fs::remove(entry_.string() + DurableIO::nextSuffix, ignored);
        return LoginItemState::unknown;
    }
    return currentState();
}

LoginItemState LoginItemManager::unregister() noexcept {
    if (::unlink(entry_.c_str()) != 0 && errno != ENOENT) {
        return LoginItemState::unknown;
    }
    return currentState();
}

} // namespace zoq
