#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zoq {

/// Which evidence named a client's application, strongest first.
enum class AttributionSource : std::uint8_t {
    flatpak,             ///< ".flatpak-info" of the process's sandbox
    snap,                ///< the Snap unit the process runs in
    launchedDesktopFile, ///< the desktop file a launcher started the process from
    systemdUnit,         ///< the application unit the desktop started it in
    desktopExec,         ///< the installed desktop entry whose Exec runs its executable
    reported,            ///< nothing better: what the client said about itself
};

/// The name of a source as tests and diagnostics print it ("systemdUnit").
const char* toText(AttributionSource source) noexcept;

/// The application a sound-server client belongs to, and how that was found.
struct Attribution {
    /// The desktop-file identifier ("org.mozilla.firefox", "snap.firefox"),
    /// or, for `reported`, the client's own identifier; empty when it reported
    /// none.
    std::string applicationID;
    AttributionSource source = AttributionSource::reported;
    /// The client's process in our pid namespace, when its pid was verified
    /// or its claim checked out.
    std::optional<std::int32_t> clientPid;
    /// The process the evidence was read from (the client's process or an
    /// ancestor; for `desktopExec` the top-most one running the client's
    /// executable).
    std::optional<std::int32_t> evidencePid;

    friend bool operator==(const Attribution&, const Attribution&) = default;
};

} // namespace zoq
