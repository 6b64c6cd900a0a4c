#include "ZoqCaptureEngine/ProcessScanner.h"

#include "ZoqCaptureEngine/AudioBackendError.h"
#include "ZoqCaptureEngine/ScannerError.h"

#include <algorithm>
#include <bit>

namespace zoq {
namespace {

template <class Value>
void complete(Value& value, const Value& fallback) {
    if (value == Value{}) {
        value = fallback;
    }
}

/// FNV-1a: a stable 64-bit digest of a text, so a channel map fits the signature.
std::uint64_t digest(const std::vector<std::string>& names) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const std::string& name : names) {
        for (const char c : name + ",") {
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
        }
    }
    return hash;
}

void appendFormat(std::vector<std::uint64_t>& signature, const AudioFormat& format) {
    signature.push_back(std::bit_cast<std::uint64_t>(static_cast<double>(format.rate)));
    signature.push_back(digest({format.sampleFormat}));
    signature.push_back(format.channels);
    signature.push_back(digest(format.channelMap));
}

} // namespace

ProcessScanner::ProcessScanner(AudioBackend& backend, AttributionResolver attribution)
    : backend_(backend), attribution_(std::move(attribution)) {}

ProcessScanner::~ProcessScanner() {
    removeListeners();
}

std::optional<std::int32_t> ProcessScanner::verifiedPidOf(const AudioClientInfo& client,
                                                          const AudioGraph& graph, std::uint32_t ownClient) {
    // PulseAudio keeps the peer's credentials to itself and shows whatever a
    // client put under this key; only PipeWire sets it, from the socket.
    if (graph.serverName.find("PipeWire") == std::string::npos || !client.credentialPid ||
        *client.credentialPid <= 0) {
        return std::nullopt;
    }
    // pipewire-pulse relays each of its clients over a connection of its own,
    // so all of them, this one included, show the relay's pid: a pid that
    // cannot be told apart from ours names no one.
    const AudioClientInfo* own = graph.client(ownClient);
    if (own == nullptr || !own->credentialPid || *own->credentialPid == *client.credentialPid) {
        return std::nullopt;
    }
    return client.credentialPid;
}

AudioClientIdentity ProcessScanner::identityOf(const AudioStreamInfo& stream, const AudioGraph& graph,
                                               std::uint32_t ownClient) {
    AudioClientIdentity identity = stream.identity;
    // A stream's list holds only what its client put there.
    identity.verifiedPid.reset();
    const AudioClientInfo* client = stream.client ? graph.client(*stream.client) : nullptr;
    if (client != nullptr) {
        const AudioClientIdentity& owner = client->identity;
        complete(identity.claimedPid, owner.claimedPid);
        complete(identity.portalAppId, owner.portalAppId);
        complete(identity.processBinary, owner.processBinary);
        complete(identity.applicationId, owner.applicationId);
        complete(identity.applicationName, owner.applicationName);
        identity.verifiedPid = verifiedPidOf(*client, graph, ownClient);
    }
    return identity;
}

bool ProcessScanner::countsAsInput(const AudioStreamInfo& stream, const AudioGraph& graph,
                                   std::uint32_t ownClient) {
    if (!stream.client || *stream.client == ownClient || stream.corked || stream.peakDetect ||
        !stream.device) {
        return false;
    }
    const auto source =
        std::find_if(graph.sources.begin(), graph.sources.end(),
                     [&](const AudioSourceInfo& info) { return info.index == *stream.device; });
    return source != graph.sources.end() && !source->monitorOfSink;
}

bool ProcessScanner::isDefaultInputRunningSomewhere() {
    try {
        const std::uint32_t own = backend_.ownClientIndex();
        const AudioGraph graph = backend_.graph();
        const AudioSourceInfo* source = graph.sourceNamed(graph.defaultSourceName);
        return source != nullptr && std::any_of(graph.recordStreams.begin(), graph.recordStreams.end(),
                                                [&](const AudioStreamInfo& stream) {
                                                    return stream.device == source->index &&
                                                           countsAsInput(stream, graph, own);
                                                });
    } catch (const AudioBackendError&) {
        return false;
    }
}

ProcessObservation ProcessScanner::scan(bool inputRunning) {
    AudioGraph graph;
    std::uint32_t own = 0;
    try {
        own = backend_.ownClientIndex();
        graph = backend_.graph();
    } catch (const AudioBackendError&) {
        return {};
    }

    ProcessObservation observation;
    try {
        observation.hardwareSignature = signatureOf(graph);
    } catch (const ScannerError&) {
        // A default device that is briefly missing is the listener's case.
    }
    // One activity per application process: a process may hold several
    // connections. Only clients pinned to the same process (a pid the server
    // verified, or a claim the process tree bore out) and attributed alike
    // share one; a pid a client merely claims is never a key, or a client
    // could lend its microphone use to the process it names, and sandboxed
    // clients that all claim pid 2 would pool theirs.
    std::vector<std::optional<std::int32_t>> pinned;
    for (const AudioClientInfo& client : graph.clients) {
        if (client.index == own) {
            continue;
        }
        const auto owned = [&](const AudioStreamInfo& stream) { return stream.client == client.index; };
        const auto record = std::find_if(graph.recordStreams.begin(), graph.recordStreams.end(), owned);
        const auto playback = std::find_if(graph.playbackStreams.begin(), graph.playbackStreams.end(), owned);
        if (record == graph.recordStreams.end() && playback == graph.playbackStreams.end()) {
            continue;
        }
        const AudioClientIdentity identity =
            identityOf(record != graph.recordStreams.end() ? *record : *playback, graph, own);
        if (identity.verifiedPid.value_or(identity.claimedPid.value_or(0)) <= 0) {
            continue;
        }
        if (std::any_of(graph.playbackStreams.begin(), graph.playbackStreams.end(),
                        [&](const AudioStreamInfo& stream) { return owned(stream) && !stream.corked; })) {
            observation.externalOutputRunning = true;
        }
        if (!inputRunning) {
            continue;
        }
        const bool input = std::any_of(graph.recordStreams.begin(), graph.recordStreams.end(),
                                       [&](const AudioStreamInfo& stream) {
                                           return owned(stream) && countsAsInput(stream, graph, own);
                                       });
        const Attribution attribution = attribution_.attribute(identity);
        // An untrusted client is listed under the pid it claims: that is
        // what it said, and the allowlist goes by the application.
        const std::int32_t pid =
            attribution.clientPid.value_or(identity.verifiedPid.value_or(identity.claimedPid.value_or(0)));
        std::size_t known = 0;
        while (known < pinned.size() &&
               !(pinned[known] && pinned[known] == attribution.clientPid &&
                 observation.activities[known].bundleId == attribution.applicationID)) {
            ++known;
        }
        if (known < pinned.size()) {
            observation.activities[known].runningInput = observation.activities[known].runningInput || input;
        } else {
            observation.activities.push_back(ProcessActivity{pid, attribution.applicationID, input});
            pinned.push_back(attribution.clientPid);
        }
    }
    for (const ProcessActivity& activity : observation.activities) {
        if (activity.runningInput) {
            observation.inputUsers.push_back(activity);
        }
    }
    return observation;
}

void ProcessScanner::installListeners(Callback onDeviceChange, Callback onActivity) {
    removeListeners();
    if (!removalErrors_.empty()) {
        std::string joined;
        for (const std::string& error : removalErrors_) {
            joined += (joined.empty() ? "" : ",") + error;
        }
        throw ScannerError::propertyFailed(joined);
    }
    auto lease = std::make_shared<ListenerLease>();
    // The handler holds the lease, not the scanner: a callback that runs late
    // finds the lease off and does nothing.
    auto handler = [lease, changes = playbackChanges_, onDeviceChange = std::move(onDeviceChange),
                    onActivity = std::move(onActivity)](const AudioEvent& event) {
        lease->ifActive([&] {
            switch (event.facility) {
            case AudioEvent::Facility::sourceOutput:
                onActivity();
                break;
            case AudioEvent::Facility::server:
            case AudioEvent::Facility::source:
            case AudioEvent::Facility::sink:
            case AudioEvent::Facility::connection:
                onDeviceChange();
                break;
            case AudioEvent::Facility::sinkInput:
            case AudioEvent::Facility::client:
                ++*changes;
                break;
            }
        });
    };
    try {
        // A connection that is already gone would never announce anything.
        backend_.ownClientIndex();
        backend_.setEventHandler(std::move(handler));
    } catch (const AudioBackendError& error) {
        lease->deactivate();
        throw ScannerError::propertyFailed(std::string("add_listener:") + error.what());
    }
    lease_ = std::move(lease);
}

void ProcessScanner::removeListeners() {
    removalErrors_.clear();
    if (!lease_) {
        return;
    }
    lease_->deactivate();
    try {
        backend_.setEventHandler({});
        backend_.barrier();
        lease_.reset();
    } catch (const AudioBackendError& error) {
        removalErrors_.push_back(std::string("remove_listener:") + error.what());
    }
}

std::vector<std::uint64_t> ProcessScanner::hardwareSignature() {
    AudioGraph graph;
    try {
        graph = backend_.graph();
    } catch (const AudioBackendError& error) {
        throw ScannerError::propertyFailed(error.what());
    }
    return signatureOf(graph);
}

std::vector<std::uint64_t> ProcessScanner::signatureOf(const AudioGraph& graph) {
    const AudioSourceInfo* source = graph.sourceNamed(graph.defaultSourceName);
    if (source == nullptr) {
        throw ScannerError::propertyFailed("device_format:source \"" + graph.defaultSourceName + "\"");
    }
    const AudioSinkInfo* sink = graph.sinkNamed(graph.defaultSinkName);
    if (sink == nullptr) {
        throw ScannerError::propertyFailed("device_format:sink \"" + graph.defaultSinkName + "\"");
    }
    std::vector<std::uint64_t> signature{source->index, sink->index};
    appendFormat(signature, source->format);
    appendFormat(signature, sink->format);
    return signature;
}

} // namespace zoq
