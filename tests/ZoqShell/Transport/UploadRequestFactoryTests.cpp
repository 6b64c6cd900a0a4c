#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Transport/UploadRequestFactory.h"
#include "tests/TestSupport/CaughtError.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

using Headers = std::map<std::string, std::string>;

constexpr const char* base = "https://portal.example:8443/portal/?debug=1";
constexpr const char* api = "https://portal.example:8443/api/v1/";
constexpr const char* upload = "5b1c9e2d-7f3a-4d6b-8c0e-1a2b3c4d5e6f";
constexpr const char* attempt = "9e8d7c6b-5a49-4382-b1c0-d9e8f7a6b5c4";
constexpr const char* sha = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

UploadCreateRequest metadata() {
    return UploadCreateRequest::fromJSON(JSONValue::parse(
        std::string(R"({"schemaVersion":1,"deviceId":"3F2B8C1E-9A4D-4E6F-8B2A-1C3D5E7F9A0B","source":"mac",
        "startedAt":"2026-03-01T09:00:00.000Z","endedAt":"2026-03-01T09:30:00.000Z","app":"com.example.meetings",
        "direction":"unknown","sha256":")") +
        sha +
        R"(","byteSize":1048576,"mediaType":"audio/flac","channelLayout":"split_local_remote","partIndex":0})"));
}

UploadCommand command(UploadCommand::Operation operation) {
    return UploadCommand{WorkerLease{4}, 7, std::move(operation)};
}

std::string bodyText(const TransportRequest& request) {
    return request.body.bytes() != nullptr ? textOf(*request.body.bytes()) : "<none>";
}

TEST(UploadRequestFactory, MapsEveryPortalOperation) {
    const Headers authorized{{"authorization", "Bearer tok"}};
    const Headers json{{"authorization", "Bearer tok"}, {"content-type", "application/json"}};
    const JSONValue completion = JSONValue::parse(std::string(R"({"attemptId":")") + attempt + R"("})");
    const std::string uploads = std::string(api) + "uploads/" + upload;
    const struct {
        UploadCommand::Operation operation;
        std::string method;
        std::string url;
        Headers headers;
        std::string body;
    } cases[] = {
        {UploadCommand::Create{metadata()},
         "POST",
         std::string(api) + "uploads",
         {{"authorization", "Bearer tok"},
          {"content-type", "application/json"},
          {"idempotency-key", std::string(sha) + ":3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b"}},
         metadata().document().value().canonicalText()},
        {UploadCommand::Status{upload}, "GET", uploads, authorized, "<none>"},
        {UploadCommand::Replacement{upload}, "POST", uploads + "/attempts", json, "{}"},
        {UploadCommand::ObservedParts{upload, attempt}, "GET", uploads + "/parts?attemptId=" + attempt,
         authorized, "<none>"},
        {UploadCommand::SignPart{upload, attempt, 3}, "POST", uploads + "/parts", json,
         std::string(R"({"attemptId":")") + attempt + R"(","partNumbers":[3]})"},
        {UploadCommand::Complete{upload, completion}, "POST", uploads + "/complete", json,
         completion.canonicalText()},
        // A hostile identifier stays one path segment.
        {UploadCommand::Status{"../x?y#z"}, "GET", std::string(api) + "uploads/..%2fx%3fy%23z", authorized,
         "<none>"},
    };
    for (const auto& entry : cases) {
        const TransportRequest request = UploadRequestFactory::make(command(entry.operation), base, "tok");
        EXPECT_EQ(request.method, entry.method) << entry.url;
        EXPECT_EQ(request.url, entry.url);
        EXPECT_EQ(request.headers, entry.headers) << entry.url;
        EXPECT_EQ(bodyText(request), entry.body) << entry.url;
    }
}

TEST(UploadRequestFactory, RefusesRequestDocumentsThatDoNotValidate) {
    const struct {
        UploadCommand::Operation operation;
        CoreError error;
    } cases[] = {
        {UploadCommand::ObservedParts{upload, "not-a-uuid"}, CoreError::invalid("format")},
        {UploadCommand::SignPart{upload, attempt, 0}, CoreError::invalid("integer range")},
        {UploadCommand::Complete{upload, JSONValue::parse(R"({"parts":[]})")},
         CoreError::invalid("closed object")},
        {UploadCommand::Status{""}, CoreError::invalid("request URL")},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(
            test::caughtError([&] { UploadRequestFactory::make(command(entry.operation), base, "tok"); }),
            entry.error);
    }
    EXPECT_EQ(test::caughtError([&] {
                  UploadRequestFactory::make(command(UploadCommand::Status{upload}), "portal.example", "");
              }),
              CoreError::invalid("base URL"));
}

UploadCommand::Put putOf(const std::string& target, std::optional<std::int64_t> partNumber = std::nullopt) {
    return {"/spool/part/audio.flac", 16'777'216, 1000, JSONValue::parse(target), partNumber};
}

TEST(UploadRequestFactory, PutStreamsTheFileRangeToThePresignedTargetWithoutCredentials) {
    const std::string storage = "https://storage.example/b/k?X-Sig=a%2Fb&e=1";
    const std::string single = R"({"mode":"single","method":"PUT","url":")" + storage +
                               R"(","headers":{"Content-Length":"5","content-length":"7","x-meta":"v","n":1},
                                  "urlExpiresAt":"2026-03-01T10:00:00.000Z"})";
    const TransportRequest request = UploadRequestFactory::make(command(putOf(single)), base, "tok");
    EXPECT_EQ(request.method, "PUT");
    EXPECT_EQ(request.url, storage);
    EXPECT_EQ(request.headers, (Headers{{"content-length", "1000"}, {"x-meta", "v"}}));
    EXPECT_EQ(request.body, RequestBody(FileRange("/spool/part/audio.flac", 16'777'216, 1000)));

    // A signed part names no method and is PUT to its own URL.
    const std::string part = R"({"partNumber":2,"url":")" + storage + R"(","headers":{},"urlExpiresAt":"x"})";
    EXPECT_EQ(UploadRequestFactory::make(command(putOf(part, 2)), base, "tok").method, "PUT");
}

TEST(UploadRequestFactory, RefusesPutTargetsItCannotTrust) {
    const struct {
        std::string target;
        std::optional<std::int64_t> partNumber;
        const char* reason;
    } cases[] = {
        {R"({"method":"POST","url":"https://s.example/k"})", std::nullopt, "transfer method"},
        {R"({"method":"put","url":"https://s.example/k"})", std::nullopt, "transfer method"},
        {R"({"url":"https://s.example/k"})", std::nullopt, "transfer method"},
        {R"({"partNumber":2,"method":"GET","url":"https://s.example/k"})", 2, "transfer method"},
        {R"({"method":"PUT"})", std::nullopt, "transfer target"},
        {R"({"method":"PUT","url":7})", std::nullopt, "transfer target"},
        {R"({"method":"PUT","url":"s.example/k"})", std::nullopt, "transfer target"},
        {R"({"partNumber":2,"url":"https://s.example/k"})", 3, "transfer target"},
        {R"(["PUT"])", std::nullopt, "transfer target"},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(test::caughtError([&] {
                      UploadRequestFactory::make(command(putOf(entry.target, entry.partNumber)), base, "tok");
                  }),
                  CoreError::invalid(entry.reason))
            << entry.target;
    }
}

TEST(UploadRequestFactory, RepliesCarryStatusBodyEntityTagAndDelay) {
    const HTTPReply part =
        UploadRequestFactory::reply({200, {{"ETag", "\"abc\""}, {"Retry-After", "1.5"}}, bytesOf("{}")});
    EXPECT_EQ(part, (HTTPReply{200, bytesOf("{}"), "\"abc\"", 1.5}));
    const HTTPReply busy =
        UploadRequestFactory::reply({503, {{"retry-after", "Sun, 06 Nov 1994 08:49:37 GMT"}}, {}});
    EXPECT_EQ(busy, (HTTPReply{503, {}, std::nullopt, 0.0}));
    EXPECT_EQ(UploadRequestFactory::reply({429, {{"retry-after", "soon"}}, {}}).retryAfterSeconds,
              std::nullopt);
}

} // namespace
} // namespace zoq
