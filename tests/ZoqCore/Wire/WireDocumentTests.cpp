#include "ZoqCore/Wire/DeviceCredentialsResponse.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "ZoqCore/Wire/UploadCreateRequest.h"
#include "ZoqCore/Wire/UploadStatusResponse.h"
#include "ZoqCore/Wire/WireDocument.h"
#include "tests/ZoqCore/Wire/WireTestSupport.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

using test::reasonOf;
using test::with;

JSONValue pendingCreateResponse() {
    return with(with(with(test::sampleResponse("pending"), "attemptId", JSONValue(test::sampleUUID)),
                     "expiresAt", JSONValue("2025-03-01T10:00:00Z")),
                "transfer", test::sampleSingleTransfer());
}

JSONValue sampleCredentials() {
    return JSONValue::parse(std::string(R"({"deviceId":")") + test::sampleUUID +
                            R"(","accessToken":"access","accessExpiresAt":"2025-03-01T10:00:00Z",
        "refreshToken":"refresh","refreshExpiresAt":"2025-04-01T10:00:00+02:00","scopes":["uploads:create"]})");
}

TEST(WireDocument, HoldsTheNormalisedValueAndEncodesCanonically) {
    const WireDocument document(WireSchema::uploadCreateRequest, test::sampleCreateRequest());
    EXPECT_EQ(document.schema(), WireSchema::uploadCreateRequest);
    EXPECT_EQ(*document.value().find("interrupted"), JSONValue(false));
    const std::string text = textOf(document.encoded());
    EXPECT_TRUE(text.starts_with(
        R"({"app":"com.example.meetings","byteSize":1048576,"channelLayout":"split_local_remote",)"))
        << text;
    EXPECT_EQ(WireDocument(WireSchema::uploadCreateRequest, document.encoded()), document);
}

TEST(WireDocument, BytesThatAreNotJSONRaiseTheSyntaxErrorUnchanged) {
    EXPECT_THROW(WireDocument(WireSchema::uploadAttemptsRequest, viewOf("{")), JSONSyntaxError);
    EXPECT_THROW(WireDocument(WireSchema::uploadAttemptsRequest, viewOf(R"({"a":1,"a":2})")),
                 JSONSyntaxError);
    EXPECT_EQ(reasonOf([] { WireDocument(WireSchema::uploadAttemptsRequest, viewOf(R"({"a":1})")); }),
              "closed object");
    EXPECT_EQ(reasonOf([] { WireDocument(WireSchema::uploadAttemptsRequest, viewOf(" {} ")); }), "ok");
}

TEST(WireModels, UploadCreateRequestAndItsIdempotencyKey) {
    const UploadCreateRequest request = UploadCreateRequest::fromJSON(test::sampleCreateRequest());
    EXPECT_EQ(request.deviceId(), "3F2B8C1E-9A4D-4E6F-8B2A-1C3D5E7F9A0B");
    EXPECT_EQ(request.sha256(), test::sampleSHA);
    EXPECT_EQ(request.byteSize(), 1048576);
    const std::string key = request.idempotencyKey();
    EXPECT_EQ(key, std::string(test::sampleSHA) + ":" + test::sampleUUID);
    EXPECT_EQ(test::reasonFor(WireSchema::idempotencyKey, JSONValue(key)), "ok");
    EXPECT_EQ(UploadCreateRequest::fromBytes(request.json().canonicalBytes()), request);

    // The nil device identifier is a valid device but never a valid key.
    const UploadCreateRequest nilDevice = UploadCreateRequest::fromJSON(
        with(test::sampleCreateRequest(), "deviceId", JSONValue("00000000-0000-0000-0000-000000000000")));
    EXPECT_EQ(test::reasonFor(WireSchema::idempotencyKey, JSONValue(nilDevice.idempotencyKey())), "format");

    EXPECT_EQ(reasonOf([] {
                  (void)UploadCreateRequest(
                      WireDocument(WireSchema::uploadAttemptsRequest, JSONValue::Object{}));
              }),
              "schema");
}

TEST(WireModels, UploadStatusResponseAcceptsEveryUploadResponse) {
    const UploadStatusResponse fromCreate(
        WireDocument(WireSchema::uploadCreateResponse, pendingCreateResponse()));
    EXPECT_EQ(fromCreate.document().schema(), WireSchema::uploadStatusResponse);
    EXPECT_EQ(fromCreate.state(), "pending");
    EXPECT_EQ(fromCreate.uploadId(), test::sampleUUID);
    EXPECT_EQ(fromCreate.recordingId(), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(fromCreate.attemptId(), test::sampleUUID);

    const UploadStatusResponse fromComplete(
        WireDocument(WireSchema::uploadCompleteResponse, test::sampleResponse("verifying")));
    EXPECT_EQ(fromComplete.state(), "verifying");
    EXPECT_EQ(fromComplete.attemptId(), std::nullopt);

    const WireDocument envelope(WireSchema::errorEnvelope, JSONValue::Object{{"error", test::sampleError()}});
    EXPECT_EQ(reasonOf([&] { (void)UploadStatusResponse(envelope); }), "closed object");
    EXPECT_EQ(reasonOf([] { (void)UploadStatusResponse::fromJSON(pendingCreateResponse()); }), "ok");
}

TEST(WireModels, DeviceCredentialsResponse) {
    const DeviceCredentialsResponse credentials = DeviceCredentialsResponse::fromJSON(sampleCredentials());
    EXPECT_EQ(credentials.deviceId(), test::sampleUUID);
    EXPECT_EQ(credentials.accessToken(), "access");
    EXPECT_EQ(credentials.refreshToken(), "refresh");
    EXPECT_EQ(credentials.refreshExpiresAt(), "2025-04-01T08:00:00.000Z");
    EXPECT_EQ(DeviceCredentialsResponse::fromBytes(credentials.json().canonicalBytes()), credentials);
    EXPECT_EQ(reasonOf([] {
                  (void)DeviceCredentialsResponse(
                      WireDocument(WireSchema::uploadCreateRequest, test::sampleCreateRequest()));
              }),
              "schema");
}

} // namespace
} // namespace zoq
