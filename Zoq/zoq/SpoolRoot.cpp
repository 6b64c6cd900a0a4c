#include "Zoq/zoq/SpoolRoot.h"

#include "ZoqCore/Spool/SpoolRoot.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Messages/Translation.h"

#include <cstdlib>
#include <stdexcept>

namespace zoq::cli {
namespace {

std::string problemWith(const std::filesystem::path& root, const CoreError& error) {
    // untranslated: the core's own reason, compared, never shown
    if (error.kind() == CoreError::Kind::invalid && error.message() == "not a zoq spool") {
        return substitute(
            i18n("{1} is not a zoq spool: it holds files zoq did not put there, and zoq leaves "
                 "such a folder untouched. Give --root a new or empty folder, or an existing spool."),
            {root.string()});
    }
    return substitute(i18n("cannot use {1} as the spool: {2}"), {root.string(), error.reason()});
}

} // namespace

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
    try {
        SpoolRoot::prepare(root);
    } catch (const CoreError& error) {
        throw std::runtime_error(problemWith(root, error));
    }
}

void refuseForeignSpoolRoot(const std::filesystem::path& root) {
    try {
        SpoolRoot::refuseForeign(root);
    } catch (const CoreError& error) {
        throw std::runtime_error(problemWith(root, error));
    }
}

} // namespace zoq::cli
