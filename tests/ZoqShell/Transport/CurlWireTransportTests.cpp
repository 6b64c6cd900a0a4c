#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/SHA256.h"
#include "ZoqShell/Transport/CancellableTransport.h"
#include "ZoqShell/Transport/CurlWireTransport.h"
#include "ZoqShell/Transport/TransportUnavailable.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/ZoqShell/LoopbackHttpServer.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace zoq {
namespace {

using test::LoopbackHttpServer;
using test::RecordedRequest;
using test::ScriptedReply;

constexpr std::int64_t mebibyte = 1 << 20;

// Writes `size` bytes of a fixed, position-dependent pattern (no two nearby
// blocks alike, so a skipped or repeated block changes the hash).
void writePatternFile(const std::filesystem::path& path, std::int64_t size) {
    std::ofstream out(path, std::ios::binary);
    std::string block(static_cast<std::size_t>(mebibyte), '\0');
    for (std::int64_t start = 0; start < size; start += mebibyte) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            const auto position = static_cast<std::uint64_t>(start) + i;
            block[i] = static_cast<char>((position * 2654435761u) >> 13);
        }
        out.write(block.data(), static_cast<std::streamsize>(std::min<std::int64_t>(mebibyte, size - start)));
    }
    ASSERT_TRUE(out.good());
}

std::string hashOfRange(const std::filesystem::path& path, std::int64_t offset, std::int64_t count) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    SHA256 hash;
    std::string block(static_cast<std::size_t>(mebibyte), '\0');
    while (count > 0) {
        const auto chunk = std::min<std::int64_t>(count, mebibyte);
        in.read(block.data(), static_cast<std::streamsize>(chunk));
        hash.update(std::string_view(block.data(), static_cast<std::size_t>(chunk)));
        count -= chunk;
    }
    return hash.hexDigest();
}

// Runs `call`, which must throw TransportUnavailable, and returns the error.
template <typename Call>
TransportUnavailable unavailable(Call&& call) {
    try {
        call();
    } catch (const TransportUnavailable& error) {
        return error;
    }
    ADD_FAILURE() << "no TransportUnavailable";
    return TransportUnavailable::network("");
}

class CurlWireTransportTest : public ::testing::Test {
protected:
    TransportResponse send(TransportRequest request) { return transport.execute(request); }

    test::TempDirectory directory;
    LoopbackHttpServer server;
    CurlWireTransport transport;
};

TEST_F(CurlWireTransportTest, ReturnsEveryStatusAsIsAndFollowsNoRedirect) {
    struct Case {
        int status;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
    };
    const std::vector<Case> cases{
        {200, {}, R"({"ok":true})"},
        {201, {{"Location", "/api/v1/uploads/7"}}, "{}"},
        {204, {}, ""},
        {301, {{"Location", server.url("/moved")}}, ""},
        {307, {{"Location", server.url("/moved")}}, "temporary"},
        {304, {}, ""},
        {401, {{"WWW-Authenticate", "Bearer"}}, R"({"error":"unauthorized"})"},
        {404, {}, "missing"},
        {429, {{"Retry-After", "3"}}, ""},
        {500, {}, "boom"},
        {503, {}, ""},
    };
    for (const auto& entry : cases) {
        server.enqueue({entry.status, entry.headers, entry.body, {}, {}});
        const auto response = send({"GET", server.url("/api/v1/uploads/7"), {}, {}});
        EXPECT_EQ(response.status, entry.status);
        EXPECT_EQ(textOf(response.body), entry.body) << entry.status;
        for (const auto& [name, value] : entry.headers) {
            EXPECT_EQ(response.header(name == "Location"      ? "location"
                                      : name == "Retry-After" ? "retry-after"
                                                              : "www-authenticate"),
                      value);
        }
    }
    EXPECT_EQ(server.requests().size(), cases.size()) << "a redirect was followed";
}

TEST_F(CurlWireTransportTest, SendsMethodHeadersAndBodyAsWrittenWithTheirTrueLength) {
    struct Case {
        TransportRequest request;
        std::optional<std::string> contentLength;
        std::string body;
    };
    const std::vector<Case> cases{
        {{"GET", server.url("/api/v1/uploads/1"), {{"authorization", "Bearer abc"}}, {}}, std::nullopt, ""},
        {{"POST",
          server.url("/api/v1/uploads"),
          {{"content-type", "application/json"}, {"idempotency-key", "ab:cd"}, {"x-empty", ""}},
          Bytes(bytesOf(R"({"a":1})"))},
         "7",
         R"({"a":1})"},
        // A caller's content-length never overrides the body's true length.
        {{"PUT",
          server.url("/put"),
          {{"content-length", "999"}, {"Expect", "100-continue"}},
          Bytes(bytesOf("xyz"))},
         "3",
         "xyz"},
        {{"PATCH", server.url("/patch"), {}, Bytes(bytesOf("p"))}, "1", "p"},
        {{"DELETE", server.url("/delete"), {}, {}}, "0", ""},
        {{"POST", server.url("/empty"), {}, Bytes{}}, "0", ""},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        server.enqueue({});
    }
    for (const auto& entry : cases) {
        EXPECT_EQ(send(entry.request).status, 200);
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& sent = cases[i].request;
        const RecordedRequest& seen = requests[i];
        EXPECT_EQ(seen.method, sent.method);
        EXPECT_EQ(server.url(seen.path), sent.url);
        EXPECT_EQ(seen.header("content-length"), cases[i].contentLength) << sent.method;
        EXPECT_EQ(seen.body, cases[i].body);
        EXPECT_EQ(seen.header("transfer-encoding"), std::nullopt);
        EXPECT_EQ(seen.header("expect"), std::nullopt);
        EXPECT_EQ(seen.header("content-type"), sent.headers.contains("content-type")
                                                   ? std::optional(sent.headers.at("content-type"))
                                                   : std::nullopt)
            << "libcurl added a default content type";
        for (const auto& [name, value] : sent.headers) {
            // cpp-httplib drops fields with an empty value on reading; that one
            // is only sent to show it does not disturb the request.
            if (name == "content-length" || name == "Expect" || value.empty()) {
                continue;
            }
            const auto match = std::find(seen.headers.begin(), seen.headers.end(), std::pair(name, value));
            EXPECT_NE(match, seen.headers.end()) << name << " not sent as written";
        }
    }
}

TEST_F(CurlWireTransportTest, ResponseHeadersMatchInAnyCaseAndRepeatsAreJoined) {
    server.enqueue({200, {{"ETag", "\"e1\""}, {"Retry-After", "120"}}, "", {}, {}});
    server.enqueue({200, {{"etag", "\"e2\""}, {"retry-after", "1.5"}}, "", {}, {}});
    server.enqueue({200, {{"X-Part", "1"}, {"X-Part", "2"}}, "", {}, {}});
    const auto upper = send({"PUT", server.url("/part"), {}, Bytes{1}});
    const auto lower = send({"PUT", server.url("/part"), {}, Bytes{1}});
    const auto repeated = send({"GET", server.url("/"), {}, {}});
    EXPECT_EQ(upper.header("etag"), "\"e1\"");
    EXPECT_EQ(upper.retryAfterSeconds(), 120.0);
    EXPECT_EQ(lower.header("etag"), "\"e2\"");
    EXPECT_EQ(lower.retryAfterSeconds(), 1.5);
    EXPECT_EQ(repeated.header("x-part"), "1, 2");
}

TEST_F(CurlWireTransportTest, StreamsALargeFileRangeWithItsExactLengthAndBytes) {
    const auto file = directory / "recording.flac";
    constexpr std::int64_t offset = 4099;
    constexpr std::int64_t count = 100 * mebibyte;
    writePatternFile(file, offset + count + 8191);
    server.enqueue({201, {{"ETag", "\"part\""}}, "", {}, {}});

    const auto response = send(
        {"PUT", server.url("/bucket/part-1?sig=x"), {{"x-amz-meta", "m"}}, FileRange(file, offset, count)});

    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.header("etag"), "\"part\"");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("content-length"), std::to_string(count));
    EXPECT_EQ(requests[0].bodyBytes, static_cast<std::uint64_t>(count));
    EXPECT_EQ(requests[0].bodySHA256, hashOfRange(file, offset, count));
}

TEST_F(CurlWireTransportTest, UnreadableFileRangesSendNothing) {
    const auto file = directory / "audio";
    writePatternFile(file, 1000);
    std::filesystem::create_symlink(file, directory / "link");
    ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(directory / "folder");
    const std::vector<FileRange> ranges{
        FileRange(file, 500, 501), // one byte past the end
        FileRange(file, 1001, 0),  // starts past the end
        FileRange(directory / "link", 0, 10),
        FileRange(directory / "fifo", 0, 10),
        FileRange(directory / "folder", 0, 0),
        FileRange(directory / "missing", 0, 10),
    };
    for (const auto& range : ranges) {
        const auto error = unavailable([&] { send({"PUT", server.url("/put"), {}, range}); });
        EXPECT_TRUE(error.reason().starts_with("file range:")) << range.file() << ": " << error.reason();
    }
    EXPECT_TRUE(server.requests().empty());
    // The exact end of the file is fine.
    server.enqueue({});
    EXPECT_EQ(send({"PUT", server.url("/put"), {}, FileRange(file, 500, 500)}).status, 200);
    EXPECT_EQ(server.requests().at(0).bodySHA256, hashOfRange(file, 500, 500));
}

TEST_F(CurlWireTransportTest, FileThatShrinksWhileSentFailsRatherThanSendingAShortBody) {
    const auto file = directory / "shrinking";
    writePatternFile(file, 32 * mebibyte);
    // The server goes on reading after the client gave up, possibly past
    // this test's body: the callback owns what it uses.
    const auto truncated = std::make_shared<std::atomic<bool>>(false);
    ScriptedReply reply;
    reply.onBody = [truncated, file](std::string_view) {
        if (!truncated->exchange(true)) {
            std::filesystem::resize_file(file, mebibyte);
        }
    };
    server.enqueue(reply);
    const auto error = unavailable([&] {
        send({"PUT", server.url("/put"), {}, FileRange(file, 0, 32 * mebibyte)});
    });
    EXPECT_EQ(error.reason(), "file range: file shrank while it was sent");
}

TEST_F(CurlWireTransportTest, RefusesNonHTTPSchemesBeforeSending) {
    for (const std::string& url :
         {"ftp://127.0.0.1:" + std::to_string(server.port()) + "/x", std::string("file:///etc/hostname"),
          std::string("mailto:someone@example.com"), std::string("gopher://127.0.0.1/")}) {
        EXPECT_EQ(unavailable([&] {
                      send({"GET", url, {}, {}});
                  }),
                  TransportUnavailable::network("non-HTTP response"))
            << url;
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(CurlWireTransportTest, RefusesRequestsThatCannotBeSentAsWritten) {
    struct Case {
        TransportRequest request;
        CoreError error;
    };
    const std::string url = server.url("/x");
    const std::vector<Case> cases{
        {{"GET", url, {{"x-note", "a\r\nauthorization: Bearer stolen"}}, {}},
         CoreError::invalid("request header")},
        {{"GET", url, {{"x-note", std::string("a\0b", 3)}}, {}}, CoreError::invalid("request header")},
        {{"GET", url, {{"bad name", "v"}}, {}}, CoreError::invalid("request header")},
        {{"GET", url, {{"", "v"}}, {}}, CoreError::invalid("request header")},
        {{"GE T", url, {}, {}}, CoreError::invalid("request method")},
        {{"", url, {}, {}}, CoreError::invalid("request method")},
        {{"HEAD", url, {}, Bytes{1}}, CoreError::invalid("request body")},
        {{"GET", "not a url", {}, {}}, CoreError::invalid("request URL")},
        {{"GET", "http://127.0.0.1:" + std::to_string(server.port()) + "/a b", {}, {}},
         CoreError::invalid("request URL")},
    };
    for (const auto& entry : cases) {
        try {
            send(entry.request);
            ADD_FAILURE() << "sent " << entry.request.method << " " << entry.request.url;
        } catch (const CoreError& error) {
            EXPECT_EQ(error, entry.error) << error.reason();
        }
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(CurlWireTransportTest, ReplyCutOffMidBodyIsAFailure) {
    ScriptedReply reply;
    reply.custom = [](const RecordedRequest&, httplib::Response& response) {
        response.status = 200;
        response.set_content_provider(1000, "application/json",
                                      [](std::size_t, std::size_t, httplib::DataSink& sink) {
                                          sink.write("{\"partial\":", 11);
                                          return false; // drop the connection with 989 bytes owed
                                      });
    };
    server.enqueue(reply);
    unavailable([&] { send({"GET", server.url("/status"), {}, {}}); });
}

TEST(CurlWireTransport, RefusedConnectionIsAFailure) {
    CurlWireTransport transport;
    const auto url = "http://127.0.0.1:" + std::to_string(test::closedLoopbackPort()) + "/";
    unavailable([&] { transport.execute({"GET", url, {}, {}}); });
    unavailable([&] { transport.execute({"PUT", url, {}, Bytes(bytesOf("body"))}); });
}

TEST(CurlWireTransport, SilentServerHitsTheIdleTimeout) {
    LoopbackHttpServer server;
    CurlWireTransport transport(std::chrono::seconds(1));
    ScriptedReply silent;
    silent.custom = [&server](const RecordedRequest&, httplib::Response&) { server.waitUntilStopping(); };
    server.enqueue(silent);
    unavailable([&] { transport.execute({"GET", server.url("/"), {}, {}}); });
}

TEST(CurlWireTransport, UploadThatStopsMovingHitsTheIdleTimeout) {
    test::TempDirectory directory;
    const auto file = directory / "upload";
    writePatternFile(file, 16 * mebibyte);
    LoopbackHttpServer server;
    CurlWireTransport transport(std::chrono::seconds(1));
    ScriptedReply stalled;
    stalled.onBody = [&server](std::string_view) { server.waitUntilStopping(); };
    server.enqueue(stalled);
    const auto error = unavailable([&] {
        transport.execute({"PUT", server.url("/"), {}, FileRange(file, 0, 16 * mebibyte)});
    });
    EXPECT_FALSE(error.reason().starts_with("file range:")) << error.reason();
}

// Quitting must not wait for a portal that takes its time: a request whose
// reply does not come (sending a file range, or waiting for a document)
// ends once its transport is cancelled, long before any timeout, and later
// requests are not sent at all.
TEST(CurlWireTransport, CancellingEndsRequestsInFlightAndRefusesLaterOnes) {
    test::TempDirectory directory;
    const auto file = directory / "upload";
    writePatternFile(file, mebibyte);
    LoopbackHttpServer server;
    CurlWireTransport curl; // a minute of silence before its own timeout
    CancellableTransport transport(curl);
    std::atomic<int> arrived = 0;
    ScriptedReply silent;
    silent.custom = [&](const RecordedRequest&, httplib::Response&) {
        ++arrived;
        server.waitUntilStopping();
    };
    server.enqueue(silent);
    server.enqueue(silent);
    auto waitingDocument = std::async(std::launch::async, [&] {
        return unavailable([&] {
            transport.execute({"POST", server.url("/doc"), {}, Bytes(bytesOf("{}"))});
        });
    });
    auto waitingUpload = std::async(std::launch::async, [&] {
        return unavailable([&] {
            transport.execute({"PUT", server.url("/put"), {}, FileRange(file, 0, mebibyte)});
        });
    });
    while (arrived.load() < 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    transport.cancel();
    EXPECT_EQ(waitingDocument.get().reason(), CurlWireTransport::cancelledText);
    EXPECT_EQ(waitingUpload.get().reason(), CurlWireTransport::cancelledText);

    EXPECT_EQ(unavailable([&] {
                  transport.execute({"GET", server.url("/later"), {}, {}});
              }).reason(),
              CurlWireTransport::cancelledText);
    EXPECT_EQ(server.requests().size(), 2u) << "nothing is sent once cancelled";
    // The transport it wraps is untouched.
    EXPECT_EQ(curl.execute({"GET", server.url("/after"), {}, {}}).status,
              LoopbackHttpServer::unscriptedStatus);
}

// A reply that keeps moving, two bytes a second, for four seconds: never idle,
// but far longer than the two-second cap on document requests.
ScriptedReply trickledReply() {
    ScriptedReply trickle;
    trickle.custom = [](const RecordedRequest&, httplib::Response& response) {
        response.status = 200;
        response.set_content_provider(8, "application/json",
                                      [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                          std::this_thread::sleep_for(std::chrono::milliseconds(500));
                                          return sink.write(offset == 0 ? "{" : " ", 1);
                                      });
    };
    return trickle;
}

TEST(CurlWireTransport, TrickledDocumentRepliesHitTheTotalCapButStreamedUploadsDoNot) {
    test::TempDirectory directory;
    const auto file = directory / "upload";
    writePatternFile(file, mebibyte);
    LoopbackHttpServer server;
    CurlWireTransport transport(std::chrono::seconds(60), std::chrono::seconds(30), std::chrono::seconds(2));
    server.enqueue(trickledReply());
    server.enqueue(trickledReply());

    unavailable([&] { transport.execute({"POST", server.url("/api"), {}, Bytes(bytesOf("{}"))}); });
    const TransportResponse upload =
        transport.execute({"PUT", server.url("/storage"), {}, FileRange(file, 0, mebibyte)});
    EXPECT_EQ(upload.status, 200);
    EXPECT_EQ(upload.body.size(), 8u);
}

TEST(CurlWireTransport, TLSIsAlwaysVerified) {
    test::TempDirectory directory;
    LoopbackHttpServer untrusted(test::writeSelfSignedCertificate(directory.path()));
    LoopbackHttpServer plain;
    CurlWireTransport transport;
    untrusted.enqueue({});
    // A certificate nobody vouches for, and a server that does not speak TLS.
    unavailable([&] { transport.execute({"GET", untrusted.url("/"), {}, {}}); });
    unavailable([&] {
        transport.execute({"GET", "https://127.0.0.1:" + std::to_string(plain.port()) + "/", {}, {}});
    });
    EXPECT_TRUE(untrusted.requests().empty());
    EXPECT_TRUE(plain.requests().empty());
}

TEST(CurlWireTransport, FailuresAreSortedForThePerson) {
    using Problem = TransportUnavailable::Problem;
    test::TempDirectory directory;
    LoopbackHttpServer selfSigned(test::writeSelfSignedCertificate(directory.path()));
    LoopbackHttpServer plain;
    LoopbackHttpServer silent;
    ScriptedReply quiet;
    quiet.custom = [&silent](const RecordedRequest&, httplib::Response&) { silent.waitUntilStopping(); };
    silent.enqueue(quiet);
    CurlWireTransport transport(std::chrono::seconds(1), std::chrono::seconds(5), std::chrono::seconds(1));
    const struct {
        const char* what;
        std::string url;
        Problem problem;
    } cases[] = {
        {"nothing listens", "http://127.0.0.1:" + std::to_string(test::closedLoopbackPort()) + "/",
         Problem::refused},
        {"a self-signed certificate", selfSigned.url("/"), Problem::certificateSelfSigned},
        {"a server that speaks no TLS", "https://127.0.0.1:" + std::to_string(plain.port()) + "/",
         Problem::tls},
        {"a server that never answers", silent.url("/"), Problem::timedOut},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unavailable([&] {
                      transport.execute({"GET", c.url, {}, {}});
                  }).problem(),
                  c.problem)
            << c.what;
    }

    // What only a trusted authority's certificate can show: sorted by
    // OpenSSL's verification result.
    constexpr int peerFailedVerification = 60; // CURLE_PEER_FAILED_VERIFICATION
    const struct {
        long verifyResult;
        Problem problem;
    } verified[] = {
        {0, Problem::certificateNameMismatch},  // libcurl's own host name check
        {62, Problem::certificateNameMismatch}, // X509_V_ERR_HOSTNAME_MISMATCH
        {10, Problem::certificateExpired},      // X509_V_ERR_CERT_HAS_EXPIRED
        {19, Problem::certificateSelfSigned},   // X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN
        {20, Problem::certificateUntrusted},    // X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY
    };
    for (const auto& v : verified) {
        EXPECT_EQ(CurlWireTransport::problemOf(peerFailedVerification, v.verifyResult), v.problem)
            << v.verifyResult;
    }
    EXPECT_EQ(CurlWireTransport::problemOf(6, 0), Problem::hostNotFound); // CURLE_COULDNT_RESOLVE_HOST
}

TEST(CurlWireTransport, ServesManyThreadsAtOnce) {
    LoopbackHttpServer server;
    CurlWireTransport transport;
    constexpr int threads = 32;
    constexpr int callsEach = 4;
    for (int i = 0; i < threads * callsEach; ++i) {
        server.enqueue({200, {}, "ok", {}, {}});
    }
    std::atomic<int> succeeded = 0;
    std::mutex mutex;
    std::vector<std::string> failures;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < callsEach; ++i) {
                const std::string body = std::to_string(t) + "/" + std::to_string(i);
                try {
                    const auto response =
                        transport.execute({"POST", server.url("/"), {}, Bytes(bytesOf(body))});
                    if (response.status == 200 && textOf(response.body) == "ok") {
                        ++succeeded;
                    }
                } catch (const std::exception& error) {
                    const std::lock_guard lock(mutex);
                    failures.emplace_back(error.what());
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_EQ(succeeded.load(), threads * callsEach);
    EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(threads * callsEach));
}

TEST(CurlWireTransport, RefusesTimeoutsUnderASecond) {
    EXPECT_THROW(CurlWireTransport(std::chrono::seconds(0)), CoreError);
    EXPECT_THROW(CurlWireTransport(std::chrono::seconds(60), std::chrono::seconds(0)), CoreError);
    EXPECT_THROW(
        CurlWireTransport(std::chrono::seconds(60), std::chrono::seconds(30), std::chrono::seconds(0)),
        CoreError);
}

} // namespace
} // namespace zoq
