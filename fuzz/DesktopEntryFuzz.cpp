// Feeds arbitrary bytes to what attribution reads from files other programs
// write: the key-file parser (desktop entries, ".flatpak-info"), the Exec
// splitter and the cgroup and unit-name readers. Refusals must be
// KeyFileError or, for Exec, std::invalid_argument; identifiers that come out
// must be usable as allowlist entries.
#include "ZoqCaptureEngine/DesktopEntry.h"
#include "ZoqCaptureEngine/KeyFile.h"
#include "ZoqCaptureEngine/KeyFileError.h"
#include "ZoqCaptureEngine/SystemdUnits.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void checkIdentifier(const std::optional<std::string>& id) {
    check(!id || (!id->empty() && id->find('/') == std::string::npos && id->find('\n') == std::string::npos));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const zoq::KeyFile file = zoq::KeyFile::parse(text, "fuzz.desktop");
        for (const std::string& group : file.groups()) {
            check(!group.empty() && file.hasGroup(group));
        }
        if (const auto entry = zoq::DesktopEntry::fromKeyFile(file, "fuzz", "fuzz.desktop", "de_DE.UTF-8")) {
            zoq::DesktopEntry::program(zoq::DesktopEntry::commandLine(entry->exec));
        }
    } catch (const zoq::KeyFileError&) {
    }
    try {
        zoq::DesktopEntry::program(zoq::DesktopEntry::commandLine(text));
    } catch (const std::invalid_argument&) {
    }
    const std::optional<std::string> unit = zoq::systemd::leafUnit(text);
    check(!unit || unit->ends_with(".scope") || unit->ends_with(".service"));
    checkIdentifier(zoq::systemd::desktopApplicationID(text));
    checkIdentifier(zoq::systemd::snapApplicationID(text));
    return 0;
}
