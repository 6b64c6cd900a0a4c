#include "ZoqShell/System/InterfaceKind.h"

#include "ZoqCore/Spool/FileDescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace zoq {
namespace {

bool entryExists(const std::filesystem::path& path) noexcept {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

/// The first few KiB of `path`, or empty when it cannot be read. A uevent file
/// is a handful of short lines; the cap only guards against a planted giant.
std::string readSmall(const std::filesystem::path& path) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        return {};
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return {};
    }
    char buffer[4096];
    ssize_t count = 0;
    do {
        count = ::read(file.get(), buffer, sizeof buffer);
    } while (count < 0 && errno == EINTR);
    return count > 0 ? std::string(buffer, static_cast<std::size_t>(count)) : std::string();
}

bool hasLine(std::string_view text, std::string_view line) noexcept {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (text.substr(0, end) == line) {
            return true;
        }
        if (end == std::string_view::npos) {
            return false;
        }
        text.remove_prefix(end + 1);
    }
    return false;
}

} // namespace

InterfaceKind probeInterfaceKind(const std::filesystem::path& sysfsRoot, std::string_view name) noexcept {
    // Kernel interface names never contain '/', and "." or ".." would name a
    // directory other than the interface's own.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        return InterfaceKind::wired;
    }
    try {
        const std::filesystem::path device = sysfsRoot / "class" / "net" / std::string(name);
        if (entryExists(device / "wireless") || entryExists(device / "phy80211")) {
            return InterfaceKind::wireless;
        }
        if (hasLine(readSmall(device / "uevent"), "DEVTYPE=wwan")) {
            return InterfaceKind::wwan;
        }
    } catch (...) {
        // Only path allocation can throw here; an interface we cannot examine
        // is treated like any other wired link.
    }
    return InterfaceKind::wired;
}

} // namespace zoq
