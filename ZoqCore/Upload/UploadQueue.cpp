#include "ZoqCore/Upload/UploadQueue.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "ZoqCore/Wire/Wire.h"
#include "ZoqCore/Wire/WireDocument.h"
#include "ZoqCore/Wire/WireTimestamp.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <random>
#include <set>
#include <type_traits>
#include <utility>

namespace zoq {
namespace {

using Object = JSONValue::Object;
using Array = JSONValue::Array;

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

std::int64_t integerAt(const JSONValue& object, std::string_view key) {
    const JSONValue* member = object.find(key);
    const auto value = member != nullptr ? member->integer() : std::nullopt;
    if (!value) {
        throw CoreError::invalidState();
    }
    return *value;
}

bool isMultipart(const JSONValue& transfer) {
    const JSONValue* mode = transfer.find("mode");
    return mode != nullptr && mode->string() != nullptr && *mode->string() == "multipart";
}

std::int64_t partCountFor(std::int64_t byteSize) {
    return (byteSize + UploadQueue::partSize - 1) / UploadQueue::partSize;
}

std::int64_t floorDivide(std::int64_t value, std::int64_t divisor) {
    return value / divisor - ((value % divisor) < 0 ? 1 : 0);
}

/// `date` in the wire's canonical form, "YYYY-MM-DDTHH:MM:SS.mmmZ"
/// (milliseconds truncated after rounding to the microsecond, as dates are
/// rendered everywhere else). invalid("UTC year") outside 0000-9999.
std::string canonicalTimestamp(Date date) {
    const double unix = date.unixSeconds();
    // About ±12 700 years around 1970: beyond it the year is out of range anyway.
    if (!std::isfinite(unix) || std::fabs(unix) > 4e11) {
        throw CoreError::invalid("UTC year");
    }
    const std::int64_t millis = floorDivide(static_cast<std::int64_t>(std::llround(unix * 1e6)), 1000);
    const std::time_t seconds = static_cast<std::time_t>(floorDivide(millis, 1000));
    std::tm civil{};
    if (::gmtime_r(&seconds, &civil) == nullptr || civil.tm_year + 1900 < 0 || civil.tm_year + 1900 > 9999) {
        throw CoreError::invalid("UTC year");
    }
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", civil.tm_year + 1900,
                  civil.tm_mon + 1, civil.tm_mday, civil.tm_hour, civil.tm_min, civil.tm_sec,
                  static_cast<int>(millis - floorDivide(millis, 1000) * 1000));
    return text;
}

bool isActiveStage(QueueStage stage) {
    return stage == QueueStage::creating || stage == QueueStage::transferring ||
           stage == QueueStage::completing || stage == QueueStage::verifying;
}

} // namespace

UploadQueue::Jitter UploadQueue::uniformJitter() {
    return [] {
        thread_local std::mt19937_64 generator{std::random_device{}()};
        return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
    };
}

UploadQueue::UploadQueue(Artifact& artifact, const CoreClock& clock, Jitter jitter)
    : artifact_(artifact), clock_(clock), jitter_(std::move(jitter)) {
    if (!jitter_) {
        throw CoreError::invalid("retry timing");
    }
}

// MARK: Lease

void UploadQueue::requireLease(const WorkerLease& lease) const {
    const QueueRecord& queue = record();
    if (!queue.leased || queue.generation != lease.generation) {
        throw CoreError::staleLease();
    }
}

void UploadQueue::takeOutstanding(const UploadCommand& command) {
    requireLease(command.lease);
    if (!outstanding_ || !(*outstanding_ == command)) {
        throw CoreError::staleLease();
    }
    outstanding_.reset();
}

std::optional<WorkerLease> UploadQueue::claim(NetworkTransport network, bool wifiOnly) {
    const ArtifactManifest& manifest = artifact_.manifest();
    if (!manifest.metadata) {
        throw CoreError::invalidState();
    }
    const QueueRecord& queue = manifest.queue;
    switch (manifest.state) {
    case ArtifactState::stored:
    case ArtifactState::cleaned:
    case ArtifactState::discardedShort:
    case ArtifactState::blockedAuth:
    case ArtifactState::quarantined:
        return std::nullopt;
    default:
        break;
    }
    if (queue.leased || queue.stage == QueueStage::blockedPermission ||
        (queue.retryAt && clock_.wallDate() < *queue.retryAt)) {
        return std::nullopt;
    }
    QueueStage next = queue.stage;
    if (next == QueueStage::retryWait || next == QueueStage::blockedAuth ||
        next == QueueStage::waitingNetwork) {
        next = queue.resumeStage;
    } else if (next == QueueStage::ready) {
        next = QueueStage::creating;
    }
    if (!isActiveStage(next)) {
        // Only a record no queue writes (say, resuming into a wait) gets here.
        throw CoreError::invalidState();
    }

    ArtifactManifest updated = manifest;
    if (network == NetworkTransport::none || (wifiOnly && network != NetworkTransport::wifi)) {
        if (queue.stage == QueueStage::waitingNetwork) {
            return std::nullopt;
        }
        updated.queue.resumeStage = next;
        updated.queue.stage = QueueStage::waitingNetwork;
        artifact_.commit(updated);
        return std::nullopt;
    }
    if (queue.generation >= largestGeneration) {
        throw CoreError::invalidState();
    }
    updated.queue.generation += 1;
    updated.queue.leased = true;
    updated.queue.retryAt.reset();
    updated.queue.stage = next;
    // Under a new lease the portal's parts are fetched again and the next part
    // is signed again: whatever a dead worker learned may be out of date.
    updated.queue.observedParts = false;
    updated.queue.signedPart.reset();
    updated.state = next == QueueStage::verifying ? ArtifactState::verifyingRemote : ArtifactState::uploading;
    artifact_.commit(updated);
    outstanding_.reset();
    return WorkerLease{updated.queue.generation};
}

void UploadQueue::cancel(const WorkerLease& lease) {
    requireLease(lease);
    if (record().generation >= largestGeneration) {
        throw CoreError::invalidState();
    }
    ArtifactManifest updated = artifact_.manifest();
    updated.queue.generation += 1;
    updated.queue.leased = false;
    updated.queue.signedPart.reset();
    artifact_.commit(updated);
    outstanding_.reset();
}

void UploadQueue::resumeAuthenticated() {
    if (record().stage != QueueStage::blockedAuth) {
        throw CoreError::invalidState();
    }
    ArtifactManifest updated = artifact_.manifest();
    updated.queue.stage = updated.queue.resumeStage;
    updated.state = ArtifactState::ready;
    artifact_.commit(updated);
}

void UploadQueue::permissionRestored() {
    if (record().stage != QueueStage::blockedPermission) {
        throw CoreError::invalidState();
    }
    ArtifactManifest updated = artifact_.manifest();
    updated.queue.stage = updated.queue.resumeStage;
    updated.queue.error.reset();
    updated.state = ArtifactState::ready;
    artifact_.commit(updated);
}

// MARK: Commands

UploadCommand UploadQueue::command(const WorkerLease& lease) {
    requireLease(lease);
    if (outstanding_) {
        return *outstanding_;
    }
    Operation operation = nextOperation();
    if (sequence_ == std::numeric_limits<std::int64_t>::max()) {
        throw CoreError::invalidState();
    }
    outstanding_ = UploadCommand{lease, sequence_ + 1, std::move(operation)};
    sequence_ += 1;
    return *outstanding_;
}

bool UploadQueue::expired(const JSONValue& target) const {
    const JSONValue* expiresAt = target.find("urlExpiresAt");
    if (expiresAt == nullptr || expiresAt->string() == nullptr) {
        return false;
    }
    return WireTimestamp(canonicalTimestamp(clock_.wallDate())) >= WireTimestamp(*expiresAt->string());
}

UploadQueue::Operation UploadQueue::nextOperation() {
    // Each pass either returns an operation or commits a stage change that
    // the next pass builds from; a stage change never leads back to the stage
    // it left, so this ends after at most two passes.
    for (;;) {
        const ArtifactManifest& manifest = artifact_.manifest();
        if (!manifest.metadata) {
            throw CoreError::invalidState();
        }
        const QueueRecord& queue = manifest.queue;
        const std::int64_t byteSize = manifest.metadata->byteSize();
        switch (queue.stage) {
        case QueueStage::creating:
            if (queue.replaceAttempt && queue.identity) {
                return UploadCommand::Replacement{queue.identity->uploadId};
            }
            return UploadCommand::Create{*manifest.metadata};
        case QueueStage::transferring: {
            if (!queue.identity || !queue.identity->attemptId || !queue.transfer) {
                throw CoreError::invalidState();
            }
            const UploadIdentity& identity = *queue.identity;
            const JSONValue& transfer = *queue.transfer;
            const bool multipart = isMultipart(transfer);
            const JSONValue* target =
                multipart ? (queue.signedPart ? &*queue.signedPart : nullptr) : &transfer;
            if (target != nullptr && expired(*target)) {
                // A status poll brings back fresh transfer details; an expired
                // URL is never handed out.
                ArtifactManifest updated = manifest;
                updated.queue.stage = QueueStage::verifying;
                updated.state = ArtifactState::verifyingRemote;
                updated.queue.signedPart.reset();
                artifact_.commit(updated);
                continue;
            }
            if (!multipart) {
                return UploadCommand::Put{artifact_.flac(), 0, byteSize, transfer, std::nullopt};
            }
            if (!queue.observedParts) {
                return UploadCommand::ObservedParts{identity.uploadId, *identity.attemptId};
            }
            const std::int64_t count = integerAt(transfer, "partCount");
            std::set<std::int64_t> held;
            for (const JSONValue& part : queue.completedParts) {
                held.insert(integerAt(part, "partNumber"));
            }
            std::int64_t missing = 1;
            while (held.contains(missing)) {
                ++missing;
            }
            if (missing > count) {
                ArtifactManifest updated = manifest;
                updated.queue.stage = QueueStage::completing;
                artifact_.commit(updated);
                continue;
            }
            if (queue.signedPart && integerAt(*queue.signedPart, "partNumber") == missing) {
                const std::int64_t offset = (missing - 1) * partSize;
                return UploadCommand::Put{artifact_.flac(), offset, std::min(partSize, byteSize - offset),
                                          *queue.signedPart, missing};
            }
            return UploadCommand::SignPart{identity.uploadId, *identity.attemptId, missing};
        }
        case QueueStage::completing: {
            if (!queue.identity || !queue.identity->attemptId) {
                throw CoreError::invalidState();
            }
            Object body{{"attemptId", *queue.identity->attemptId}};
            if (queue.transfer && isMultipart(*queue.transfer)) {
                Array parts = queue.completedParts;
                std::sort(parts.begin(), parts.end(), [](const JSONValue& a, const JSONValue& b) {
                    return integerAt(a, "partNumber") < integerAt(b, "partNumber");
                });
                const std::int64_t count = integerAt(*queue.transfer, "partCount");
                bool whole = static_cast<std::int64_t>(parts.size()) == count;
                for (std::int64_t i = 0; whole && i < count; ++i) {
                    whole = integerAt(parts[static_cast<std::size_t>(i)], "partNumber") == i + 1;
                }
                if (!whole) {
                    // Completing an attempt the portal cannot assemble would
                    // only earn a conflict: send the missing parts first.
                    ArtifactManifest updated = manifest;
                    updated.queue.stage = QueueStage::transferring;
                    artifact_.commit(updated);
                    continue;
                }
                body.emplace("parts", std::move(parts));
            }
            return UploadCommand::Complete{queue.identity->uploadId,
                                           Wire::validate(body, WireSchema::uploadCompleteRequest)};
        }
        case QueueStage::verifying:
            if (!queue.identity) {
                throw CoreError::invalidState();
            }
            return UploadCommand::Status{queue.identity->uploadId};
        default:
            throw CoreError::invalidState();
        }
    }
}

// MARK: Replies

UploadEffect UploadQueue::transportFailed(const UploadCommand& command, const std::string& reason) {
    takeOutstanding(command);
    return retry(artifact_.manifest(), std::nullopt, reason.empty() ? "no response" : reason);
}

UploadEffect UploadQueue::receive(const UploadCommand& command, const HTTPReply& reply) {
    takeOutstanding(command);
    const int status = reply.status;
    const bool isPut = std::holds_alternative<UploadCommand::Put>(command.operation);
    // 408 is a timeout on the way, like 429 and 5xx: nothing is wrong with
    // the recording, so it waits rather than being quarantined.
    if (status < 200 || (status >= 300 && status < 400) || status == 408 || status == 429 || status >= 500) {
        return retry(artifact_.manifest(), reply.retryAfterSeconds, "HTTP " + std::to_string(status));
    }
    if ((status == 401 || status == 403) && isPut) {
        // A presigned URL carries no device credentials: a refusal means the
        // URL is no good, and a status poll brings back fresh details.
        return putRefused(reply);
    }
    if (status == 401) {
        ArtifactManifest updated = artifact_.manifest();
        updated.queue.resumeStage = updated.queue.stage;
        updated.queue.stage = QueueStage::blockedAuth;
        updated.queue.leased = false;
        updated.state = ArtifactState::blockedAuth;
        artifact_.commit(updated);
        return UploadEffect::refreshRequired;
    }
    if (status == 403) {
        ArtifactManifest updated = artifact_.manifest();
        updated.queue.resumeStage = updated.queue.stage;
        updated.queue.stage = QueueStage::blockedPermission;
        updated.queue.leased = false;
        updated.queue.error = "scope_denied";
        artifact_.commit(updated);
        return UploadEffect::blocked;
    }
    if (status >= 400) {
        bool expiredUpload = false;
        try {
            const WireDocument envelope(WireSchema::errorEnvelope, reply.body);
            const JSONValue* code = envelope.value().find("error")->find("code");
            expiredUpload = *code->string() == "upload_expired";
        } catch (const CoreError&) {
        } catch (const JSONSyntaxError&) {
        }
        if (!expiredUpload) {
            return quarantine(artifact_.manifest(), "HTTP " + std::to_string(status));
        }
        if (!record().identity) {
            // Nothing bound yet, so there is no attempt to replace: ask again.
            return retry(artifact_.manifest(), reply.retryAfterSeconds, "upload_expired");
        }
        return restartAttempt(artifact_.manifest(), reply.retryAfterSeconds, "upload_expired");
    }
    try {
        return receiveSuccess(command, reply);
    } catch (const JSONSyntaxError&) {
        return quarantine(artifact_.manifest(), "malformed upload reply");
    } catch (const CoreError& error) {
        if (error.kind() != CoreError::Kind::invalid && error.kind() != CoreError::Kind::corrupt) {
            throw;
        }
        return quarantine(artifact_.manifest(), "invalid upload reply");
    }
}

UploadEffect UploadQueue::putRefused(const HTTPReply& reply) {
    ArtifactManifest updated = artifact_.manifest();
    updated.queue.stage = QueueStage::verifying;
    updated.state = ArtifactState::verifyingRemote;
    updated.queue.signedPart.reset();
    return retry(std::move(updated), reply.retryAfterSeconds,
                 "upload URL refused (HTTP " + std::to_string(reply.status) + ")");
}

UploadEffect UploadQueue::receiveSuccess(const UploadCommand& command, const HTTPReply& reply) {
    // The portal answered: whatever error made the last wait is over, and
    // every decision below either records progress or names its own reason.
    ArtifactManifest manifest = artifact_.manifest();
    manifest.queue.error.reset();
    const std::optional<double> delay = reply.retryAfterSeconds;
    return std::visit(
        [&](const auto& operation) -> UploadEffect {
            using Kind = std::decay_t<decltype(operation)>;
            if constexpr (std::is_same_v<Kind, UploadCommand::Put>) {
                if (reply.status == 202) {
                    return retry(manifest, delay, "upload not taken yet (HTTP 202)");
                }
                ArtifactManifest updated = manifest;
                if (!operation.partNumber) {
                    updated.queue.stage = QueueStage::completing;
                    artifact_.commit(updated);
                    return UploadEffect::progressed;
                }
                if (!reply.etag || reply.etag->empty() || !manifest.queue.identity ||
                    !manifest.queue.identity->attemptId) {
                    return retry(manifest, std::nullopt, "part sent without an ETag in reply");
                }
                const std::int64_t number = *operation.partNumber;
                // Validated as it will be sent in the complete request, so the
                // part stored is exactly the part the portal will be told of.
                const JSONValue one = Wire::validate(
                    Object{{"attemptId", *manifest.queue.identity->attemptId},
                           {"parts", Array{Object{{"partNumber", number}, {"etag", *reply.etag}}}}},
                    WireSchema::uploadCompleteRequest);
                auto& parts = updated.queue.completedParts;
                parts.erase(std::remove_if(parts.begin(), parts.end(),
                                           [&](const JSONValue& part) {
                                               return integerAt(part, "partNumber") == number;
                                           }),
                            parts.end());
                parts.push_back(one.find("parts")->array()->front());
                updated.queue.signedPart.reset();
                artifact_.commit(updated);
                return UploadEffect::progressed;
            } else if constexpr (std::is_same_v<Kind, UploadCommand::ObservedParts>) {
                const WireDocument document(WireSchema::uploadObservedPartsResponse, reply.body);
                if (!manifest.queue.transfer) {
                    throw CoreError::invalidState();
                }
                const std::int64_t count = integerAt(*manifest.queue.transfer, "partCount");
                const std::int64_t byteSize = manifest.metadata->byteSize();
                std::set<std::int64_t> seen;
                Array parts;
                for (const JSONValue& part : *document.value().find("parts")->array()) {
                    const std::int64_t number = integerAt(part, "partNumber");
                    const std::int64_t expected =
                        number < count ? partSize : byteSize - (number - 1) * partSize;
                    if (number > count || !seen.insert(number).second ||
                        integerAt(part, "byteSize") != expected) {
                        throw CoreError::invalid("observed part bounds");
                    }
                    parts.push_back(Object{{"partNumber", number}, {"etag", *part.find("etag")}});
                }
                ArtifactManifest updated = manifest;
                updated.queue.completedParts = std::move(parts);
                updated.queue.observedParts = true;
                artifact_.commit(updated);
                return UploadEffect::progressed;
            } else if constexpr (std::is_same_v<Kind, UploadCommand::SignPart>) {
                const WireDocument document(WireSchema::uploadPartsResponse, reply.body);
                const Array& parts = *document.value().find("parts")->array();
                if (parts.size() != 1 || integerAt(parts.front(), "partNumber") != operation.number) {
                    throw CoreError::invalid("signed part identity");
                }
                ArtifactManifest updated = manifest;
                if (expired(parts.front())) {
                    // Signed already expired by this device's clock (a clock
                    // ahead of the portal's, or a very short URL lifetime):
                    // handing it out would only lead to a status poll and a
                    // new signature at once, round and round. Back off and
                    // count it, as for an expired single-mode transfer.
                    updated.queue.stage = QueueStage::verifying;
                    updated.state = ArtifactState::verifyingRemote;
                    updated.queue.signedPart.reset();
                    return retry(std::move(updated), delay, "signed upload URL already expired");
                }
                updated.queue.signedPart = parts.front();
                artifact_.commit(updated);
                return UploadEffect::progressed;
            } else {
                if (reply.status == 202) {
                    const UploadStatusResponse status(
                        WireDocument(WireSchema::uploadCompleteResponse, reply.body));
                    return acceptStatus(manifest, status, command, true, delay);
                }
                WireSchema schema = WireSchema::uploadStatusResponse;
                if (reply.status == 201) {
                    schema = WireSchema::uploadPendingResponse;
                } else if constexpr (std::is_same_v<Kind, UploadCommand::Create>) {
                    schema = WireSchema::uploadCreateResponse;
                } else if constexpr (std::is_same_v<Kind, UploadCommand::Complete>) {
                    schema = WireSchema::uploadCompleteResponse;
                }
                const UploadStatusResponse status(WireDocument(schema, reply.body));
                return acceptStatus(manifest, status, command, false, delay);
            }
        },
        command.operation);
}

UploadEffect UploadQueue::acceptStatus(ArtifactManifest updated, const UploadStatusResponse& status,
                                       const UploadCommand& command, bool pending,
                                       std::optional<double> serverDelay) {
    QueueRecord& queue = updated.queue;
    const bool isReplacement = std::holds_alternative<UploadCommand::Replacement>(command.operation);
    const std::optional<std::string> attempt = status.attemptId();
    if (queue.identity) {
        const UploadIdentity& bound = *queue.identity;
        if (!equalsIgnoringCase(status.uploadId(), bound.uploadId) ||
            !equalsIgnoringCase(status.recordingId(), bound.recordingId)) {
            throw CoreError::invalid("upload identity changed");
        }
        // A new attempt is expected in reply to a replacement, and also on
        // any reply while a replacement is asked for: the portal may have
        // opened it just before a crash lost its answer.
        if (attempt && bound.attemptId && !equalsIgnoringCase(*attempt, *bound.attemptId) && !isReplacement &&
            !queue.replaceAttempt) {
            throw CoreError::invalid("stale attempt");
        }
    } else if (!std::holds_alternative<UploadCommand::Create>(command.operation)) {
        throw CoreError::invalid("unbound receipt");
    }
    const std::optional<std::string> previousAttempt =
        queue.identity ? queue.identity->attemptId : std::nullopt;
    queue.identity =
        UploadIdentity{status.uploadId(), status.recordingId(), attempt ? attempt : previousAttempt};

    const std::string& state = status.state();
    if (state == "stored") {
        if (pending) {
            throw CoreError::invalid("pending receipt");
        }
        updated.receipt = status;
        if (!Artifact::matches(status, updated)) {
            throw CoreError::invalid("receipt mismatch");
        }
        updated.state = ArtifactState::stored;
        queue.stage = QueueStage::stored;
        queue.leased = false;
        artifact_.commit(updated);
        return UploadEffect::stored;
    }
    if (state == "verifying") {
        queue.stage = QueueStage::verifying;
        return poll(std::move(updated), serverDelay);
    }
    if (state == "pending") {
        if (const JSONValue* transfer = status.json().find("transfer")) {
            queue.transfer = *transfer;
        }
        if (!queue.transfer || !queue.identity->attemptId) {
            queue.stage = QueueStage::verifying;
            return poll(std::move(updated), serverDelay);
        }
        const bool multipart = isMultipart(*queue.transfer);
        if (multipart &&
            integerAt(*queue.transfer, "partCount") != partCountFor(updated.metadata->byteSize())) {
            throw CoreError::invalid("part count inconsistent with bytes");
        }
        queue.replaceAttempt = false;
        queue.completedParts.clear();
        queue.observedParts = false;
        queue.signedPart.reset();
        if (!multipart && expired(*queue.transfer)) {
            // Handing out this transfer would only turn into another status
            // poll at once; wait for the portal to renew the URL instead.
            queue.stage = QueueStage::verifying;
            return retry(std::move(updated), serverDelay, "upload URL already expired");
        }
        queue.stage = QueueStage::transferring;
        updated.state = ArtifactState::uploading;
        if (serverDelay) {
            return poll(std::move(updated), serverDelay);
        }
        artifact_.commit(updated);
        return UploadEffect::progressed;
    }
    // "failed": the schema guarantees an error object.
    const JSONValue& error = *status.json().find("error");
    double delay = serverDelay.value_or(0);
    if (const auto afterMs = error.find("retryAfterMs")->integer()) {
        delay = std::max(delay, static_cast<double>(*afterMs) / 1000.0);
    }
    const std::string& code = *error.find("code")->string();
    if (*error.find("recovery")->string() == "restart_upload") {
        return restartAttempt(std::move(updated), delay, code);
    }
    if (*error.find("retryable")->boolean()) {
        return retry(std::move(updated), delay, code);
    }
    return quarantine(std::move(updated), *error.find("code")->string());
}

// MARK: Waiting

UploadEffect UploadQueue::retry(ArtifactManifest next, std::optional<double> serverDelay,
                                std::string reason) {
    const double jitter = jitter_();
    if (!(jitter >= 0 && jitter <= 1) ||
        (serverDelay && !(std::isfinite(*serverDelay) && *serverDelay >= 0))) {
        throw CoreError::invalid("retry timing");
    }
    QueueRecord& queue = next.queue;
    const std::int64_t failures = queue.failures;
    queue.failures = std::min(failures + 1, maximumFailures);
    queue.error = std::move(reason);
    double delay =
        jitter * std::min(baseDelay * std::ldexp(1.0, static_cast<int>(std::min<std::int64_t>(failures, 11))),
                          maximumDelay);
    if (serverDelay && *serverDelay > delay) {
        delay = *serverDelay;
    }
    return scheduleWait(std::move(next), delay);
}

UploadEffect UploadQueue::poll(ArtifactManifest next, std::optional<double> serverDelay) {
    if (serverDelay && !(std::isfinite(*serverDelay) && *serverDelay >= 0)) {
        throw CoreError::invalid("retry timing");
    }
    // The portal is doing its work, not failing: no failure is counted, so
    // the backoff and the stuck rule keep reflecting errors only. No jitter
    // either: the portal's pace is the one to follow.
    next.queue.error.reset();
    return scheduleWait(std::move(next), serverDelay.value_or(baseDelay));
}

UploadEffect UploadQueue::scheduleWait(ArtifactManifest next, double delay) {
    QueueRecord& queue = next.queue;
    const Date retryAt = clock_.wallDate() + delay;
    if (!std::isfinite(retryAt.sinceReferenceDate)) {
        // A date the manifest could not store would poison the artifact.
        throw CoreError::invalid("retry timing");
    }
    queue.retryAt = retryAt;
    queue.resumeStage = queue.stage;
    queue.stage = QueueStage::retryWait;
    queue.leased = false;
    next.state = ArtifactState::retryWait;
    artifact_.commit(next);
    return UploadEffect::retryScheduled;
}

UploadEffect UploadQueue::restartAttempt(ArtifactManifest next, std::optional<double> serverDelay,
                                         std::string reason) {
    if (!next.queue.identity) {
        throw CoreError::invalidState();
    }
    QueueRecord& queue = next.queue;
    queue.replaceAttempt = true;
    queue.stage = QueueStage::creating;
    queue.transfer.reset();
    queue.completedParts.clear();
    queue.observedParts = false;
    queue.signedPart.reset();
    return retry(std::move(next), serverDelay, std::move(reason));
}

UploadEffect UploadQueue::quarantine(ArtifactManifest next, const std::string& message) {
    next.state = ArtifactState::quarantined;
    next.queue.stage = QueueStage::quarantined;
    next.queue.leased = false;
    next.error = message;
    artifact_.commit(next);
    return UploadEffect::blocked;
}

static_assert(UploadQueue::maximumDelay < UploadQueue::baseDelay * 2048,
              "the ceiling is reached by doubling");

} // namespace zoq
