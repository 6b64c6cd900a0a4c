#include "ZoqShell/Uploader/SpoolUploader.h"

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Upload/UploadQueue.h"
#include "ZoqShell/Auth/DeviceAuthError.h"
#include "ZoqShell/Messages/PlainWords.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Transport/TransportUnavailable.h"
#include "ZoqShell/Transport/UploadRequestFactory.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace zoq {
namespace {

bool uploadable(ArtifactState state) {
    switch (state) {
    case ArtifactState::ready:
    case ArtifactState::uploading:
    case ArtifactState::verifyingRemote:
    case ArtifactState::retryWait:
    case ArtifactState::stored:
        return true;
    default:
        return false;
    }
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::shared_ptr<DurableIO> unlimitedIO() {
    return std::make_shared<DurableIO>();
}

} // namespace

SpoolUploader::SpoolUploader(std::filesystem::path spoolRoot, Dependencies dependencies,
                             const CoreClock& clock)
    : spoolRoot_(std::move(spoolRoot)), deps_(std::move(dependencies)), clock_(clock) {}

SpoolUploader::~SpoolUploader() = default;

void SpoolUploader::onRows(RowsHandler handler) {
    const std::lock_guard guard(handlerLock_);
    rowsHandler_ = std::move(handler);
}

void SpoolUploader::setBaseURL(std::optional<std::string> base) {
    const std::lock_guard guard(baseLock_);
    baseOverride_ = std::move(base);
}

std::future<std::vector<UploadEffect>> SpoolUploader::tickOnce() {
    return worker_.submit([this] { return pass(); });
}

std::future<int> SpoolUploader::resumeAfterPair(std::string currentDeviceId) {
    return worker_.submit([this, id = std::move(currentDeviceId)] { return resume(id); });
}

std::future<std::vector<UploadRow>> SpoolUploader::readRows() {
    return worker_.submit([this] { return rows(); });
}

std::future<void> SpoolUploader::publishRows() {
    return worker_.submit([this] { publish(); });
}

std::string SpoolUploader::baseURL() const {
    std::optional<std::string> text;
    {
        const std::lock_guard guard(baseLock_);
        text = baseOverride_;
    }
    if (!text) {
        text = deps_.settings != nullptr ? deps_.settings->apiBaseURLString()
                                         : std::string(ShellSettings::defaultAPIBaseURL);
    }
    const std::optional<std::string> parsed = ShellSettings::parsePortalURL(*text);
    if (!parsed) {
        throw CoreError::invalid("api base URL");
    }
    return *parsed;
}

std::vector<SpoolUploader::Entry> SpoolUploader::list() const {
    std::vector<std::filesystem::path> directories;
    std::error_code error;
    std::filesystem::directory_iterator iterator(spoolRoot_, error);
    if (error) {
        return {};
    }
    for (const std::filesystem::directory_iterator end; iterator != end; iterator.increment(error)) {
        if (error) {
            return {};
        }
        directories.push_back(iterator->path());
    }
    std::sort(directories.begin(), directories.end(),
              [](const auto& a, const auto& b) { return a.filename().string() < b.filename().string(); });

    const DurableIO io;
    std::vector<Entry> entries;
    for (auto& directory : directories) {
        try {
            ArtifactManifest manifest = Artifact::readManifest(directory, io);
            entries.push_back({std::move(directory), std::move(manifest)});
        } catch (const std::exception&) {
            // Not a recording (yet), or damaged: recovery deals with it when
            // the recorder or `zoq spool recover` opens it.
        }
    }
    return entries;
}

bool SpoolUploader::idle(const ArtifactManifest& manifest) const {
    // Recovering a published recording re-decodes and re-hashes its FLAC, so
    // a recording that would only be found unclaimable is left untouched.
    // Anything leased is recovered (it may be a dead worker's lease), and a
    // stored recording still has its local audio to remove.
    const QueueRecord& queue = manifest.queue;
    if (queue.leased || manifest.state == ArtifactState::stored) {
        return false;
    }
    if (queue.retryAt && clock_.wallDate() < *queue.retryAt) {
        return true;
    }
    return queue.stage == QueueStage::waitingNetwork &&
           deps_.network.currentTransport() == NetworkTransport::none;
}

std::vector<UploadEffect> SpoolUploader::pass() {
    std::vector<UploadEffect> effects;
    if (abandoned_.load()) {
        return effects;
    }
    // Another process (the command line beside the service) may have paired,
    // rotated or blocked the credentials since the last pass.
    deps_.auth.synchronize();
    if (deps_.auth.hasCredentials()) {
        // Recordings blocked on authentication by a refresh that could not
        // finish (its reply lost a few times) wait for nothing once the
        // credentials are usable again. Under another device they wait for
        // the pairing that rebases them. While the portal address names
        // another portal than the credentials' they wait as well: nothing
        // would be sent.
        const std::optional<CredentialSnapshot> credentials = deps_.auth.snapshot();
        const bool servesPortal = [this] {
            try {
                return deps_.auth.servesPortal(baseURL());
            } catch (const std::exception&) {
                return false; // no usable address: nothing is sent anyway
            }
        }();
        const std::optional<std::string> device =
            credentials && !credentials->blocked && servesPortal
                ? std::optional<std::string>(lowercased(credentials->credentials.deviceId()))
                : std::nullopt;
        for (const Entry& entry : list()) {
            ArtifactState state = entry.manifest.state;
            if (device && state == ArtifactState::blockedAuth &&
                entry.manifest.queue.stage == QueueStage::blockedAuth &&
                lowercased(entry.manifest.deviceId) == *device && resumeOne(entry.directory, *device)) {
                state = ArtifactState::ready;
            }
            if (abandoned_.load()) {
                break;
            }
            if (uploadable(state) && !idle(entry.manifest)) {
                const std::vector<UploadEffect> more = drive(entry.directory);
                effects.insert(effects.end(), more.begin(), more.end());
            }
        }
    }
    publish();
    return effects;
}

std::vector<UploadEffect> SpoolUploader::drive(const std::filesystem::path& directory) {
    std::unique_ptr<Artifact> artifact;
    try {
        const std::unique_ptr<FLACEncoder> encoder = deps_.encoder();
        RecoveryResult result = Artifact::recover(directory, clock_, *encoder, unlimitedIO());
        if (result.isQuarantined()) {
            return {};
        }
        artifact = result.takeArtifact();
    } catch (const std::exception&) {
        return {};
    }

    if (artifact->manifest().state == ArtifactState::stored) {
        try {
            artifact->cleanup(false);
            return {UploadEffect::stored};
        } catch (const std::exception&) {
            return {UploadEffect::blocked};
        }
    }
    if (!uploadable(artifact->manifest().state)) {
        return {};
    }

    UploadQueue queue(*artifact, clock_);
    const auto claim = [&]() -> std::optional<WorkerLease> {
        try {
            return queue.claim(deps_.network.currentTransport(), false);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    };
    std::optional<WorkerLease> lease = claim();
    std::vector<UploadEffect> effects;
    for (int sent = 0; lease && sent < maximumCommandsPerDrive; ++sent) {
        UploadEffect effect = UploadEffect::blocked;
        try {
            const UploadCommand command = queue.command(*lease);
            std::optional<HTTPReply> reply;
            std::string failure;
            try {
                reply = execute(command);
            } catch (const std::exception& error) {
                // The row's last error: the kind of network problem in a few
                // words (device authentication keeps no transport text),
                // else the storage transport's own words.
                const auto* unavailable = dynamic_cast<const TransportUnavailable*>(&error);
                const auto* denied = dynamic_cast<const DeviceAuthError*>(&error);
                const std::string brief =
                    plain::briefly(unavailable != nullptr ? unavailable->problem()
                                   : denied != nullptr    ? denied->problem()
                                                          : TransportUnavailable::Problem::unknown);
                if (!brief.empty()) {
                    failure = "network: " + brief;
                } else if (unavailable != nullptr) {
                    failure = "network: " + unavailable->reason();
                } else {
                    failure = error.what();
                }
                // No HTTP status (no connection, a bad base URL, an
                // unbuildable request): back off rather than quarantine.
                if (abandoned_.load()) {
                    // Given up, not failed: the request may or may not have
                    // reached the portal, and the next pass asks again
                    // from the last committed step.
                    break;
                }
            }
            effect = reply ? queue.receive(command, *reply) : queue.transportFailed(command, failure);
        } catch (const std::exception&) {
            effect = UploadEffect::blocked;
        }
        effects.push_back(effect);

        if (effect == UploadEffect::progressed) {
            const QueueRecord& record = queue.record();
            if (!(record.leased && record.generation == lease->generation)) {
                lease = claim();
            }
            // Progress inside one long drive (a multipart transfer) reaches
            // the rows at once, not only at the end of the pass.
            publish();
            continue;
        }
        if (effect == UploadEffect::refreshRequired) {
            if (deps_.auth.refreshNow() && queue.record().stage == QueueStage::blockedAuth) {
                try {
                    queue.resumeAuthenticated();
                } catch (const std::exception&) {
                }
            }
        } else if (effect == UploadEffect::stored) {
            try {
                artifact->cleanup(false);
            } catch (const std::exception&) {
                // Stays STORED (or poisoned); the next pass cleans up.
            }
        }
        break;
    }
    return effects;
}

HTTPReply SpoolUploader::execute(const UploadCommand& command) {
    const std::string base = baseURL();
    const TransportRequest request = UploadRequestFactory::make(command, base, "");
    if (std::holds_alternative<UploadCommand::Put>(command.operation)) {
        // The presigned URL is the credential: the bearer token never goes
        // to storage.
        return UploadRequestFactory::reply(deps_.transport.execute(request));
    }
    const AuthenticatedOutcome outcome = deps_.auth.authorizedCall(request);
    if (outcome.kind() == AuthenticatedOutcome::Kind::blockedAuth) {
        return HTTPReply{401, {}, std::nullopt, std::nullopt};
    }
    return UploadRequestFactory::reply(outcome.transportResponse());
}

bool SpoolUploader::resumeOne(const std::filesystem::path& directory, const std::string& currentDeviceId) {
    try {
        const std::unique_ptr<FLACEncoder> encoder = deps_.encoder();
        RecoveryResult result = Artifact::recover(directory, clock_, *encoder, unlimitedIO());
        if (result.isQuarantined()) {
            return false;
        }
        Artifact& artifact = result.artifact();
        const ArtifactManifest& manifest = artifact.manifest();
        if (manifest.state != ArtifactState::blockedAuth || manifest.queue.stage != QueueStage::blockedAuth) {
            return false;
        }
        if (lowercased(manifest.deviceId) != lowercased(currentDeviceId)) {
            artifact.rebaseUploadIntent(currentDeviceId);
        } else {
            UploadQueue(artifact, clock_).resumeAuthenticated();
        }
        return true;
    } catch (const std::exception&) {
        // Left blocked; the next pairing or pass tries again.
        return false;
    }
}

int SpoolUploader::resume(const std::string& currentDeviceId) {
    int handled = 0;
    deps_.auth.synchronize();
    if (deps_.auth.hasCredentials()) {
        for (const Entry& entry : list()) {
            if (entry.manifest.state == ArtifactState::blockedAuth &&
                resumeOne(entry.directory, currentDeviceId)) {
                ++handled;
            }
        }
    }
    publish();
    return handled;
}

std::vector<UploadRow> SpoolUploader::rows() const {
    const Date now = clock_.wallDate();
    std::vector<UploadRow> result;
    for (const Entry& entry : list()) {
        result.push_back(UploadRow::derive(entry.manifest, now, UploadRow::stuckThresholdFailures,
                                           UploadRow::stuckThresholdDelay));
    }
    sortByStart(result);
    return result;
}

void SpoolUploader::publish() const {
    RowsHandler handler;
    {
        const std::lock_guard guard(handlerLock_);
        handler = rowsHandler_;
    }
    if (handler) {
        handler(rows(), deps_.auth.isBlocked());
    }
}

} // namespace zoq
