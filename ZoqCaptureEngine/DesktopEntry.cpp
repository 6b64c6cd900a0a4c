#include "ZoqCaptureEngine/DesktopEntry.h"

#include "ZoqCaptureEngine/KeyFileError.h"

#include <algorithm>
#include <stdexcept>

namespace zoq {
namespace {

constexpr std::string_view mainGroup = "Desktop Entry";

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

} // namespace

std::optional<DesktopEntry> DesktopEntry::fromKeyFile(const KeyFile& file, std::string id,
                                                      std::filesystem::path source, std::string_view locale) {
    const std::string where = source.string();
    if (!file.hasGroup(mainGroup)) {
        throw KeyFileError(where, 0, "no [Desktop Entry] group");
    }
    const std::optional<std::string> type = file.value(mainGroup, "Type");
    if (!type) {
        throw KeyFileError(where, 0, "no Type");
    }
    if (*type != "Application") {
        return std::nullopt;
    }
    std::optional<std::string> name = file.localizedValue(mainGroup, "Name", locale);
    if (!name) {
        throw KeyFileError(where, 0, "no Name");
    }
    DesktopEntry entry{
        .id = std::move(id),
        .name = std::move(*name),
        .icon = file.value(mainGroup, "Icon").value_or(""),
        .exec = file.value(mainGroup, "Exec").value_or(""),
        .tryExec = file.value(mainGroup, "TryExec").value_or(""),
        .noDisplay = file.boolean(mainGroup, "NoDisplay").value_or(false),
        .terminal = file.boolean(mainGroup, "Terminal").value_or(false),
        .hidden = file.boolean(mainGroup, "Hidden").value_or(false),
        .file = std::move(source),
        .categories = {},
    };
    // A list of strings: each ends with ';' (the last one may not).
    const std::string categories = file.value(mainGroup, "Categories").value_or("");
    std::size_t start = 0;
    while (start < categories.size()) {
        const std::size_t end = std::min(categories.find(';', start), categories.size());
        if (end > start) {
            entry.categories.push_back(categories.substr(start, end - start));
        }
        start = end + 1;
    }
    try {
        commandLine(entry.exec);
    } catch (const std::invalid_argument& error) {
        throw KeyFileError(where, 0, std::string("Exec: ") + error.what());
    }
    return entry;
}

std::vector<std::string> DesktopEntry::commandLine(std::string_view exec) {
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (isSpace(c)) {
            if (inArgument) {
                arguments.push_back(std::move(current));
                current.clear();
                inArgument = false;
            }
            continue;
        }
        inArgument = true;
        if (c == '"') {
            const std::size_t open = i;
            for (++i; i < exec.size() && exec[i] != '"'; ++i) {
                if (exec[i] == '\\' && i + 1 < exec.size() &&
                    std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos) {
                    ++i;
                }
                current.push_back(exec[i]);
            }
            if (i == exec.size()) {
                throw std::invalid_argument("unterminated \" at offset " + std::to_string(open));
            }
        } else if (c == '\'') {
            const std::size_t close = exec.find('\'', i + 1);
            if (close == std::string_view::npos) {
                throw std::invalid_argument("unterminated ' at offset " + std::to_string(i));
            }
            current.append(exec.substr(i + 1, close - i - 1));
            i = close;
        } else if (c == '\\' && i + 1 < exec.size()) {
            current.push_back(exec[++i]);
        } else {
            current.push_back(c);
        }
    }
    if (inArgument) {
        arguments.push_back(std::move(current));
    }
    return arguments;
}

std::string DesktopEntry::program(const std::vector<std::string>& commandLine) {
    std::size_t index = 0;
    if (!commandLine.empty() && std::filesystem::path(commandLine[0]).filename() == "env") {
        index = 1;
        while (index < commandLine.size() && commandLine[index].starts_with('-')) {
            const std::string& option = commandLine[index++];
            if (option == "--") {
                break;
            }
            // The options of env that take the next argument.
            if (option == "-u" || option == "--unset" || option == "-C" || option == "--chdir") {
                ++index;
            }
        }
        while (index < commandLine.size() && commandLine[index].find('=') != std::string::npos &&
               !commandLine[index].starts_with('=')) {
            ++index;
        }
    }
    return index < commandLine.size() ? commandLine[index] : std::string();
}

} // namespace zoq
