#pragma once

#include <optional>
#include <string>
#include <string_view>

/// Reading application identities out of systemd's cgroup tree.
///
/// Desktops start each application in a unit of its own under the user's
/// service manager, named after its desktop-file identifier:
/// "app[-<launcher>]-<id>-<random>.scope" or "app[-<launcher>]-<id>[@<random>].service",
/// the identifier escaped as systemd escapes unit names ("google\x2dchrome").
/// Snap puts every process of a snap into "snap.<instance>.<app>….scope" or
/// ".service".
///
/// Pure functions of their text; thread-safe.
namespace zoq::systemd {

/// The unit a process runs in, from the text of its /proc/PID/cgroup: the
/// first ".scope" or ".service" below the user's service manager
/// ("user@UID.service"), skipping slices, or from the root when there is no
/// user manager in the path. Parent slices never count: a program started in
/// a terminal runs in a scope of its own below the terminal's slice, and must
/// not be taken for the terminal. Sub-cgroups below the unit are ignored.
///
/// Reads the unified hierarchy ("0::"), or the "name=systemd" hierarchy when
/// the unified one is missing or only "/" (hybrid hosts). Nothing when the
/// process is in no unit. The name stays escaped.
std::optional<std::string> leafUnit(std::string_view cgroupFile);

/// "snap.<instance>" for a unit that Snap started (the form allowlists hold,
/// "snap.firefox"), else nothing.
std::optional<std::string> snapApplicationID(std::string_view unit);

/// The desktop-file identifier of an application unit ("app-…", and the older
/// Flatpak form "flatpak-<id>-<pid>.scope"), with the launcher part and the
/// random part removed and escapes decoded; nothing for any other unit or a
/// name that yields no plausible identifier.
std::optional<std::string> desktopApplicationID(std::string_view unit);

/// `name` with every "\xNN" escape replaced by its byte. Unlike
/// `systemd-escape -u`, "-" stays "-" (it does not stand for "/" in unit
/// names that are not paths).
std::string unescape(std::string_view name);

} // namespace zoq::systemd
