#include "tools/dev-portal/DevPortal.h"

#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Support/SHA256.h"
#include "ZoqCore/Wire/UploadCreateRequest.h"
#include "ZoqCore/Wire/Wire.h"
#include "ZoqCore/Wire/WireDocument.h"
#include "ZoqShell/Transport/CurlWireTransport.h"
#include "ZoqShell/Transport/TransportUnavailable.h"
#include "tests/TestSupport/TempDirectory.h"

#include <fstream>
#include <gtest/gtest.h>
#include <memory>

namespace zoq {
namespace {

using portal::DevPortal;
using portal::PortalOptions;
using Object = JSONValue::Object;

constexpr std::int64_t partSize = PortalOptions::partSize;

/// A file of `size` bytes of a position-dependent pattern, and its hash.
std::string writePatternFile(const std::filesystem::path& path, std::int64_t size, char salt = 0) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(((i * 2654435761u) >> 13) + static_cast<unsigned>(salt));
    }
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return SHA256::hex(bytes);
}

JSONValue json(const TransportResponse& response) {
    return JSONValue::parse(response.body);
}

std::string errorCode(const TransportResponse& response) {
    return *WireDocument(WireSchema::errorEnvelope, response.body)
                .value()
                .find("error")
                ->find("code")
                ->string();
}

std::string text(const JSONValue& value, std::string_view key) {
    return *value.find(key)->string();
}

class DevPortalTest : public ::testing::Test {
protected:
    void start(PortalOptions options = {}) {
        portal.reset();
        options.dataDirectory = directory / "portal";
        options.pairingCode = "ABCD-EFGH-JKMN";
        portal = std::make_unique<DevPortal>(options, clock);
    }

    void faults(const std::string& body) {
        ASSERT_EQ(call("POST", "/dev/faults", Bytes(bytesOf(body))).status, 200);
    }

    TransportResponse call(const std::string& method, const std::string& path, RequestBody body = {},
                           std::map<std::string, std::string> headers = {}) {
        if (!accessToken.empty()) {
            headers.emplace("authorization", "Bearer " + accessToken);
        }
        if (body.bytes() != nullptr) {
            headers.emplace("content-type", "application/json");
        }
        return transport.execute({method, portal->url() + path, std::move(headers), std::move(body)});
    }

    TransportResponse post(const std::string& path, const JSONValue& value,
                           std::map<std::string, std::string> headers = {}) {
        return call("POST", path, value.canonicalBytes(), std::move(headers));
    }

    JSONValue redeem(const std::string& code) {
        // A fresh redemption nonce each time: 43 base64url characters.
        const std::string nonce = std::string(39, 'A') + std::to_string(100 + ++redemptions) + "E";
        const JSONValue request = Object{
            {"code", code},      {"installationId", makeUUID()}, {"name", "Test Desktop"},
            {"platform", "mac"}, {"redemptionNonce", nonce},
        };
        return request;
    }

    /// Pairs and keeps the new access token for later calls.
    JSONValue pairDevice() {
        const TransportResponse reply = post("/api/v1/devices/pair", redeem("abcd-efgh-jkmn"));
        EXPECT_EQ(reply.status, 200);
        const JSONValue credentials = WireDocument(WireSchema::deviceCredentialsResponse, reply.body).value();
        accessToken = text(credentials, "accessToken");
        deviceId = text(credentials, "deviceId");
        return credentials;
    }

    TransportResponse refresh(const std::string& refreshToken, const std::string& requestId) {
        return post("/api/v1/devices/token/refresh",
                    Object{{"refreshToken", refreshToken}, {"requestId", requestId}});
    }

    UploadCreateRequest metadata(const std::string& sha256, std::int64_t byteSize,
                                 const std::string& app = "Call") {
        return UploadCreateRequest::fromJSON(Object{
            {"app", app},
            {"byteSize", byteSize},
            {"channelLayout", "split_local_remote"},
            {"deviceId", deviceId},
            {"direction", "unknown"},
            {"endedAt", "2026-12-07T09:30:00Z"},
            {"mediaType", "audio/flac"},
            {"partIndex", 0},
            {"schemaVersion", 1},
            {"sha256", sha256},
            {"source", "mac"},
            {"startedAt", "2026-12-07T09:00:00Z"},
        });
    }

    TransportResponse create(const UploadCreateRequest& request) {
        return post("/api/v1/uploads", request.json(), {{"idempotency-key", request.idempotencyKey()}});
    }

    /// Creates an upload of the whole file and returns the pending reply.
    JSONValue createPending(const std::filesystem::path& file, const std::string& sha256) {
        const TransportResponse reply = create(metadata(sha256, static_cast<std::int64_t>(file_size(file))));
        EXPECT_EQ(reply.status, 201) << textOf(reply.body);
        return WireDocument(WireSchema::uploadPendingResponse, reply.body).value();
    }

    /// PUTs `count` bytes of `file` at `offset` to a presigned target.
    TransportResponse put(const JSONValue& target, const std::filesystem::path& file, std::int64_t offset,
                          std::int64_t count) {
        std::map<std::string, std::string> headers;
        for (const auto& [name, value] : *target.find("headers")->object()) {
            headers.emplace(name, *value.string());
        }
        return transport.execute({"PUT", text(target, "url"), headers, FileRange(file, offset, count)});
    }

    JSONValue sign(const JSONValue& pending, std::int64_t number) {
        const TransportResponse reply = post(
            "/api/v1/uploads/" + text(pending, "uploadId") + "/parts",
            Object{{"attemptId", text(pending, "attemptId")}, {"partNumbers", JSONValue::Array{number}}});
        EXPECT_EQ(reply.status, 200);
        return WireDocument(WireSchema::uploadPartsResponse, reply.body)
            .value()
            .find("parts")
            ->array()
            ->at(0);
    }

    TransportResponse complete(const JSONValue& pending,
                               std::optional<JSONValue::Array> parts = std::nullopt) {
        Object body{{"attemptId", text(pending, "attemptId")}};
        if (parts) {
            body.emplace("parts", *parts);
        }
        return post("/api/v1/uploads/" + text(pending, "uploadId") + "/complete", body);
    }

    TransportResponse status(const JSONValue& pending) {
        return call("GET", "/api/v1/uploads/" + text(pending, "uploadId"));
    }

    /// The one upload the admin endpoint lists.
    JSONValue onlyUpload() {
        const JSONValue listed = json(call("GET", "/dev/uploads"));
        EXPECT_EQ(listed.find("uploads")->array()->size(), 1u);
        return listed.find("uploads")->array()->at(0);
    }

    test::TempDirectory directory;
    ManualClock clock{1000, Date::fromUnix(1'796'000'000)};
    std::unique_ptr<DevPortal> portal;
    // Destroyed before the portal, so its idle connections close first.
    CurlWireTransport transport;
    std::string accessToken;
    std::string deviceId;
    int redemptions = 0;
};

TEST_F(DevPortalTest, PairsAndRotatesCredentialsWithIdempotentRequestIds) {
    start();
    EXPECT_EQ(portal->pairingCode(), "ABCD-EFGH-JKMN");
    const TransportResponse wrong = post("/api/v1/devices/pair", redeem("ABCD-EFGH-JKMP"));
    EXPECT_EQ(wrong.status, 404);
    EXPECT_EQ(errorCode(wrong), "invalid_pairing_code");
    EXPECT_EQ(post("/api/v1/devices/pair", Object{{"code", "ABCDEFGHJKMN"}}).status, 400);

    const JSONValue first = pairDevice();
    const std::string unknownUpload = "/api/v1/uploads/" + makeUUID();
    EXPECT_EQ(errorCode(call("GET", unknownUpload)), "not_found");

    const std::string requestId = makeUUID();
    const TransportResponse rotated = refresh(text(first, "refreshToken"), requestId);
    ASSERT_EQ(rotated.status, 200);
    const JSONValue second = WireDocument(WireSchema::deviceCredentialsResponse, rotated.body).value();
    EXPECT_EQ(text(second, "deviceId"), text(first, "deviceId"));
    EXPECT_NE(text(second, "accessToken"), text(first, "accessToken"));
    EXPECT_NE(text(second, "refreshToken"), text(first, "refreshToken"));
    EXPECT_EQ(refresh(text(first, "refreshToken"), requestId).body, rotated.body) << "a resent request id";

    const TransportResponse stale = refresh(text(first, "refreshToken"), makeUUID());
    EXPECT_EQ(stale.status, 401);
    EXPECT_EQ(errorCode(stale), "token_expired");
    EXPECT_EQ(errorCode(refresh("never-issued", makeUUID())), "authentication_required");

    EXPECT_EQ(call("GET", unknownUpload).status, 401) << "the replaced access token";
    accessToken = text(second, "accessToken");
    EXPECT_EQ(call("GET", unknownUpload).status, 404);
    clock.advance(3601);
    EXPECT_EQ(errorCode(call("GET", unknownUpload)), "token_expired");
    accessToken.clear();
    EXPECT_EQ(errorCode(call("GET", unknownUpload)), "authentication_required");
}

TEST_F(DevPortalTest, SingleUploadIsIdempotentSurvivesARestartAndIsStoredOnce) {
    start();
    pairDevice();
    const auto file = directory / "audio.flac";
    const std::string sha = writePatternFile(file, 100'000);
    const JSONValue pending = createPending(file, sha);
    EXPECT_EQ(text(*pending.find("transfer"), "mode"), "single");
    const JSONValue again = createPending(file, sha);
    EXPECT_EQ(text(again, "uploadId"), text(pending, "uploadId"))
        << "the same idempotency key, the same upload";
    EXPECT_EQ(text(again, "attemptId"), text(pending, "attemptId"));
    const TransportResponse conflict = create(metadata(sha, 100'000, "Other"));
    EXPECT_EQ(conflict.status, 409);
    EXPECT_EQ(errorCode(conflict), "metadata_conflict");

    // A portal restarted on the same directory and port honours what it issued.
    PortalOptions options;
    options.port = portal->port();
    start(options);
    const TransportResponse sent = put(*pending.find("transfer"), file, 0, 100'000);
    ASSERT_EQ(sent.status, 200) << textOf(sent.body);
    EXPECT_TRUE(sent.header("etag").has_value());
    const TransportResponse completed = complete(pending);
    ASSERT_EQ(completed.status, 200) << textOf(completed.body);
    EXPECT_EQ(text(WireDocument(WireSchema::uploadCompleteResponse, completed.body).value(), "state"),
              "verifying");

    for (int poll = 0; poll < 2; ++poll) {
        const TransportResponse verifying = status(pending);
        EXPECT_EQ(verifying.status, 202);
        WireDocument(WireSchema::uploadCompleteResponse, verifying.body);
    }
    const TransportResponse stored = status(pending);
    ASSERT_EQ(stored.status, 200);
    const JSONValue receipt =
        *WireDocument(WireSchema::uploadStatusResponse, stored.body).value().find("stored");
    EXPECT_EQ(text(receipt, "sha256"), sha);
    EXPECT_EQ(receipt.find("byteSize")->integer(), 100'000);

    EXPECT_EQ(create(metadata(sha, 100'000)).status, 200) << "creating a stored recording again";
    EXPECT_EQ(status(pending).status, 200);
    const JSONValue listed = onlyUpload();
    EXPECT_EQ(text(listed, "state"), "stored");
    EXPECT_EQ(text(listed, "receivedSHA256"), sha);
    EXPECT_EQ(listed.find("storedCount")->integer(), 1);
}

TEST_F(DevPortalTest, MultipartUploadOfThreePartsAssemblesTheExactBytes) {
    PortalOptions options;
    options.verifyingPolls = 0;
    start(options);
    pairDevice();
    const auto file = directory / "audio.flac";
    const std::int64_t size = 2 * partSize + 12'345;
    const std::string sha = writePatternFile(file, size);
    const JSONValue pending = createPending(file, sha);
    EXPECT_EQ(pending.find("transfer")->find("partCount")->integer(), 3);

    const std::string partsPath =
        "/api/v1/uploads/" + text(pending, "uploadId") + "/parts?attemptId=" + text(pending, "attemptId");
    EXPECT_TRUE(json(call("GET", partsPath)).find("parts")->array()->empty());
    JSONValue::Array completed;
    for (std::int64_t number = 3; number >= 1; --number) {
        const std::int64_t offset = (number - 1) * partSize;
        const TransportResponse sent =
            put(sign(pending, number), file, offset, std::min(partSize, size - offset));
        ASSERT_EQ(sent.status, 200);
        completed.insert(completed.begin(), Object{{"etag", *sent.header("etag")}, {"partNumber", number}});
    }
    const JSONValue observed =
        WireDocument(WireSchema::uploadObservedPartsResponse, call("GET", partsPath).body).value();
    ASSERT_EQ(observed.find("parts")->array()->size(), 3u);
    EXPECT_EQ(observed.find("parts")->array()->at(2).find("byteSize")->integer(), 12'345);

    EXPECT_EQ(errorCode(complete(pending, JSONValue::Array(completed.begin(), completed.begin() + 2))),
              "complete_manifest_conflict");
    ASSERT_EQ(complete(pending, completed).status, 200);
    const JSONValue stored = WireDocument(WireSchema::uploadStatusResponse, status(pending).body).value();
    EXPECT_EQ(text(*stored.find("stored"), "sha256"), sha);
    EXPECT_EQ(stored.find("stored")->find("byteSize")->integer(), size);
    std::ifstream object(directory / "portal" / "objects" / text(pending, "uploadId") / "object",
                         std::ios::binary);
    EXPECT_EQ(SHA256::hex(std::string(std::istreambuf_iterator<char>(object), {})), sha);
}

TEST_F(DevPortalTest, RefusesBytesAndRequestsThatDoNotMatchTheUpload) {
    start();
    pairDevice();
    const auto file = directory / "audio.flac";
    const auto other = directory / "other.flac";
    const std::string sha = writePatternFile(file, 50'000);
    writePatternFile(other, 50'000, 1);
    const UploadCreateRequest request = metadata(sha, 50'000);

    EXPECT_EQ(
        errorCode(post("/api/v1/uploads", request.json(), {{"idempotency-key", sha + ":" + makeUUID()}})),
        "invalid_idempotency_key");
    EXPECT_EQ(errorCode(post("/api/v1/uploads", Object{{"sha256", sha}},
                             {{"idempotency-key", request.idempotencyKey()}})),
              "invalid_metadata");
    EXPECT_EQ(errorCode(call("POST", "/api/v1/uploads", Bytes(bytesOf("{")))), "invalid_json");

    const JSONValue pending = createPending(file, sha);
    const JSONValue& target = *pending.find("transfer");
    EXPECT_EQ(errorCode(complete(pending)), "upload_incomplete");
    EXPECT_EQ(errorCode(put(target, file, 0, 49'999)), "size_mismatch");
    EXPECT_EQ(errorCode(put(target, other, 0, 50'000)), "checksum_mismatch");
    JSONValue forged =
        Object{{"headers", Object{}}, {"url", portal->url() + "/storage/" + std::string(43, 'x')}};
    EXPECT_EQ(put(forged, file, 0, 50'000).status, 403);
    EXPECT_EQ(text(onlyUpload(), "state"), "pending");
    EXPECT_TRUE(onlyUpload().find("receivedSHA256")->isNull());

    // Another device cannot see the upload.
    pairDevice();
    EXPECT_EQ(errorCode(status(pending)), "not_found");
}

TEST_F(DevPortalTest, FaultSwitchesAreObservable) {
    start();
    const JSONValue credentials = pairDevice();
    const std::string unknownUpload = "/api/v1/uploads/" + makeUUID();

    faults(R"({"unavailableRate":1,"retryAfterSeconds":7})");
    const TransportResponse outage = call("GET", unknownUpload);
    EXPECT_EQ(outage.status, 503);
    EXPECT_EQ(outage.header("retry-after"), "7");
    EXPECT_EQ(errorCode(outage), "temporarily_unavailable");
    EXPECT_EQ(post("/api/v1/devices/pair", redeem("ABCD-EFGH-JKMP")).status, 404) << "pairing is spared";
    faults(R"({"unavailableRate":0})");

    faults(R"({"loseRefreshReplies":1,"unauthorizedFirstUse":true})");
    const std::string requestId = makeUUID();
    EXPECT_THROW(refresh(text(credentials, "refreshToken"), requestId), TransportUnavailable);
    const TransportResponse resent = refresh(text(credentials, "refreshToken"), requestId);
    ASSERT_EQ(resent.status, 200) << "the lost refresh took effect and is replayed";
    accessToken = text(json(resent), "accessToken");
    EXPECT_EQ(call("GET", unknownUpload).status, 401) << "first use of a fresh token";
    accessToken = text(json(refresh(text(json(resent), "refreshToken"), makeUUID())), "accessToken");
    EXPECT_EQ(call("GET", unknownUpload).status, 404) << "the token of the refresh after a refusal is spared";
    faults(R"({"unauthorizedFirstUse":false})");

    const auto file = directory / "audio.flac";
    const std::string sha = writePatternFile(file, 40'000);
    faults(R"({"urlLifetimeSeconds":5})");
    const JSONValue pending = createPending(file, sha);
    clock.advance(6);
    EXPECT_EQ(put(*pending.find("transfer"), file, 0, 40'000).status, 403) << "an expired URL";
    const JSONValue fresh = WireDocument(WireSchema::uploadStatusResponse, status(pending).body).value();
    ASSERT_EQ(put(*fresh.find("transfer"), file, 0, 40'000).status, 200) << "status brings a fresh URL";

    faults(R"({"uploadExpiredOnce":true,"malformedReplies":1})");
    EXPECT_THROW(Wire::validate(json(status(pending)), WireSchema::uploadStatusResponse), CoreError);
    EXPECT_EQ(errorCode(complete(pending)), "upload_expired");
    const TransportResponse replaced =
        post("/api/v1/uploads/" + text(pending, "uploadId") + "/attempts", Object{});
    ASSERT_EQ(replaced.status, 201);
    const JSONValue attempt = WireDocument(WireSchema::uploadPendingResponse, replaced.body).value();
    EXPECT_NE(text(attempt, "attemptId"), text(pending, "attemptId"));
    ASSERT_EQ(put(*attempt.find("transfer"), file, 0, 40'000).status, 200);
    EXPECT_EQ(complete(attempt).status, 200);
    EXPECT_EQ(onlyUpload().find("attempts")->integer(), 3) << "the first, the voided one, the replacement";

    EXPECT_EQ(call("POST", "/dev/faults", Bytes(bytesOf(R"({"noSuchSwitch":true})"))).status, 400);
    EXPECT_EQ(portal->faults().uploadExpiredOnce, true) << "a refused change changes nothing";
}

TEST_F(DevPortalTest, PartsWhosePutReplyWasLostAreObservedAsHeld) {
    PortalOptions options;
    options.multipartThreshold = 0;
    options.faults.partsAlreadyHeld = true;
    start(options);
    pairDevice();
    const auto file = directory / "audio.flac";
    const std::string sha = writePatternFile(file, 30'000);
    const JSONValue pending = createPending(file, sha);
    ASSERT_EQ(text(*pending.find("transfer"), "mode"), "multipart");
    EXPECT_THROW(put(sign(pending, 1), file, 0, 30'000), TransportUnavailable);
    const JSONValue observed = json(call("GET", "/api/v1/uploads/" + text(pending, "uploadId") +
                                                    "/parts?attemptId=" + text(pending, "attemptId")));
    const JSONValue part = observed.find("parts")->array()->at(0);
    EXPECT_EQ(part.find("byteSize")->integer(), 30'000);
    ASSERT_EQ(
        complete(pending, JSONValue::Array{Object{{"etag", text(part, "etag")}, {"partNumber", 1}}}).status,
        200);
}

} // namespace
} // namespace zoq
