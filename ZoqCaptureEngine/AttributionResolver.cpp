#include "ZoqCaptureEngine/AttributionResolver.h"

#include "ZoqCaptureEngine/SystemProcessTree.h"
#include "ZoqCaptureEngine/SystemdUnits.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace zoq {
namespace {

/// The kernel keeps at most 15 bytes of a command name.
constexpr std::size_t commLength = 15;

std::string baseName(const std::string& path) {
    return path.substr(path.find_last_of('/') + 1);
}

Attribution reported(const AudioClientIdentity& client, std::optional<std::int32_t> clientPid) {
    return Attribution{
        .applicationID = client.applicationId.empty() ? baseName(client.processBinary) : client.applicationId,
        .source = AttributionSource::reported,
        .clientPid = clientPid,
        .evidencePid = std::nullopt,
    };
}

/// What one process's evidence says; `attribute` fills in the client's pid.
Attribution evidence(std::string applicationID, AttributionSource source, std::int32_t pid) {
    return Attribution{.applicationID = std::move(applicationID),
                       .source = source,
                       .clientPid = std::nullopt,
                       .evidencePid = pid};
}

std::optional<std::string> unitID(const std::optional<std::string>& unit,
                                  std::optional<std::string> (*interpret)(std::string_view)) {
    return unit ? interpret(*unit) : std::nullopt;
}

} // namespace

AttributionResolver::AttributionResolver(int maxDepth)
    : AttributionResolver(std::make_shared<SystemProcessTree>(), maxDepth) {}

AttributionResolver::AttributionResolver(std::shared_ptr<const ProcessTreeProviding> tree, int maxDepth)
    : tree_(std::move(tree)), cache_(std::make_shared<AttributionCache>()), maxDepth_(maxDepth) {
    if (!tree_) {
        throw std::invalid_argument("AttributionResolver needs a process tree");
    }
}

std::string AttributionResolver::attributedBundleID(const AudioClientIdentity& client) const {
    return attribute(client).applicationID;
}

Attribution AttributionResolver::attribute(const AudioClientIdentity& client) const {
    if (std::optional<Attribution> cached = cache_->find(client, *tree_)) {
        return *cached;
    }
    Resolution resolution = resolve(client);
    if (!resolution.pins.empty()) {
        cache_->store(client, resolution.attribution, std::move(resolution.pins));
    } else if (resolution.searchedPids) {
        cache_->storeUntrusted(client, resolution.attribution, std::move(*resolution.searchedPids));
    }
    return resolution.attribution;
}

AttributionResolver::Resolution AttributionResolver::resolve(const AudioClientIdentity& client) const {
    Resolution resolution{reported(client, std::nullopt), {}, std::nullopt};
    const std::optional<ProcessRecord> start = clientProcess(client, resolution);
    if (!start) {
        return resolution;
    }
    const std::vector<Link> chain = ancestry(*start);
    std::optional<Attribution> found = fromProcesses(chain);
    if (!found) {
        found = fromUnits(chain);
    }
    if (!found) {
        found = fromDesktopExec(chain);
    }
    // Every fact was read after the record that pinned its process: if the
    // pid was reused in between, the fact may be another program's.
    std::vector<AttributionCache::Pin> pins{{start->pid, start->startTime}};
    if (found && found->evidencePid != start->pid) {
        const auto link = std::ranges::find(chain, found->evidencePid,
                                            [](const Link& l) { return std::optional(l.process.pid); });
        pins.push_back({link->process.pid, link->process.startTime});
    }
    if (!std::ranges::all_of(pins,
                             [&](const auto& pin) { return tree_->startTime(pin.pid) == pin.startTime; })) {
        return resolution;
    }
    resolution.attribution = found.value_or(reported(client, std::nullopt));
    resolution.attribution.clientPid = start->pid;
    resolution.pins = std::move(pins);
    return resolution;
}

std::optional<ProcessRecord> AttributionResolver::clientProcess(const AudioClientIdentity& client,
                                                                Resolution& resolution) const {
    if (client.verifiedPid) {
        return tree_->process(*client.verifiedPid);
    }
    // A claim is checked against the binary the client names; without one
    // there is nothing to check it against.
    if (!client.claimedPid || client.processBinary.empty()) {
        return std::nullopt;
    }
    const std::string binary = baseName(client.processBinary);
    if (std::optional<ProcessRecord> claimed = tree_->process(*client.claimedPid);
        claimed && runsBinary(*claimed, binary)) {
        return claimed;
    }
    return sandboxedProcess(*client.claimedPid, binary, client.portalAppId, resolution);
}

std::optional<ProcessRecord> AttributionResolver::sandboxedProcess(std::int32_t claimedPid,
                                                                   const std::string& binary,
                                                                   const std::string& portalAppId,
                                                                   Resolution& resolution) const {
    // A client in a sandbox's pid namespace claims its pid there. Map it back
    // through the processes' namespace pids, but only when exactly one process
    // fits: every sandbox has its own small pids 2, 3, 4, and a guess would
    // hand one application's microphone use to another. The sandbox the
    // client names (a claim too) narrows the search to processes that really
    // run in that sandbox.
    resolution.searchedPids = tree_->processIDs();
    std::vector<ProcessRecord> matches;
    for (const std::int32_t pid : *resolution.searchedPids) {
        const std::optional<std::vector<std::int32_t>> pids = tree_->namespacePids(pid);
        if (!pids || pids->size() < 2 || pids->back() != claimedPid) {
            continue;
        }
        std::optional<ProcessRecord> candidate = tree_->process(pid);
        if (candidate && runsBinary(*candidate, binary)) {
            matches.push_back(std::move(*candidate));
        }
    }
    if (matches.size() > 1 && !portalAppId.empty()) {
        std::erase_if(matches, [&](const ProcessRecord& process) {
            return tree_->flatpakApplication(process.pid) != portalAppId;
        });
    }
    if (matches.size() != 1) {
        return std::nullopt;
    }
    return std::move(matches.front());
}

bool AttributionResolver::runsBinary(const ProcessRecord& process, const std::string& binary) const {
    if (const std::optional<std::filesystem::path> executable = tree_->executable(process.pid);
        executable && executable->filename() == binary) {
        return true;
    }
    // The executable of another user's process cannot be read; its command
    // name can, cut to the kernel's length.
    return !process.comm.empty() && process.comm == binary.substr(0, commLength);
}

std::vector<AttributionResolver::Link> AttributionResolver::ancestry(const ProcessRecord& start) const {
    std::vector<Link> chain;
    if (maxDepth_ < 1 || start.pid <= 1) {
        return chain;
    }
    chain.push_back(Link{start, tree_->cgroupUnit(start.pid)});
    while (static_cast<int>(chain.size()) < maxDepth_) {
        const Link& child = chain.back();
        const std::int32_t parentPid = child.process.parentPid;
        if (parentPid <= 1 ||
            std::ranges::any_of(chain, [&](const Link& l) { return l.process.pid == parentPid; })) {
            break;
        }
        std::optional<ProcessRecord> parent = tree_->process(parentPid);
        // A parent that started after its child is a stranger that got the
        // pid of the real parent, which has exited.
        if (!parent || parent->uid != child.process.uid || parent->startTime > child.process.startTime) {
            break;
        }
        std::optional<std::string> unit = tree_->cgroupUnit(parentPid);
        // The client's unit was made for it by whoever launched it: a parent
        // outside that unit is the launcher, not the application.
        if (unit && child.unit && *unit != *child.unit) {
            break;
        }
        chain.push_back(Link{std::move(*parent), std::move(unit)});
    }
    return chain;
}

std::optional<Attribution> AttributionResolver::fromProcesses(const std::vector<Link>& chain) const {
    for (const Link& link : chain) {
        const std::int32_t pid = link.process.pid;
        if (std::optional<std::string> id = tree_->flatpakApplication(pid)) {
            return evidence(std::move(*id), AttributionSource::flatpak, pid);
        }
        if (std::optional<std::string> id = unitID(link.unit, systemd::snapApplicationID)) {
            return evidence(std::move(*id), AttributionSource::snap, pid);
        }
        // Children inherit the variables; only the launched process itself
        // carries its own pid in them. This comes before the application unit
        // because a program launched by another application (a browser opened
        // from a link in a chat) stays in that application's unit.
        const std::optional<DesktopLaunch> launch = tree_->desktopLaunch(pid);
        if (launch && launch->launchedPid == pid) {
            if (std::optional<std::string> id = tree_->desktopEntryID(launch->desktopFile)) {
                return evidence(std::move(*id), AttributionSource::launchedDesktopFile, pid);
            }
        }
    }
    return std::nullopt;
}

std::optional<Attribution> AttributionResolver::fromUnits(const std::vector<Link>& chain) const {
    for (const Link& link : chain) {
        if (std::optional<std::string> id = unitID(link.unit, systemd::desktopApplicationID)) {
            return evidence(std::move(*id), AttributionSource::systemdUnit, link.process.pid);
        }
    }
    return std::nullopt;
}

std::optional<Attribution> AttributionResolver::fromDesktopExec(const std::vector<Link>& chain) const {
    if (chain.empty()) {
        return std::nullopt;
    }
    const std::optional<std::filesystem::path> executable = tree_->executable(chain.front().process.pid);
    if (!executable) {
        return std::nullopt;
    }
    // Helpers (Chromium's and Electron's renderers, utility processes) run
    // the application's own executable: the application is the top-most of
    // them.
    const Link* application = &chain.front();
    for (const Link& link : chain) {
        if (tree_->executable(link.process.pid) != executable) {
            break;
        }
        application = &link;
    }
    std::vector<std::string> ids = tree_->desktopEntriesRunning(*executable);
    if (ids.size() > 1) {
        // Several entries start one program (a suite's parts, wrappers that
        // take the application as an argument): only the one named after the
        // program itself is unambiguous.
        std::erase_if(ids, [&](const std::string& id) { return id != executable->filename().string(); });
    }
    if (ids.size() != 1) {
        return std::nullopt;
    }
    return evidence(std::move(ids.front()), AttributionSource::desktopExec, application->process.pid);
}

} // namespace zoq
