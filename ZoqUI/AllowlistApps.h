#pragma once

#include "ZoqShell/Shell/ApplicationNames.h"

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zoq {

class AttributionResolver;
struct AudioGraph;
class DesktopEntryIndex;

/// One application the allowlist window offers: its identifier (what the
/// allowlist holds), the name a person reads and its icon (a themed icon name
/// or an absolute path; empty when unknown); `running` when it runs now,
/// rather than being installed or allowed.
struct AllowlistApp {
    std::string name;
    std::string bundleId;
    std::string icon;
    bool running = true;

    friend bool operator==(const AllowlistApp&, const AllowlistApp&) = default;
};

/// What the allowlist window lists, once per identifier: first the running
/// applications of `offered`, then the others (installed call software, and
/// every allowed identifier, so it stays visible and can be switched off);
/// each group sorted by name with plain byte comparison (case-sensitive, not
/// locale-aware), ties by identifier, so the order never depends on the
/// order the processes were found in. For one identifier a running entry
/// wins, then the first one seen; an allowed identifier nothing in `offered`
/// names is listed under the identifier itself, without an icon.
std::vector<AllowlistApp> allowlistApps(const std::vector<AllowlistApp>& offered,
                                        const std::set<std::string>& allowed);

/// The freedesktop categories of call software: what an installed
/// application must be in to be offered without running.
inline constexpr std::array<std::string_view, 4> callCategories{"Telephony", "VideoConference",
                                                                "InstantMessaging", "Chat"};

/// The installed applications meant for menus that are call software (one of
/// `callCategories`) or whose identifier is in `allowed`, as not running,
/// with their entry's name and icon.
std::vector<AllowlistApp> installedApplications(const DesktopEntryIndex& index,
                                                const std::set<std::string>& allowed);

/// The applications running now for the user `uid`: every process of
/// `resolver`'s tree is attributed as the recorder attributes a sound-server
/// client that process verifiably owns, and kept when that names an installed
/// desktop entry meant for menus (helpers and handlers marked "NoDisplay" are
/// left out). Name and icon come from the entry. The first call reads /proc
/// for every process and its ancestors (about a millisecond a process on a
/// busy machine); a resolver kept between calls remembers the processes that
/// still run.
std::vector<AllowlistApp> runningApplications(const AttributionResolver& resolver,
                                              const DesktopEntryIndex& index, unsigned uid);

/// The applications playing or recording audio in one reading of the sound
/// server (`graph`): each stream's client attributed as the recorder
/// attributes it, named by its desktop entry where it has one, else by its
/// identifier (`applicationName`; not the name the client reports, which
/// would differ from what the notices say). These include the
/// applications only their own report identifies (a browser started through a
/// wrapper script), whose identifier is what an allowlist must hold for them.
/// Streams without a client, level meters and zoq's own (`ownClient`) are
/// left out.
std::vector<AllowlistApp> audioApplications(const AudioGraph& graph, std::uint32_t ownClient,
                                            const AttributionResolver& resolver,
                                            const DesktopEntryIndex& index);

} // namespace zoq
