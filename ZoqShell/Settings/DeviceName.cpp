#include "ZoqShell/Settings/DeviceName.h"

#include <fstream>
#include <string_view>
#include <unistd.h>

namespace zoq {
namespace {

/// The value of an environment-style assignment, its quotes and escapes undone.
std::string unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        const char quote = value.front();
        value = value.substr(1, value.size() - 2);
        std::string out;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (quote == '"' && value[i] == '\\' && i + 1 < value.size()) {
                ++i;
            }
            out += value[i];
        }
        return out;
    }
    return std::string(value);
}

} // namespace

std::string deviceName(const std::filesystem::path& machineInfo) {
    std::ifstream file(machineInfo);
    for (std::string line; std::getline(file, line);) {
        static constexpr std::string_view key = "PRETTY_HOSTNAME=";
        if (line.starts_with(key)) {
            const std::string name = unquoted(std::string_view(line).substr(key.size()));
            if (!name.empty()) {
                return name;
            }
        }
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') {
        return host;
    }
    return "Linux computer";
}

} // namespace zoq
