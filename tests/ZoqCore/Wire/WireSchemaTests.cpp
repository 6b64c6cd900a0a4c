#include "ZoqCore/Wire/Wire.h"
#include "ZoqCore/Wire/WireSchema.h"
#include "tests/ZoqCore/Wire/WireTestSupport.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

using test::reasonFor;
using test::reasonForText;
using test::with;
using S = WireSchema;

JSONValue j(std::string_view text) {
    return JSONValue::parse(text);
}

TEST(WireSchemaNames, NineteenInOrderWithLookup) {
    ASSERT_EQ(allWireSchemas.size(), 19u);
    EXPECT_EQ(rawValue(allWireSchemas.front()), "UploadCreateRequest");
    EXPECT_EQ(rawValue(WireSchema::uploadObservedPartsResponse), "UploadObservedPartsResponse");
    EXPECT_EQ(rawValue(allWireSchemas.back()), "IdempotencyKey");
    for (std::size_t i = 0; i < allWireSchemas.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(allWireSchemas[i]), i);
        EXPECT_EQ(wireSchemaNamed(rawValue(allWireSchemas[i])), allWireSchemas[i]);
    }
    EXPECT_EQ(wireSchemaNamed("uploadCreateRequest"), std::nullopt);
    EXPECT_EQ(wireSchemaNamed(""), std::nullopt);
}

TEST(WireCreateRequest, NormalisesDefaultsTimesAndText) {
    const JSONValue input = with(test::sampleCreateRequest(), "app", JSONValue("Cafe\xCC\x81"));
    const JSONValue output = Wire::validate(input, S::uploadCreateRequest);
    EXPECT_EQ(*output.find("contactLabel"), JSONValue(nullptr));
    EXPECT_EQ(*output.find("interrupted"), JSONValue(false));
    EXPECT_EQ(*output.find("startedAt"), JSONValue("2025-03-01T09:00:00.000Z"));
    EXPECT_EQ(*output.find("endedAt"), JSONValue("2025-03-01T09:30:00.123Z"));
    EXPECT_EQ(*output.find("app"), JSONValue("Caf\xC3\xA9"));
    EXPECT_EQ(*output.find("deviceId"), JSONValue("3F2B8C1E-9A4D-4E6F-8B2A-1C3D5E7F9A0B"));
    EXPECT_EQ(output.find("captureSessionId"), nullptr);
    EXPECT_EQ(Wire::validate(output, S::uploadCreateRequest), output);
}

TEST(WireCreateRequest, FieldRules) {
    const JSONValue base = test::sampleCreateRequest();
    const auto reason = [&](const std::string& key, std::optional<JSONValue> member) {
        return reasonFor(S::uploadCreateRequest, with(base, key, std::move(member)));
    };
    EXPECT_EQ(reason("schemaVersion", JSONValue(1.0)), "ok");
    for (const JSONValue& bad :
         {JSONValue(1.5), JSONValue(2), JSONValue("1"), JSONValue(9007199254740992.0)}) {
        EXPECT_EQ(reason("schemaVersion", bad), "integer range");
    }
    EXPECT_EQ(reason("deviceId", JSONValue("00000000-0000-0000-0000-000000000000")), "ok");
    EXPECT_EQ(reason("deviceId", JSONValue("not-a-uuid")), "format");
    EXPECT_EQ(reason("source", JSONValue("Mac")), "enum");
    EXPECT_EQ(reason("startedAt", JSONValue(5)), "times");
    EXPECT_EQ(reason("endedAt", std::nullopt), "closed object");
    EXPECT_EQ(reason("endedAt", JSONValue(nullptr)), "times");
    EXPECT_EQ(reason("endedAt", JSONValue("yesterday")), "timestamp");
    EXPECT_EQ(reason("app", JSONValue("")), "string length");
    EXPECT_EQ(reason("app", JSONValue(std::string(128, 'a'))), "ok");
    EXPECT_EQ(reason("app", JSONValue(std::string(129, 'a'))), "string length");
    EXPECT_EQ(reason("direction", JSONValue("sideways")), "enum");
    EXPECT_EQ(reason("contactLabel", JSONValue("")), "ok");
    EXPECT_EQ(reason("contactLabel", JSONValue(std::string(257, 'a'))), "string length");
    EXPECT_EQ(reason("contactLabel", JSONValue(7)), "string");
    EXPECT_EQ(reason("sha256", JSONValue(std::string(64, 'F'))), "format");
    EXPECT_EQ(reason("byteSize", JSONValue(0)), "integer range");
    EXPECT_EQ(reason("byteSize", JSONValue(21474836480)), "ok");
    EXPECT_EQ(reason("byteSize", JSONValue(21474836481)), "integer range");
    EXPECT_EQ(reason("mediaType", JSONValue("audio/x-flac")), "enum");
    EXPECT_EQ(reason("channelLayout", JSONValue("Mono")), "enum");
    EXPECT_EQ(reason("captureSessionId", JSONValue("3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b")), "ok");
    EXPECT_EQ(reason("captureSessionId", JSONValue(nullptr)), "format");
    EXPECT_EQ(reason("partIndex", JSONValue(-1)), "integer range");
    EXPECT_EQ(reason("partIndex", JSONValue(9007199254740991.0)), "ok");
    EXPECT_EQ(reason("interrupted", JSONValue("false")), "boolean");
    EXPECT_EQ(reason("interrupted", JSONValue(true)), "ok");
    EXPECT_EQ(reason("extra", JSONValue(1)), "closed object");
    EXPECT_EQ(reasonFor(S::uploadCreateRequest, JSONValue::Array{}), "closed object");
}

TEST(WireCreateRequest, EndedBeforeStartedComparesFractionsExactly) {
    const auto reason = [](const char* started, const char* ended) {
        return reasonFor(S::uploadCreateRequest,
                         with(with(test::sampleCreateRequest(), "startedAt", JSONValue(started)), "endedAt",
                              JSONValue(ended)));
    };
    EXPECT_EQ(reason("2025-01-01T10:00:00.5Z", "2025-01-01T10:00:00.25Z"), "ended before started");
    EXPECT_EQ(reason("2025-01-01T10:00:00.50Z", "2025-01-01T10:00:00.5Z"), "ok");
    EXPECT_EQ(reason("2025-01-01T10:00:00.1235Z", "2025-01-01T10:00:00.1234Z"), "ended before started");
    EXPECT_EQ(reason("2025-01-01T11:00:00+01:00", "2025-01-01T10:00:00Z"), "ok");
    EXPECT_EQ(reason("2025-01-01T10:00:01Z", "2025-01-01T10:00:00.999Z"), "ended before started");
    // Each time is parsed before they are compared, started first.
    EXPECT_EQ(reason("2025-02-30T10:00:00Z", "2025-01-01T10:00:00+24:00"), "calendar");
    EXPECT_EQ(reason("2025-01-01T10:00:00Z", "2025-01-01T10:00:00+24:00"), "offset");
    // Both must be strings before either is parsed.
    EXPECT_EQ(reasonFor(S::uploadCreateRequest,
                        with(with(test::sampleCreateRequest(), "startedAt", JSONValue("bad")), "endedAt",
                             JSONValue(1))),
              "times");
}

TEST(WireCreateRequest, FirstFailingKeyInCheckOrderDecides) {
    JSONValue value = with(test::sampleCreateRequest(), "partIndex", JSONValue(-1));
    value = with(value, "sha256", JSONValue("x"));
    EXPECT_EQ(reasonFor(S::uploadCreateRequest, value), "format");
    value = with(value, "contactLabel", JSONValue(1));
    EXPECT_EQ(reasonFor(S::uploadCreateRequest, value), "string");
    value = with(value, "source", JSONValue("pc"));
    EXPECT_EQ(reasonFor(S::uploadCreateRequest, value), "enum");
    value = with(value, "unexpected", JSONValue(true));
    EXPECT_EQ(reasonFor(S::uploadCreateRequest, value), "closed object");
}

TEST(WireUploadResponses, StateDependsOnSchema) {
    const JSONValue pending =
        with(with(with(test::sampleResponse("pending"), "attemptId", JSONValue(test::sampleUUID)),
                  "expiresAt", JSONValue("2025-03-01T10:00:00+01:00")),
             "transfer", test::sampleSingleTransfer());
    EXPECT_EQ(reasonFor(S::uploadCreateResponse, pending), "ok");
    EXPECT_EQ(reasonFor(S::uploadPendingResponse, pending), "ok");
    EXPECT_EQ(reasonFor(S::uploadStatusResponse, pending), "ok");
    EXPECT_EQ(reasonFor(S::uploadCompleteResponse, pending), "enum");
    EXPECT_EQ(*Wire::validate(pending, S::uploadCreateResponse).find("expiresAt"),
              JSONValue("2025-03-01T09:00:00.000Z"));

    for (const char* key : {"transfer", "attemptId", "expiresAt"}) {
        const JSONValue lacking = with(pending, key, std::nullopt);
        EXPECT_EQ(reasonFor(S::uploadCreateResponse, lacking), "pending fields") << key;
        EXPECT_EQ(reasonFor(S::uploadPendingResponse, lacking), "pending fields") << key;
        EXPECT_EQ(reasonFor(S::uploadStatusResponse, lacking), "ok") << key;
    }
    const JSONValue verifying = test::sampleResponse("verifying");
    EXPECT_EQ(reasonFor(S::uploadCompleteResponse, verifying), "ok");
    EXPECT_EQ(reasonFor(S::uploadPendingResponse, verifying), "enum");
    EXPECT_EQ(reasonFor(S::uploadStatusResponse, test::sampleResponse("done")), "enum");
    EXPECT_EQ(reasonFor(S::uploadStatusResponse, with(verifying, "attemptId", JSONValue("x"))), "format");
    EXPECT_EQ(reasonFor(S::uploadStatusResponse, with(verifying, "transfer", JSONValue::Object{})),
              "closed object");
}

TEST(WireUploadResponses, ReceiptAndErrorFollowTheState) {
    const JSONValue stored = with(test::sampleResponse("stored"), "stored", test::sampleReceipt());
    EXPECT_EQ(reasonFor(S::uploadStatusResponse, stored), "ok");
    EXPECT_EQ(*Wire::validate(stored, S::uploadStatusResponse).find("stored")->find("storedAt"),
              JSONValue("2025-03-01T10:20:00.500Z"));
    EXPECT_EQ(reasonFor(S::uploadStatusResponse, test::sampleResponse("stored")), "closed object");
    EXPECT_EQ(reasonFor(S::uploadStatusResponse, with(stored, "error", test::sampleError())), "null");
    EXPECT_EQ(reasonFor(S::uploadStatusResponse,
                        with(test::sampleResponse("verifying"), "stored", test::sampleReceipt())),
              "null");
    EXPECT_EQ(reasonFor(S::uploadStatusResponse,
                        with(stored, "stored", with(test::sampleReceipt(), "byteSize", JSONValue(0)))),
              "integer range");

    const JSONValue failed = with(test::sampleResponse("failed"), "error", test::sampleError());
    EXPECT_EQ(reasonFor(S::uploadCreateResponse, failed), "ok");
    EXPECT_EQ(reasonFor(S::uploadCreateResponse, test::sampleResponse("failed")), "closed object");
    EXPECT_EQ(reasonFor(S::uploadStatusResponse, with(failed, "stored", test::sampleReceipt())), "null");
    EXPECT_EQ(
        reasonFor(S::uploadStatusResponse, with(test::sampleResponse("pending"), "error", JSONValue(false))),
        "null");
    EXPECT_EQ(
        reasonFor(S::uploadStatusResponse, with(test::sampleResponse("pending"), "error", std::nullopt)),
        "closed object");
}

TEST(WireErrorObject, Rules) {
    const auto reason = [](const std::string& key, std::optional<JSONValue> member) {
        return reasonFor(S::errorEnvelope,
                         JSONValue::Object{{"error", with(test::sampleError(), key, member)}});
    };
    EXPECT_EQ(reason("retryAfterMs", JSONValue(nullptr)), "ok");
    EXPECT_EQ(reason("retryAfterMs", JSONValue(0)), "ok");
    EXPECT_EQ(reason("retryAfterMs", std::nullopt), "closed object");
    EXPECT_EQ(reason("retryAfterMs", JSONValue(-1)), "integer range");
    EXPECT_EQ(reason("retryAfterMs", JSONValue("5")), "integer range");
    EXPECT_EQ(reason("code", JSONValue("teapot")), "enum");
    EXPECT_EQ(reason("code", JSONValue("invalid_pairing_code")), "ok");
    EXPECT_EQ(reason("message", JSONValue("")), "ok");
    EXPECT_EQ(reason("message", JSONValue(false)), "string");
    EXPECT_EQ(reason("retryable", JSONValue(0)), "boolean");
    EXPECT_EQ(reason("recovery", JSONValue("panic")), "enum");
    EXPECT_EQ(reason("requestId", JSONValue("")), "format");
    EXPECT_EQ(reasonFor(S::errorEnvelope, j("{}")), "closed object");
    EXPECT_EQ(reasonFor(S::errorEnvelope, j(R"({"error":null})")), "closed object");
}

TEST(WireTransfer, SingleAndMultipartForms) {
    EXPECT_EQ(reasonFor(S::uploadTransfer, test::sampleSingleTransfer()), "ok");
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(test::sampleSingleTransfer(), "extra", JSONValue(1))),
              "closed object");
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(test::sampleSingleTransfer(), "method", JSONValue("put"))),
              "enum");
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(test::sampleSingleTransfer(), "url", JSONValue("ftp://x"))),
              "URL scheme");
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(test::sampleSingleTransfer(), "headers", JSONValue::Array{})),
              "headers");
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(test::sampleSingleTransfer(), "urlExpiresAt", JSONValue(1))),
              "timestamp");

    const JSONValue multipart = j(R"({"mode":"multipart","partSizeBytes":16777216,"partCount":1280})");
    EXPECT_EQ(reasonFor(S::uploadTransfer, multipart), "ok");
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(multipart, "mode", JSONValue("parallel"))), "enum");
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(multipart, "mode", JSONValue(nullptr))), "enum");
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(multipart, "mode", std::nullopt)), "closed object");
    // Another mode is judged against the multipart keys first.
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(test::sampleSingleTransfer(), "mode", JSONValue("multi"))),
              "closed object");
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(multipart, "partSizeBytes", JSONValue(8388608))),
              "integer range");
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(multipart, "partCount", JSONValue(1281))), "integer range");
    EXPECT_EQ(reasonFor(S::uploadTransfer, with(multipart, "partCount", JSONValue(0))), "integer range");
}

TEST(WirePartLists, PartsRequestQueryAndComplete) {
    const std::string attempt = std::string(R"({"attemptId":")") + test::sampleUUID + "\"";
    EXPECT_EQ(reasonForText(S::uploadPartsRequest, attempt + R"(,"partNumbers":[1,2,1280]})"), "ok");
    EXPECT_EQ(reasonForText(S::uploadPartsRequest, attempt + R"(,"partNumbers":[3,3]})"), "duplicate parts");
    EXPECT_EQ(reasonForText(S::uploadPartsRequest, attempt + R"(,"partNumbers":[3,3,0]})"), "integer range");
    EXPECT_EQ(reasonForText(S::uploadPartsRequest, attempt + R"(,"partNumbers":[]})"), "array");
    EXPECT_EQ(reasonForText(S::uploadPartsRequest, attempt + R"(,"partNumbers":{}})"), "array");
    std::string hundredOne = "[";
    for (int i = 1; i <= 101; ++i) {
        hundredOne += std::to_string(i) + (i < 101 ? "," : "]");
    }
    EXPECT_EQ(reasonForText(S::uploadPartsRequest, attempt + R"(,"partNumbers":)" + hundredOne + "}"),
              "array");
    EXPECT_EQ(reasonForText(S::uploadPartsQuery, attempt + "}"), "ok");
    EXPECT_EQ(reasonForText(S::uploadPartsQuery, attempt + R"(,"x":1})"), "closed object");

    EXPECT_EQ(reasonForText(S::uploadCompleteRequest, attempt + "}"), "ok");
    EXPECT_EQ(reasonForText(S::uploadCompleteRequest, attempt + R"(,"parts":[{"partNumber":1,"etag":"\"a\""},
        {"partNumber":2,"etag":"b"}]})"),
              "ok");
    EXPECT_EQ(reasonForText(S::uploadCompleteRequest, attempt + R"(,"parts":[{"partNumber":1,"etag":"a"},
        {"partNumber":3,"etag":"b"},{"partNumber":2,"etag":"c"}]})"),
              "ordered parts");
    EXPECT_EQ(reasonForText(S::uploadCompleteRequest, attempt + R"(,"parts":[{"partNumber":1,"etag":"a"},
        {"partNumber":1,"etag":"a"}]})"),
              "ordered parts");
    EXPECT_EQ(reasonForText(S::uploadCompleteRequest, attempt + R"(,"parts":[{"partNumber":2,"etag":""}]})"),
              "string length");
    EXPECT_EQ(reasonForText(S::uploadCompleteRequest, attempt + R"(,"parts":[]})"), "array");
    EXPECT_EQ(reasonForText(S::uploadAttemptsRequest, "{}"), "ok");
    EXPECT_EQ(reasonForText(S::uploadAttemptsRequest, "[]"), "closed object");
    EXPECT_EQ(reasonForText(S::uploadAttemptsRequest, R"({"a":1})"), "closed object");
}

TEST(WirePartLists, SignedAndObservedParts) {
    const char* signedPart =
        R"({"partNumber":1,"url":"https://s.example/p?n=1","headers":{},"urlExpiresAt":"2025-03-01T10:00:00Z"})";
    EXPECT_EQ(reasonForText(S::uploadPartsResponse, std::string(R"({"parts":[)") + signedPart + "]}"), "ok");
    EXPECT_EQ(reasonForText(S::uploadPartsResponse, R"({"parts":[]})"), "array");
    EXPECT_EQ(
        reasonFor(S::uploadPartsResponse, with(j(signedPart), "url", JSONValue("https://user@s.example/"))),
        "closed object");
    EXPECT_EQ(
        reasonFor(S::uploadPartsResponse,
                  JSONValue::Object{{"parts", JSONValue::Array{with(j(signedPart), "url",
                                                                    JSONValue("https://user@s.example/"))}}}),
        "URL characters");
    EXPECT_EQ(reasonForText(S::uploadObservedPartsResponse, R"({"parts":[]})"), "ok");
    // Order and repeats are the upload queue's business, not this layer's.
    EXPECT_EQ(
        reasonForText(
            S::uploadObservedPartsResponse,
            R"({"parts":[{"partNumber":2,"byteSize":5,"etag":"x"},{"partNumber":2,"byteSize":5,"etag":"x"}]})"),
        "ok");
    EXPECT_EQ(reasonForText(S::uploadObservedPartsResponse,
                            R"({"parts":[{"partNumber":2,"byteSize":0,"etag":"x"}]})"),
              "integer range");
    EXPECT_EQ(reasonForText(S::uploadObservedPartsResponse, R"({"parts":[{"partNumber":2,"byteSize":1}]})"),
              "closed object");
}

TEST(WirePairing, SharedRulesAndCodeNormalisation) {
    const std::string nonce = std::string(42, 'a') + "A";
    const JSONValue redeem = JSONValue::Object{{"code", "abcd-efgh-jkmn"},
                                               {"platform", "mac"},
                                               {"name", "Ada's Laptop"},
                                               {"installationId", test::sampleUUID},
                                               {"redemptionNonce", JSONValue(nonce)}};
    EXPECT_EQ(*Wire::validate(redeem, S::pairingRedeemRequest).find("code"), JSONValue("ABCDEFGHJKMN"));
    for (const char* code :
         {"abcd-efgh-jkmi", "ABCD-EFGH-JKML", "OBCD-EFGH-JKMN", "ABCD-EFGH-JKMU", "ABCD-EFGH-JKM"}) {
        EXPECT_EQ(reasonFor(S::pairingRedeemRequest, with(redeem, "code", JSONValue(code))), "format")
            << code;
    }
    EXPECT_EQ(reasonFor(S::pairingRedeemRequest, with(redeem, "platform", JSONValue("linux"))), "enum");
    EXPECT_EQ(reasonFor(S::pairingRedeemRequest, with(redeem, "name", JSONValue(""))), "string length");
    EXPECT_EQ(reasonFor(S::pairingRedeemRequest, with(redeem, "installationId", JSONValue(1))), "format");
    EXPECT_EQ(reasonFor(S::pairingRedeemRequest, with(redeem, "redemptionNonce", JSONValue(nonce + "A"))),
              "format");
    EXPECT_EQ(reasonFor(S::pairingRedeemRequest, with(redeem, "redemptionNonce", std::nullopt)),
              "closed object");
    // platform is checked before code.
    EXPECT_EQ(reasonFor(S::pairingRedeemRequest,
                        with(with(redeem, "code", JSONValue("I")), "platform", JSONValue(1))),
              "enum");

    EXPECT_EQ(reasonForText(S::pairingCreateRequest, R"({"platform":"android","name":"x"})"), "ok");
    EXPECT_EQ(
        reasonForText(S::pairingCreateRequest, R"({"platform":"android","name":"x","code":"ABCDEFGHJKMN"})"),
        "closed object");
    const JSONValue created = j(std::string(R"({"pairingId":")") + test::sampleUUID +
                                R"(","code":"ABCD-efgh-0123","expiresAt":"2025-03-01T10:00:00.1+00:00"})");
    EXPECT_EQ(Wire::validate(created, S::pairingCreateResponse),
              j(std::string(R"({"pairingId":")") + test::sampleUUID +
                R"(","code":"ABCDEFGH0123","expiresAt":"2025-03-01T10:00:00.100Z"})"));
}

TEST(WireCredentials, TokensTimesAndScopes) {
    const JSONValue credentials = j(std::string(R"({"deviceId":")") + test::sampleUUID +
                                    R"(","accessToken":"a.b.c","accessExpiresAt":"2025-03-01T10:00:00Z",
        "refreshToken":"r","refreshExpiresAt":"2025-04-01T10:00:00Z","scopes":["uploads:create","devices:self"]})");
    EXPECT_EQ(reasonFor(S::deviceCredentialsResponse, credentials), "ok");
    EXPECT_EQ(reasonFor(S::deviceCredentialsResponse,
                        with(credentials, "scopes", j(R"(["uploads:create","uploads:create"])"))),
              "duplicate scopes");
    EXPECT_EQ(reasonFor(S::deviceCredentialsResponse, with(credentials, "scopes", j("[]"))), "array");
    EXPECT_EQ(reasonFor(S::deviceCredentialsResponse,
                        with(credentials, "scopes",
                             j(R"(["uploads:create","devices:self","uploads:manage-own","x"])"))),
              "array");
    EXPECT_EQ(reasonFor(S::deviceCredentialsResponse, with(credentials, "scopes", j(R"(["admin"])"))),
              "enum");
    EXPECT_EQ(reasonFor(S::deviceCredentialsResponse, with(credentials, "accessToken", JSONValue(""))),
              "string length");
    EXPECT_EQ(reasonFor(S::deviceCredentialsResponse, with(credentials, "accessToken", JSONValue("a\nb"))),
              "format");
    EXPECT_EQ(
        reasonFor(S::deviceCredentialsResponse, with(credentials, "refreshExpiresAt", JSONValue("soon"))),
        "timestamp");
    // Tokens are credentials: kept byte for byte, never normalised.
    EXPECT_EQ(*Wire::validate(with(credentials, "refreshToken", JSONValue("e\xCC\x81")),
                              S::deviceCredentialsResponse)
                   .find("refreshToken"),
              JSONValue("e\xCC\x81"));

    const JSONValue refresh = JSONValue::Object{{"refreshToken", "r"}, {"requestId", test::sampleUUID}};
    EXPECT_EQ(reasonFor(S::deviceRefreshRequest, refresh), "ok");
    EXPECT_EQ(reasonFor(S::deviceRefreshRequest, with(refresh, "refreshToken", JSONValue(1))), "string");
}

TEST(WireIdempotencyKey, LowerCaseVersionedUUIDOnly) {
    const std::string sha = test::sampleSHA;
    EXPECT_EQ(reasonFor(S::idempotencyKey, JSONValue(sha + ":" + test::sampleUUID)), "ok");
    EXPECT_EQ(reasonFor(S::idempotencyKey, JSONValue(sha + ":00000000-0000-0000-0000-000000000000")),
              "format");
    EXPECT_EQ(reasonFor(S::idempotencyKey, JSONValue(sha + ":3F2B8C1E-9A4D-4E6F-8B2A-1C3D5E7F9A0B")),
              "format");
    EXPECT_EQ(reasonFor(S::idempotencyKey, JSONValue::Object{}), "format");
}

TEST(WireValidation, IsIdempotentForEverySample) {
    const std::vector<std::pair<WireSchema, JSONValue>> samples = {
        {S::uploadCreateRequest, test::sampleCreateRequest()},
        {S::uploadStatusResponse, with(test::sampleResponse("stored"), "stored", test::sampleReceipt())},
        {S::uploadTransfer, test::sampleSingleTransfer()},
        {S::errorEnvelope, JSONValue::Object{{"error", test::sampleError()}}},
    };
    for (const auto& [schema, value] : samples) {
        const JSONValue once = Wire::validate(value, schema);
        EXPECT_EQ(Wire::validate(once, schema), once) << rawValue(schema);
        EXPECT_EQ(Wire::validate(JSONValue::parse(once.canonicalText()), schema), once) << rawValue(schema);
    }
}

} // namespace
} // namespace zoq
