#include "ZoqCore/Wire/Wire.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Wire/WireFields.h"
#include "ZoqCore/Wire/WirePattern.h"
#include "ZoqCore/Wire/WireTimestamp.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace zoq {
namespace {

using F = WireFields;
using Object = JSONValue::Object;

constexpr std::int64_t maxUploadBytes = 21'474'836'480; // 1280 parts of 16 MiB
constexpr std::int64_t partSize = 16'777'216;
constexpr std::int64_t maxParts = 1280;

// Builds the normalised object: each checked key is written back in turn.
class Rebuilt {
public:
    explicit Rebuilt(const Object& input) : input_(input) {}

    const JSONValue& operator[](std::string_view key) const { return input_.find(key)->second; }
    bool has(std::string_view key) const { return input_.contains(key); }
    void set(std::string_view key, JSONValue value) {
        output_.insert_or_assign(std::string(key), std::move(value));
    }
    JSONValue result() && { return JSONValue(std::move(output_)); }

private:
    const Object& input_;
    Object output_;
};

JSONValue uuid(const JSONValue& value) {
    return F::pattern(value, WirePattern::uuid());
}

JSONValue receipt(const JSONValue& value) {
    Rebuilt object(F::closedObject(value, {"sha256", "byteSize", "storedAt"}));
    object.set("sha256", F::pattern(object["sha256"], WirePattern::sha256Hex()));
    object.set("byteSize", F::integer(object["byteSize"], 1, maxUploadBytes));
    object.set("storedAt", F::timestamp(object["storedAt"]));
    return std::move(object).result();
}

JSONValue errorObject(const JSONValue& value) {
    Rebuilt object(
        F::closedObject(value, {"code", "message", "retryable", "recovery", "requestId", "retryAfterMs"}));
    object.set("code", F::enumeration(object["code"], {"invalid_json",
                                                       "invalid_idempotency_key",
                                                       "authentication_required",
                                                       "token_expired",
                                                       "device_revoked",
                                                       "scope_denied",
                                                       "not_found",
                                                       "metadata_conflict",
                                                       "upload_incomplete",
                                                       "complete_manifest_conflict",
                                                       "already_stored",
                                                       "upload_expired",
                                                       "recording_deleted",
                                                       "file_too_large",
                                                       "unsupported_media_type",
                                                       "invalid_metadata",
                                                       "checksum_mismatch",
                                                       "size_mismatch",
                                                       "channel_layout_mismatch",
                                                       "rate_limited",
                                                       "storage_unavailable",
                                                       "temporarily_unavailable",
                                                       "invalid_pairing_code"}));
    object.set("message", F::string(object["message"], 0, F::noMaximum, true));
    object.set("retryable", F::boolean(object["retryable"]));
    object.set("recovery", F::enumeration(object["recovery"], {"retry", "reauthenticate", "restart_upload",
                                                               "correct_request", "none"}));
    object.set("requestId", uuid(object["requestId"]));
    const JSONValue& retryAfter = object["retryAfterMs"];
    object.set("retryAfterMs",
               retryAfter.isNull() ? JSONValue() : F::integer(retryAfter, 0, JSONValue::maxExactInteger));
    return std::move(object).result();
}

JSONValue uploadCreateRequest(const JSONValue& value) {
    Rebuilt object(
        F::closedObject(value,
                        {"schemaVersion", "deviceId", "source", "startedAt", "endedAt", "app", "direction",
                         "sha256", "byteSize", "mediaType", "channelLayout", "partIndex"},
                        {"contactLabel", "captureSessionId", "interrupted"}));
    object.set("schemaVersion", F::integer(object["schemaVersion"], 1, 1));
    object.set("deviceId", uuid(object["deviceId"]));
    object.set("source", F::enumeration(object["source"], {"mac", "android", "upload"}));
    const std::string* startedText = object["startedAt"].string();
    const std::string* endedText = object["endedAt"].string();
    if (startedText == nullptr || endedText == nullptr) {
        throw CoreError::invalid("times");
    }
    const WireTimestamp started(*startedText);
    const WireTimestamp ended(*endedText);
    if (ended < started) {
        throw CoreError::invalid("ended before started");
    }
    object.set("startedAt", JSONValue(started.canonical()));
    object.set("endedAt", JSONValue(ended.canonical()));
    object.set("app", F::string(object["app"], 1, 128, true));
    object.set("direction", F::enumeration(object["direction"], {"in", "out", "unknown"}));
    if (!object.has("contactLabel") || object["contactLabel"].isNull()) {
        object.set("contactLabel", JSONValue());
    } else {
        object.set("contactLabel", F::string(object["contactLabel"], 0, 256, true));
    }
    object.set("sha256", F::pattern(object["sha256"], WirePattern::sha256Hex()));
    object.set("byteSize", F::integer(object["byteSize"], 1, maxUploadBytes));
    object.set("mediaType", F::enumeration(object["mediaType"], {"audio/flac", "audio/wav", "audio/mpeg",
                                                                 "audio/mp4", "audio/ogg", "audio/opus"}));
    object.set("channelLayout",
               F::enumeration(object["channelLayout"], {"mono", "split_local_remote", "stereo_mix"}));
    if (object.has("captureSessionId")) {
        object.set("captureSessionId", uuid(object["captureSessionId"]));
    }
    object.set("partIndex", F::integer(object["partIndex"], 0, JSONValue::maxExactInteger));
    object.set("interrupted",
               object.has("interrupted") ? F::boolean(object["interrupted"]) : JSONValue(false));
    return std::move(object).result();
}

JSONValue uploadTransfer(const JSONValue& value) {
    const JSONValue* mode = value.find("mode");
    if (mode != nullptr && mode->string() != nullptr && *mode->string() == "single") {
        Rebuilt object(F::closedObject(value, {"mode", "method", "url", "headers", "urlExpiresAt"}));
        object.set("mode", object["mode"]);
        object.set("method", F::enumeration(object["method"], {"PUT"}));
        object.set("url", F::url(object["url"]));
        object.set("headers", F::headers(object["headers"]));
        object.set("urlExpiresAt", F::timestamp(object["urlExpiresAt"]));
        return std::move(object).result();
    }
    Rebuilt object(F::closedObject(value, {"mode", "partSizeBytes", "partCount"}));
    object.set("mode", F::enumeration(object["mode"], {"multipart"}));
    object.set("partSizeBytes", F::integer(object["partSizeBytes"], partSize, partSize));
    object.set("partCount", F::integer(object["partCount"], 1, maxParts));
    return std::move(object).result();
}

JSONValue uploadResponse(const JSONValue& value, WireSchema schema) {
    Rebuilt object(F::closedObject(value, {"uploadId", "recordingId", "state", "stored", "error"},
                                   {"attemptId", "expiresAt", "transfer"}));
    object.set("uploadId", uuid(object["uploadId"]));
    object.set("recordingId", uuid(object["recordingId"]));
    JSONValue state;
    switch (schema) {
    case WireSchema::uploadPendingResponse:
        state = F::enumeration(object["state"], {"pending"});
        break;
    case WireSchema::uploadCompleteResponse:
        state = F::enumeration(object["state"], {"verifying"});
        break;
    default:
        state = F::enumeration(object["state"], {"pending", "verifying", "stored", "failed"});
        break;
    }
    const std::string stateText = *state.string();
    object.set("state", std::move(state));
    if (object.has("attemptId")) {
        object.set("attemptId", uuid(object["attemptId"]));
    }
    if (object.has("expiresAt")) {
        object.set("expiresAt", F::timestamp(object["expiresAt"]));
    }
    if (object.has("transfer")) {
        object.set("transfer", uploadTransfer(object["transfer"]));
    }
    const bool pendingNeedsFields =
        schema == WireSchema::uploadCreateResponse || schema == WireSchema::uploadPendingResponse;
    if (stateText == "pending" && pendingNeedsFields &&
        (!object.has("attemptId") || !object.has("expiresAt") || !object.has("transfer"))) {
        throw CoreError::invalid("pending fields");
    }
    if (stateText == "stored") {
        object.set("stored", receipt(object["stored"]));
    } else if (!object["stored"].isNull()) {
        throw CoreError::invalid("null");
    } else {
        object.set("stored", JSONValue());
    }
    if (stateText == "failed") {
        object.set("error", errorObject(object["error"]));
    } else if (!object["error"].isNull()) {
        throw CoreError::invalid("null");
    } else {
        object.set("error", JSONValue());
    }
    return std::move(object).result();
}

JSONValue partNumber(const JSONValue& value) {
    return F::integer(value, 1, maxParts);
}

JSONValue uploadPartsRequest(const JSONValue& value) {
    Rebuilt object(F::closedObject(value, {"attemptId", "partNumbers"}));
    object.set("attemptId", uuid(object["attemptId"]));
    JSONValue::Array numbers;
    std::set<std::int64_t> seen;
    for (const JSONValue& element : F::array(object["partNumbers"], 1, 100)) {
        numbers.push_back(partNumber(element));
    }
    for (const JSONValue& number : numbers) {
        if (!seen.insert(*number.integer()).second) {
            throw CoreError::invalid("duplicate parts");
        }
    }
    object.set("partNumbers", JSONValue(std::move(numbers)));
    return std::move(object).result();
}

JSONValue signedPart(const JSONValue& value) {
    Rebuilt object(F::closedObject(value, {"partNumber", "url", "headers", "urlExpiresAt"}));
    object.set("partNumber", partNumber(object["partNumber"]));
    object.set("url", F::url(object["url"]));
    object.set("headers", F::headers(object["headers"]));
    object.set("urlExpiresAt", F::timestamp(object["urlExpiresAt"]));
    return std::move(object).result();
}

JSONValue observedPart(const JSONValue& value) {
    Rebuilt object(F::closedObject(value, {"partNumber", "byteSize", "etag"}));
    object.set("partNumber", partNumber(object["partNumber"]));
    object.set("byteSize", F::integer(object["byteSize"], 1, maxUploadBytes));
    object.set("etag", F::string(object["etag"], 1, F::noMaximum, true));
    return std::move(object).result();
}

JSONValue completedPart(const JSONValue& value) {
    Rebuilt object(F::closedObject(value, {"partNumber", "etag"}));
    object.set("partNumber", partNumber(object["partNumber"]));
    object.set("etag", F::string(object["etag"], 1, F::noMaximum, true));
    return std::move(object).result();
}

template <typename Rule>
JSONValue partList(const JSONValue& value, std::size_t min, std::size_t max, Rule rule) {
    const JSONValue::Array& input = F::array(value, min, max);
    JSONValue::Array parts;
    parts.reserve(input.size());
    for (const JSONValue& element : input) {
        parts.push_back(rule(element));
    }
    return JSONValue(std::move(parts));
}

JSONValue uploadCompleteRequest(const JSONValue& value) {
    Rebuilt object(F::closedObject(value, {"attemptId"}, {"parts"}));
    object.set("attemptId", uuid(object["attemptId"]));
    if (object.has("parts")) {
        JSONValue parts = partList(object["parts"], 1, maxParts, completedPart);
        const JSONValue::Array& list = *parts.array();
        for (std::size_t i = 1; i < list.size(); ++i) {
            if (*list[i].find("partNumber")->integer() <= *list[i - 1].find("partNumber")->integer()) {
                throw CoreError::invalid("ordered parts");
            }
        }
        object.set("parts", std::move(parts));
    }
    return std::move(object).result();
}

JSONValue pairing(const JSONValue& value, std::initializer_list<std::string_view> keys) {
    Rebuilt object(F::closedObject(value, keys));
    if (object.has("platform")) {
        object.set("platform", F::enumeration(object["platform"], {"mac", "android"}));
    }
    if (object.has("name")) {
        object.set("name", F::string(object["name"], 1, F::noMaximum, true));
    }
    if (object.has("code")) {
        std::string code = *F::pattern(object["code"], WirePattern::pairingCode()).string();
        std::erase(code, '-');
        std::transform(code.begin(), code.end(), code.begin(),
                       [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
        object.set("code", JSONValue(std::move(code)));
    }
    for (const std::string_view key : {"pairingId", "installationId"}) {
        if (object.has(key)) {
            object.set(key, uuid(object[key]));
        }
    }
    if (object.has("expiresAt")) {
        object.set("expiresAt", F::timestamp(object["expiresAt"]));
    }
    if (object.has("redemptionNonce")) {
        object.set("redemptionNonce", F::pattern(object["redemptionNonce"], WirePattern::redemptionNonce()));
    }
    return std::move(object).result();
}

JSONValue deviceCredentialsResponse(const JSONValue& value) {
    Rebuilt object(F::closedObject(
        value, {"deviceId", "accessToken", "accessExpiresAt", "refreshToken", "refreshExpiresAt", "scopes"}));
    object.set("deviceId", uuid(object["deviceId"]));
    object.set("accessToken", F::token(object["accessToken"]));
    object.set("accessExpiresAt", F::timestamp(object["accessExpiresAt"]));
    object.set("refreshToken", F::token(object["refreshToken"]));
    object.set("refreshExpiresAt", F::timestamp(object["refreshExpiresAt"]));
    JSONValue::Array scopes;
    for (const JSONValue& scope : F::array(object["scopes"], 1, 3)) {
        JSONValue checked = F::enumeration(scope, {"uploads:create", "uploads:manage-own", "devices:self"});
        if (std::find(scopes.begin(), scopes.end(), checked) != scopes.end()) {
            throw CoreError::invalid("duplicate scopes");
        }
        scopes.push_back(std::move(checked));
    }
    object.set("scopes", JSONValue(std::move(scopes)));
    return std::move(object).result();
}

} // namespace

JSONValue Wire::validate(const JSONValue& value, WireSchema schema) {
    switch (schema) {
    case WireSchema::uploadCreateRequest:
        return uploadCreateRequest(value);
    case WireSchema::uploadCreateResponse:
    case WireSchema::uploadPendingResponse:
    case WireSchema::uploadStatusResponse:
    case WireSchema::uploadCompleteResponse:
        return uploadResponse(value, schema);
    case WireSchema::uploadTransfer:
        return uploadTransfer(value);
    case WireSchema::uploadPartsRequest:
        return uploadPartsRequest(value);
    case WireSchema::uploadPartsResponse: {
        Rebuilt object(F::closedObject(value, {"parts"}));
        object.set("parts", partList(object["parts"], 1, 100, signedPart));
        return std::move(object).result();
    }
    case WireSchema::uploadPartsQuery: {
        Rebuilt object(F::closedObject(value, {"attemptId"}));
        object.set("attemptId", uuid(object["attemptId"]));
        return std::move(object).result();
    }
    case WireSchema::uploadObservedPartsResponse: {
        Rebuilt object(F::closedObject(value, {"parts"}));
        object.set("parts", partList(object["parts"], 0, maxParts, observedPart));
        return std::move(object).result();
    }
    case WireSchema::uploadCompleteRequest:
        return uploadCompleteRequest(value);
    case WireSchema::uploadAttemptsRequest:
        F::closedObject(value, {});
        return JSONValue(JSONValue::Object{});
    case WireSchema::pairingCreateRequest:
        return pairing(value, {"platform", "name"});
    case WireSchema::pairingCreateResponse:
        return pairing(value, {"pairingId", "code", "expiresAt"});
    case WireSchema::pairingRedeemRequest:
        return pairing(value, {"code", "platform", "name", "installationId", "redemptionNonce"});
    case WireSchema::deviceCredentialsResponse:
        return deviceCredentialsResponse(value);
    case WireSchema::deviceRefreshRequest: {
        Rebuilt object(F::closedObject(value, {"refreshToken", "requestId"}));
        object.set("refreshToken", F::token(object["refreshToken"]));
        object.set("requestId", uuid(object["requestId"]));
        return std::move(object).result();
    }
    case WireSchema::errorEnvelope: {
        Rebuilt object(F::closedObject(value, {"error"}));
        object.set("error", errorObject(object["error"]));
        return std::move(object).result();
    }
    case WireSchema::idempotencyKey:
        return F::pattern(value, WirePattern::idempotencyKey());
    }
    throw CoreError::invalid("schema");
}

} // namespace zoq
