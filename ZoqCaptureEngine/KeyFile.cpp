#include "ZoqCaptureEngine/KeyFile.h"

#include "ZoqCaptureEngine/KeyFileError.h"
#include "ZoqCore/Wire/UnicodeText.h"

#include <algorithm>

namespace zoq {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool isKeyCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

/// "Name" or "Name[de_DE@euro]".
bool isValidKey(std::string_view key) {
    const std::size_t open = key.find('[');
    const std::string_view name = key.substr(0, open);
    if (name.empty() || !std::ranges::all_of(name, isKeyCharacter)) {
        return false;
    }
    if (open == std::string_view::npos) {
        return true;
    }
    const std::string_view locale = key.substr(open + 1);
    return locale.size() >= 2 && locale.back() == ']' &&
           std::ranges::all_of(locale.substr(0, locale.size() - 1),
                               [](char c) { return isKeyCharacter(c) || c == '@'; });
}

std::string decoded(std::string_view raw) {
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            text.push_back(raw[i]);
            continue;
        }
        switch (raw[i + 1]) {
        case 's':
            text.push_back(' ');
            break;
        case 'n':
            text.push_back('\n');
            break;
        case 't':
            text.push_back('\t');
            break;
        case 'r':
            text.push_back('\r');
            break;
        case '\\':
            text.push_back('\\');
            break;
        default:
            // Lists escape ';' and Exec lines often hold "\"" or "\$": kept
            // as written for the layer that knows what they mean.
            text.append(raw.substr(i, 2));
            break;
        }
        ++i;
    }
    return text;
}

} // namespace

KeyFile KeyFile::parse(std::string_view text, const std::string& source) {
    KeyFile file;
    file.source_ = source;
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    int number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (!unicode::isValidUTF8(line)) {
            throw KeyFileError(source, number, "not UTF-8");
        }
        line = trimmed(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            const std::string_view name = line.substr(1, line.size() - 1 - (line.back() == ']' ? 1 : 0));
            if (line.back() != ']' || name.empty() || name.find_first_of("[]") != std::string_view::npos ||
                std::ranges::any_of(name, isControl)) {
                throw KeyFileError(source, number, "malformed group header");
            }
            if (file.hasGroup(name)) {
                throw KeyFileError(source, number, "group [" + std::string(name) + "] appears twice");
            }
            file.groups_.push_back(Group{std::string(name), {}});
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            throw KeyFileError(source, number, "expected Key=Value");
        }
        const std::string_view key = trimmed(line.substr(0, equals));
        if (!isValidKey(key)) {
            throw KeyFileError(source, number, "invalid key \"" + std::string(key) + "\"");
        }
        if (file.groups_.empty()) {
            throw KeyFileError(source, number, "entry before the first group");
        }
        Group& group = file.groups_.back();
        const std::string_view value = trimmed(line.substr(equals + 1));
        if (std::ranges::any_of(value, [](char c) { return isControl(c) && c != '\t'; })) {
            throw KeyFileError(source, number, "control character in value");
        }
        if (!group.entries.emplace(std::string(key), Entry{std::string(value), number}).second) {
            throw KeyFileError(source, number,
                               "key " + std::string(key) + " appears twice in [" + group.name + "]");
        }
    }
    return file;
}

std::vector<std::string> KeyFile::groups() const {
    std::vector<std::string> names;
    names.reserve(groups_.size());
    for (const Group& group : groups_) {
        names.push_back(group.name);
    }
    return names;
}

bool KeyFile::hasGroup(std::string_view group) const {
    return std::ranges::any_of(groups_, [&](const Group& g) { return g.name == group; });
}

const KeyFile::Entry* KeyFile::find(std::string_view group, std::string_view key) const {
    const auto g =
        std::ranges::find_if(groups_, [&](const Group& candidate) { return candidate.name == group; });
    if (g == groups_.end()) {
        return nullptr;
    }
    const auto entry = g->entries.find(key);
    return entry == g->entries.end() ? nullptr : &entry->second;
}

std::optional<std::string> KeyFile::value(std::string_view group, std::string_view key) const {
    const Entry* entry = find(group, key);
    if (entry == nullptr) {
        return std::nullopt;
    }
    return decoded(entry->value);
}

std::optional<std::string> KeyFile::localizedValue(std::string_view group, std::string_view key,
                                                   std::string_view locale) const {
    // lang_COUNTRY.ENCODING@MODIFIER; the encoding never takes part.
    const std::size_t at = locale.find('@');
    const std::string_view modifier = at == std::string_view::npos ? std::string_view() : locale.substr(at);
    std::string_view base = locale.substr(0, at);
    base = base.substr(0, base.find('.'));
    const std::size_t underscore = base.find('_');
    const std::string_view language = base.substr(0, underscore);
    if (!language.empty() && base != "C" && base != "POSIX") {
        std::vector<std::string> candidates;
        if (underscore != std::string_view::npos && !modifier.empty()) {
            candidates.push_back(std::string(base) + std::string(modifier));
        }
        if (underscore != std::string_view::npos) {
            candidates.emplace_back(base);
        }
        if (!modifier.empty()) {
            candidates.push_back(std::string(language) + std::string(modifier));
        }
        candidates.emplace_back(language);
        for (const std::string& candidate : candidates) {
            if (auto found = value(group, std::string(key) + "[" + candidate + "]")) {
                return found;
            }
        }
    }
    return value(group, key);
}

std::optional<bool> KeyFile::boolean(std::string_view group, std::string_view key) const {
    const Entry* entry = find(group, key);
    if (entry == nullptr) {
        return std::nullopt;
    }
    // "1" and "0" are what desktop files of the format's early versions hold.
    if (entry->value == "true" || entry->value == "1") {
        return true;
    }
    if (entry->value == "false" || entry->value == "0") {
        return false;
    }
    throw KeyFileError(source_, entry->line,
                       std::string(key) + " is \"" + entry->value + "\", not true or false");
}

} // namespace zoq
