#include "ZoqCore/Spool/ManifestCodec.h"

#include "ZoqCore/Support/CoreError.h"

#include <cmath>
#include <initializer_list>
#include <string_view>

namespace zoq {
namespace {

using Object = JSONValue::Object;

[[noreturn]] void fail() {
    throw CoreError::corrupt("manifest decoding");
}

/// Reads one closed object: keys outside `required` and `optional` are refused.
class Reader {
public:
    Reader(const JSONValue& value, std::initializer_list<std::string_view> required,
           std::initializer_list<std::string_view> optional = {}) {
        object_ = value.object();
        if (object_ == nullptr) {
            fail();
        }
        for (const std::string_view key : required) {
            if (!object_->contains(key)) {
                fail();
            }
        }
        for (const auto& [key, member] : *object_) {
            bool known = false;
            for (const auto list : {required, optional}) {
                for (const std::string_view name : list) {
                    known = known || name == key;
                }
            }
            if (!known) {
                fail();
            }
        }
    }

    const JSONValue* find(std::string_view key) const {
        return object_->find(key) == object_->end() ? nullptr : &object_->find(key)->second;
    }
    const JSONValue& operator[](std::string_view key) const { return object_->find(key)->second; }

    std::string text(std::string_view key) const {
        const std::string* value = (*this)[key].string();
        if (value == nullptr) {
            fail();
        }
        return *value;
    }
    std::int64_t integer(std::string_view key) const {
        const auto value = (*this)[key].integer();
        if (!value) {
            fail();
        }
        return *value;
    }
    bool boolean(std::string_view key) const {
        const auto value = (*this)[key].boolean();
        if (!value) {
            fail();
        }
        return *value;
    }
    Date date(std::string_view key) const {
        const auto value = (*this)[key].number();
        if (!value) {
            fail();
        }
        return Date{*value};
    }
    std::optional<std::string> optionalText(std::string_view key) const {
        return find(key) != nullptr ? std::optional(text(key)) : std::nullopt;
    }
    std::optional<Date> optionalDate(std::string_view key) const {
        return find(key) != nullptr ? std::optional(date(key)) : std::nullopt;
    }

private:
    const Object* object_ = nullptr;
};

ArtifactState stateOf(const std::string& raw) {
    const auto state = artifactStateNamed(raw);
    if (!state) {
        fail();
    }
    return *state;
}

QueueStage stageOf(const std::string& raw) {
    const auto stage = queueStageNamed(raw);
    if (!stage) {
        fail();
    }
    return *stage;
}

JSONValue encodeIdentity(const UploadIdentity& identity) {
    Object object{{"uploadId", identity.uploadId}, {"recordingId", identity.recordingId}};
    if (identity.attemptId) {
        object.emplace("attemptId", *identity.attemptId);
    }
    return object;
}

UploadIdentity decodeIdentity(const JSONValue& value) {
    const Reader reader(value, {"uploadId", "recordingId"}, {"attemptId"});
    return {reader.text("uploadId"), reader.text("recordingId"), reader.optionalText("attemptId")};
}

JSONValue encodeQueue(const QueueRecord& queue) {
    Object object{
        {"stage", std::string(rawValue(queue.stage))},
        {"resumeStage", std::string(rawValue(queue.resumeStage))},
        {"generation", queue.generation},
        {"leased", queue.leased},
        {"failures", queue.failures},
        {"completedParts", JSONValue::Array(queue.completedParts)},
        {"observedParts", queue.observedParts},
        {"replaceAttempt", queue.replaceAttempt},
    };
    if (queue.retryAt) {
        object.emplace("retryAt", queue.retryAt->sinceReferenceDate);
    }
    if (queue.identity) {
        object.emplace("identity", encodeIdentity(*queue.identity));
    }
    if (queue.transfer) {
        object.emplace("transfer", *queue.transfer);
    }
    if (queue.signedPart) {
        object.emplace("signedPart", *queue.signedPart);
    }
    if (queue.error) {
        object.emplace("error", *queue.error);
    }
    return object;
}

QueueRecord decodeQueue(const JSONValue& value) {
    const Reader reader(value,
                        {"stage", "resumeStage", "generation", "leased", "failures", "completedParts",
                         "observedParts", "replaceAttempt"},
                        {"retryAt", "identity", "transfer", "signedPart", "error"});
    QueueRecord queue;
    queue.stage = stageOf(reader.text("stage"));
    queue.resumeStage = stageOf(reader.text("resumeStage"));
    queue.generation = reader.integer("generation");
    queue.leased = reader.boolean("leased");
    queue.failures = reader.integer("failures");
    queue.retryAt = reader.optionalDate("retryAt");
    if (const JSONValue* identity = reader.find("identity")) {
        queue.identity = decodeIdentity(*identity);
    }
    if (const JSONValue* transfer = reader.find("transfer")) {
        queue.transfer = *transfer;
    }
    const JSONValue::Array* parts = reader["completedParts"].array();
    if (parts == nullptr) {
        fail();
    }
    queue.completedParts = *parts;
    queue.observedParts = reader.boolean("observedParts");
    if (const JSONValue* signedPart = reader.find("signedPart")) {
        queue.signedPart = *signedPart;
    }
    queue.replaceAttempt = reader.boolean("replaceAttempt");
    queue.error = reader.optionalText("error");
    return queue;
}

} // namespace

JSONValue ManifestCodec::encode(const CaptureSegment& segment) {
    return Object{
        {"captureSessionId", segment.captureSessionId},
        {"partIndex", segment.partIndex},
        {"app", segment.app},
        {"startedAt", segment.startedAt.sinceReferenceDate},
        {"firstFrame", segment.firstFrame},
    };
}

CaptureSegment ManifestCodec::decodeCaptureSegment(const JSONValue& value) {
    const Reader reader(value, {"captureSessionId", "partIndex", "app", "startedAt", "firstFrame"});
    return {reader.text("captureSessionId"), reader.integer("partIndex"), reader.text("app"),
            reader.date("startedAt"), reader.integer("firstFrame")};
}

JSONValue ManifestCodec::encode(const ArtifactManifest& manifest) {
    Object object{
        {"version", manifest.version},
        {"capture", encode(manifest.capture)},
        {"deviceId", manifest.deviceId},
        {"sampleRate", manifest.sampleRate},
        {"channels", manifest.channels},
        {"bitsPerSample", manifest.bitsPerSample},
        {"wavPath", manifest.wavPath},
        {"flacPath", manifest.flacPath},
        {"state", std::string(rawValue(manifest.state))},
        {"durableFrames", manifest.durableFrames},
        {"durablePCMHash", manifest.durablePCMHash},
        {"interrupted", manifest.interrupted},
        {"queue", encodeQueue(manifest.queue)},
    };
    if (manifest.endedAt) {
        object.emplace("endedAt", manifest.endedAt->sinceReferenceDate);
    }
    if (manifest.metadata) {
        object.emplace("metadata", manifest.metadata->json());
    }
    if (manifest.receipt) {
        object.emplace("receipt", manifest.receipt->json());
    }
    if (manifest.error) {
        object.emplace("error", *manifest.error);
    }
    return object;
}

ArtifactManifest ManifestCodec::decodeManifest(const JSONValue& value) {
    const Reader reader(value,
                        {"version", "capture", "deviceId", "sampleRate", "channels", "bitsPerSample",
                         "wavPath", "flacPath", "state", "durableFrames", "durablePCMHash", "interrupted",
                         "queue"},
                        {"endedAt", "metadata", "receipt", "error"});
    ArtifactManifest manifest;
    manifest.version = reader.integer("version");
    manifest.capture = decodeCaptureSegment(reader["capture"]);
    manifest.deviceId = reader.text("deviceId");
    manifest.sampleRate = reader.integer("sampleRate");
    manifest.channels = reader.integer("channels");
    manifest.bitsPerSample = reader.integer("bitsPerSample");
    manifest.wavPath = reader.text("wavPath");
    manifest.flacPath = reader.text("flacPath");
    manifest.state = stateOf(reader.text("state"));
    manifest.durableFrames = reader.integer("durableFrames");
    manifest.durablePCMHash = reader.text("durablePCMHash");
    manifest.interrupted = reader.boolean("interrupted");
    manifest.endedAt = reader.optionalDate("endedAt");
    if (const JSONValue* metadata = reader.find("metadata")) {
        manifest.metadata = UploadCreateRequest::fromJSON(*metadata);
    }
    if (const JSONValue* receipt = reader.find("receipt")) {
        manifest.receipt = UploadStatusResponse::fromJSON(*receipt);
    }
    manifest.queue = decodeQueue(reader["queue"]);
    manifest.error = reader.optionalText("error");
    return manifest;
}

} // namespace zoq
