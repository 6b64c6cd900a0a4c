#include "Zoq/zoq/SpoolRoot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

namespace zoq::cli {

std::filesystem::path defaultSpoolRoot() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') {
        return std::filesystem::path(data) / "zoq" / "spool";
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        throw std::runtime_error("neither XDG_DATA_HOME nor HOME names a directory; use --root");
    }
    return std::filesystem::path(home) / ".local" / "share" / "zoq" / "spool";
}

void ensureSpoolRoot(const std::filesystem::path& root) {
    // mkdir per component rather than create_directories, which would use the
    // umask's mode: the spool and the directories leading to it are private.
    std::filesystem::path prefix;
    for (const std::filesystem::path& component : root.lexically_normal()) {
        prefix /= component;
        if (component.empty() || component == prefix.root_path()) {
            continue;
        }
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            throw std::runtime_error("cannot create " + prefix.string() + ": " + std::strerror(errno));
        }
    }
    struct stat status {};
    if (::stat(root.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        throw std::runtime_error(root.string() + " is not a directory");
    }
}

} // namespace zoq::cli
