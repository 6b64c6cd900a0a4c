#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace zoq {

class AttributionResolver;
struct AudioGraph;
class DesktopEntryIndex;

/// One application the allowlist window offers: its identifier (what the
/// allowlist holds), the name a person reads and its icon (a themed icon name
/// or an absolute path; empty when unknown).
struct AllowlistApp {
    std::string name;
    std::string bundleId;
    std::string icon;

    friend bool operator==(const AllowlistApp&, const AllowlistApp&) = default;
};

/// What the allowlist window lists: every running application, once per
/// identifier (the first one seen wins), then every allowed identifier that is
/// not running, under its own identifier so it stays visible and can be
/// switched off; sorted by name with plain byte comparison (case-sensitive,
/// not locale-aware), ties by identifier so the order never depends on the
/// order the processes were found in.
std::vector<AllowlistApp> allowlistApps(const std::vector<AllowlistApp>& running,
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
/// attributes it, named by its desktop entry where it has one, else by the
/// name the client reports, else by its identifier. These include the
/// applications only their own report identifies (a browser started through a
/// wrapper script), whose identifier is what an allowlist must hold for them.
/// Streams without a client, level meters and zoq's own (`ownClient`) are
/// left out.
std::vector<AllowlistApp> audioApplications(const AudioGraph& graph, std::uint32_t ownClient,
                                            const AttributionResolver& resolver,
                                            const DesktopEntryIndex& index);

} // namespace zoq
