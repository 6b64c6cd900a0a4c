#include "ZoqShell/Messages/Translation.h"

#include <filesystem>
#include <libintl.h>
#include <system_error>

namespace zoq {
namespace {

constexpr const char* domain = "zoq";

} // namespace

const char* i18n(const char* text) noexcept {
    // gettext answers the empty text with the catalogue's header.
    if (text == nullptr || *text == '\0') {
        return text;
    }
    return dgettext(domain, text);
}

const char* i18np(const char* singular, const char* plural, unsigned long count) noexcept {
    return dngettext(domain, singular, plural, count);
}

std::string substitute(std::string_view pattern, std::initializer_list<std::string_view> values) {
    std::string result;
    result.reserve(pattern.size());
    std::size_t at = 0;
    while (at < pattern.size()) {
        const std::size_t open = pattern.find('{', at);
        if (open == std::string_view::npos) {
            break;
        }
        const std::size_t close = pattern.find('}', open);
        std::size_t index = 0;
        bool number = close != std::string_view::npos && close > open + 1;
        for (std::size_t digit = open + 1; number && digit < close; ++digit) {
            const char c = pattern[digit];
            number = c >= '0' && c <= '9';
            index = index * 10 + static_cast<std::size_t>(c - '0');
        }
        if (!number || index == 0 || index > values.size()) {
            result.append(pattern.substr(at, open + 1 - at));
            at = open + 1;
            continue;
        }
        result.append(pattern.substr(at, open - at));
        result.append(*(values.begin() + (index - 1)));
        at = close + 1;
    }
    result.append(pattern.substr(at));
    return result;
}

void setUpTranslations() noexcept {
    std::error_code failed;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (!failed) {
        const std::filesystem::path catalogues = program.parent_path().parent_path() / "share" / "locale";
        bindtextdomain(domain, catalogues.c_str());
    }
    // zoq's texts are UTF-8 whatever the locale's character set: the tray
    // and the terminal of a desktop session both expect it.
    bind_textdomain_codeset(domain, "UTF-8");
}

} // namespace zoq
