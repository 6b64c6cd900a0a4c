#include "ZoqUI/AllowlistApps.h"

#include "ZoqCaptureEngine/AttributionResolver.h"
#include "ZoqCaptureEngine/AudioBackend.h"
#include "ZoqCaptureEngine/DesktopEntryIndex.h"
#include "ZoqCaptureEngine/ProcessScanner.h"
#include "ZoqCaptureEngine/ProcessTreeProviding.h"

#include <algorithm>
#include <map>

namespace zoq {

std::vector<AllowlistApp> allowlistApps(const std::vector<AllowlistApp>& running,
                                        const std::set<std::string>& allowed) {
    std::map<std::string, AllowlistApp> byId;
    for (const AllowlistApp& app : running) {
        if (!app.bundleId.empty()) {
            byId.try_emplace(app.bundleId, AllowlistApp{app.name.empty() ? app.bundleId : app.name,
                                                        app.bundleId, app.icon});
        }
    }
    for (const std::string& id : allowed) {
        byId.try_emplace(id, AllowlistApp{id, id, ""});
    }
    std::vector<AllowlistApp> apps;
    apps.reserve(byId.size());
    for (auto& [id, app] : byId) {
        apps.push_back(std::move(app));
    }
    std::stable_sort(apps.begin(), apps.end(),
                     [](const AllowlistApp& a, const AllowlistApp& b) { return a.name < b.name; });
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

} // namespace

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
                apps.push_back({client.applicationName.empty() ? id : client.applicationName, id, ""});
            }
        }
    }
    return apps;
}

} // namespace zoq
