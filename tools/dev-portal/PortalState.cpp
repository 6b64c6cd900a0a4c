#include "tools/dev-portal/PortalState.h"

#include "tools/dev-portal/PortalError.h"

namespace zoq::portal {

namespace {

using Object = JSONValue::Object;
using Array = JSONValue::Array;

/// Reads one stored object; every missing or mistyped field is a `PortalError`.
class Reader {
public:
    Reader(const JSONValue& value, std::string what) : what_(std::move(what)) {
        object_ = value.object();
        if (object_ == nullptr) {
            fail("not an object");
        }
    }

    const JSONValue& any(std::string_view key) const {
        const auto found = object_->find(key);
        if (found == object_->end()) {
            fail("missing " + std::string(key));
        }
        return found->second;
    }
    bool has(std::string_view key) const { return object_->find(key) != object_->end(); }
    std::string text(std::string_view key) const {
        const auto* value = any(key).string();
        if (value == nullptr) {
            fail(std::string(key) + " is not a string");
        }
        return *value;
    }
    std::int64_t integer(std::string_view key) const {
        const auto value = any(key).integer();
        if (!value) {
            fail(std::string(key) + " is not an integer");
        }
        return *value;
    }
    Date date(std::string_view key) const {
        const auto value = any(key).number();
        if (!value) {
            fail(std::string(key) + " is not a number");
        }
        return Date{*value};
    }
    bool flag(std::string_view key) const {
        const auto value = any(key).boolean();
        if (!value) {
            fail(std::string(key) + " is not a Bool");
        }
        return *value;
    }
    const Object& object(std::string_view key) const {
        const auto* value = any(key).object();
        if (value == nullptr) {
            fail(std::string(key) + " is not an object");
        }
        return *value;
    }
    const Array& array(std::string_view key) const {
        const auto* value = any(key).array();
        if (value == nullptr) {
            fail(std::string(key) + " is not an array");
        }
        return *value;
    }

private:
    [[noreturn]] void fail(const std::string& problem) const {
        throw PortalError("state file: " + what_ + ": " + problem);
    }

    std::string what_;
    const Object* object_ = nullptr;
};

JSONValue deviceJSON(const PortalDevice& device) {
    Array retired(device.retiredRefreshTokens.begin(), device.retiredRefreshTokens.end());
    return Object{
        {"accessExpiresAt", device.accessExpiresAt.sinceReferenceDate},
        {"accessToken", device.accessToken},
        {"accessTokenUsed", device.accessTokenUsed},
        {"deviceId", device.deviceId},
        {"firstUseRefused", device.firstUseRefused},
        {"installationId", device.installationId},
        {"refreshExpiresAt", device.refreshExpiresAt.sinceReferenceDate},
        {"refreshToken", device.refreshToken},
        {"retiredRefreshTokens", std::move(retired)},
        {"spareFirstUse", device.spareFirstUse},
    };
}

PortalDevice deviceFrom(const JSONValue& value) {
    const Reader read(value, "device");
    PortalDevice device;
    device.deviceId = read.text("deviceId");
    device.installationId = read.text("installationId");
    device.accessToken = read.text("accessToken");
    device.accessExpiresAt = read.date("accessExpiresAt");
    device.refreshToken = read.text("refreshToken");
    device.refreshExpiresAt = read.date("refreshExpiresAt");
    for (const auto& token : read.array("retiredRefreshTokens")) {
        if (token.string() == nullptr) {
            throw PortalError("state file: device: retired token is not a string");
        }
        device.retiredRefreshTokens.push_back(*token.string());
    }
    device.accessTokenUsed = read.flag("accessTokenUsed");
    device.firstUseRefused = read.flag("firstUseRefused");
    device.spareFirstUse = read.flag("spareFirstUse");
    return device;
}

JSONValue partJSON(const PortalPart& part) {
    return Object{{"byteSize", part.byteSize},
                  {"etag", part.etag},
                  {"partNumber", part.partNumber},
                  {"sha256", part.sha256}};
}

PortalPart partFrom(const JSONValue& value) {
    const Reader read(value, "part");
    return {read.integer("partNumber"), read.integer("byteSize"), read.text("sha256"), read.text("etag")};
}

JSONValue uploadJSON(const PortalUpload& upload) {
    Array parts;
    for (const auto& [number, part] : upload.parts) {
        parts.push_back(partJSON(part));
    }
    Array withheld(upload.withheldParts.begin(), upload.withheldParts.end());
    Object object{
        {"attemptExpiresAt", upload.attemptExpiresAt.sinceReferenceDate},
        {"attemptId", upload.attemptId},
        {"attempts", upload.attempts},
        {"deviceId", upload.deviceId},
        {"expiredOnce", upload.expiredOnce},
        {"idempotencyKey", upload.idempotencyKey},
        {"metadata", upload.metadata},
        {"multipart", upload.multipart},
        {"partCount", upload.partCount},
        {"parts", std::move(parts)},
        {"pollsLeft", upload.pollsLeft},
        {"recordingId", upload.recordingId},
        {"state", upload.state},
        {"storedCount", upload.storedCount},
        {"uploadId", upload.uploadId},
        {"withheldParts", std::move(withheld)},
    };
    if (upload.receivedSHA256) {
        object.emplace("receivedSHA256", *upload.receivedSHA256);
    }
    if (upload.receivedByteSize) {
        object.emplace("receivedByteSize", *upload.receivedByteSize);
    }
    if (upload.storedAt) {
        object.emplace("storedAt", upload.storedAt->sinceReferenceDate);
    }
    return object;
}

PortalUpload uploadFrom(const JSONValue& value) {
    const Reader read(value, "upload");
    PortalUpload upload;
    upload.uploadId = read.text("uploadId");
    upload.recordingId = read.text("recordingId");
    upload.deviceId = read.text("deviceId");
    upload.idempotencyKey = read.text("idempotencyKey");
    upload.metadata = read.any("metadata");
    upload.state = read.text("state");
    upload.attemptId = read.text("attemptId");
    upload.attemptExpiresAt = read.date("attemptExpiresAt");
    upload.multipart = read.flag("multipart");
    upload.partCount = read.integer("partCount");
    for (const auto& part : read.array("parts")) {
        const PortalPart parsed = partFrom(part);
        upload.parts[parsed.partNumber] = parsed;
    }
    upload.attempts = read.integer("attempts");
    upload.pollsLeft = read.integer("pollsLeft");
    if (read.has("receivedSHA256")) {
        upload.receivedSHA256 = read.text("receivedSHA256");
    }
    if (read.has("receivedByteSize")) {
        upload.receivedByteSize = read.integer("receivedByteSize");
    }
    if (read.has("storedAt")) {
        upload.storedAt = read.date("storedAt");
    }
    upload.storedCount = read.integer("storedCount");
    upload.expiredOnce = read.flag("expiredOnce");
    for (const auto& number : read.array("withheldParts")) {
        if (!number.integer()) {
            throw PortalError("state file: upload: withheld part is not an integer");
        }
        upload.withheldParts.insert(*number.integer());
    }
    return upload;
}

} // namespace

JSONValue PortalState::json() const {
    Object deviceObjects;
    for (const auto& [id, device] : devices) {
        deviceObjects.emplace(id, deviceJSON(device));
    }
    Object pairingObjects(pairings.begin(), pairings.end());
    Object refreshObjects;
    for (const auto& [id, answer] : refreshes) {
        refreshObjects.emplace(
            id, Object{{"credentials", answer.credentials}, {"refreshToken", answer.refreshToken}});
    }
    Object uploadObjects;
    for (const auto& [id, upload] : uploads) {
        uploadObjects.emplace(id, uploadJSON(upload));
    }
    Object grantObjects;
    for (const auto& [token, grant] : grants) {
        grantObjects.emplace(token, Object{{"attemptId", grant.attemptId},
                                           {"expiresAt", grant.expiresAt.sinceReferenceDate},
                                           {"partNumber", grant.partNumber},
                                           {"uploadId", grant.uploadId}});
    }
    return Object{{"devices", std::move(deviceObjects)},   {"grants", std::move(grantObjects)},
                  {"pairings", std::move(pairingObjects)}, {"refreshes", std::move(refreshObjects)},
                  {"uploads", std::move(uploadObjects)},   {"version", 1}};
}

PortalState PortalState::fromJSON(const JSONValue& value) {
    const Reader read(value, "state");
    if (read.integer("version") != 1) {
        throw PortalError("state file: unknown version");
    }
    PortalState state;
    for (const auto& [id, device] : read.object("devices")) {
        state.devices.emplace(id, deviceFrom(device));
    }
    for (const auto& [nonce, credentials] : read.object("pairings")) {
        state.pairings.emplace(nonce, credentials);
    }
    for (const auto& [id, answer] : read.object("refreshes")) {
        const Reader entry(answer, "refresh");
        state.refreshes.emplace(id, AnsweredRefresh{entry.text("refreshToken"), entry.any("credentials")});
    }
    for (const auto& [id, upload] : read.object("uploads")) {
        state.uploads.emplace(id, uploadFrom(upload));
    }
    for (const auto& [token, grant] : read.object("grants")) {
        const Reader entry(grant, "grant");
        state.grants.emplace(token, StorageGrant{entry.text("uploadId"), entry.text("attemptId"),
                                                 entry.integer("partNumber"), entry.date("expiresAt")});
    }
    return state;
}

} // namespace zoq::portal
