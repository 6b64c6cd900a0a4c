#include "ZoqUI/AllowlistApps.h"

#include "ZoqCaptureEngine/AttributionResolver.h"
#include "ZoqCaptureEngine/AudioBackend.h"
#include "ZoqCaptureEngine/DesktopEntryIndex.h"
#include "ZoqCaptureEngine/ProcessScanner.h"
#include "ZoqCaptureEngine/ProcessTreeProviding.h"

#include <algorithm>
#include <map>

namespace zoq {

std::vector<AllowlistApp> allowlistApps(const std::vector<AllowlistApp>& offered,
                                        const std::set<std::string>& allowed) {
    std::map<std::string, AllowlistApp> byId;
    for (const AllowlistApp& app : offered) {
        if (app.bundleId.empty()) {
            continue;
        }
        AllowlistApp named{app.name.empty() ? app.bundleId : app.name, app.bundleId, app.icon, app.running};
        const auto [found, added] = byId.try_emplace(app.bundleId, named);
        if (!added && app.running && !found->second.running) {
            found->second = std::move(named);
        }
    }
    for (const std::string& id : allowed) {
        byId.try_emplace(id, AllowlistApp{id, id, "", false});
    }
    std::vector<AllowlistApp> apps;
    apps.reserve(byId.size());
    for (auto& [id, app] : byId) {
        apps.push_back(std::move(app));
    }
    // Stable over the identifier order of the map: ties stay by identifier.
    std::stable_sort(apps.begin(), apps.end(), [](const AllowlistApp& a, const AllowlistApp& b) {
        return a.running != b.running ? a.running : a.name < b.name;
    });
    return apps;
}

namespace {

/// The entries meant for menus, by identifier.
std::map<std::string, const DesktopEntry*> menuEntries(const DesktopEntryIndex& index) {
    std::map<std::string, const DesktopEntry*> entries;
    for (const DesktopEntry& entry : index.entries()) {
        if (!entry.noDisplay) {
            entries.emplace(entry.id, &entry);
        }
    }
    return entries;
}

bool isCallSoftware(const DesktopEntry& entry) {
    return std::any_of(entry.categories.begin(), entry.categories.end(), [](const std::string& category) {
        return std::find(callCategories.begin(), callCategories.end(), category) != callCategories.end();
    });
}

} // namespace

std::vector<AllowlistApp> installedApplications(const DesktopEntryIndex& index,
                                                const std::set<std::string>& allowed) {
    std::vector<AllowlistApp> installed;
    for (const DesktopEntry& entry : index.entries()) {
        if (allowed.count(entry.id) != 0 || (!entry.noDisplay && isCallSoftware(entry))) {
            installed.push_back({entry.name, entry.id, entry.icon, false});
        }
    }
    return installed;
}

std::vector<AllowlistApp> runningApplications(const AttributionResolver& resolver,
                                              const DesktopEntryIndex& index, unsigned uid) {
    const std::map<std::string, const DesktopEntry*> entries = menuEntries(index);
    const ProcessTreeProviding& tree = resolver.tree();
    std::vector<AllowlistApp> running;
    for (const std::int32_t pid : tree.processIDs()) {
        const std::optional<ProcessRecord> process = tree.process(pid);
        if (!process || process->uid != uid) {
            continue;
        }
        AudioClientIdentity client;
        client.verifiedPid = pid;
        const Attribution attribution = resolver.attribute(client);
        if (attribution.source == AttributionSource::reported) {
            continue;
        }
        const auto found = entries.find(attribution.applicationID);
        if (found != entries.end()) {
            running.push_back({found->second->name, found->second->id, found->second->icon});
        }
    }
    return running;
}

std::vector<AllowlistApp> audioApplications(const AudioGraph& graph, std::uint32_t ownClient,
                                            const AttributionResolver& resolver,
                                            const DesktopEntryIndex& index) {
    const std::map<std::string, const DesktopEntry*> entries = menuEntries(index);
    std::vector<AllowlistApp> apps;
    for (const auto* streams : {&graph.recordStreams, &graph.playbackStreams}) {
        for (const AudioStreamInfo& stream : *streams) {
            if (!stream.client || *stream.client == ownClient || stream.peakDetect) {
                continue;
            }
            const AudioClientIdentity client = ProcessScanner::identityOf(stream, graph, ownClient);
            const std::string id = resolver.attributedBundleID(client);
            if (id.empty()) {
                continue;
            }
            const auto found = entries.find(id);
            if (found != entries.end()) {
                apps.push_back({found->second->name, id, found->second->icon});
            } else {
                apps.push_back({id, id, ""});
            }
        }
    }
    return apps;
}

} // namespace zoq
