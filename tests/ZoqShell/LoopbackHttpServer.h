#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <httplib.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace zoq::test {

/// One request as the loopback server received it. The body is hashed as it
/// streams in; only its first `LoopbackHttpServer::keptBodyBytes` are kept.
struct RecordedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::uint64_t bodyBytes = 0;
    std::string bodySHA256;

    /// The first header with this name, in any letter case.
    std::optional<std::string> header(std::string_view name) const;
};

/// What the server answers to one request. `custom`, when set, replaces the
/// rest and may do anything a cpp-httplib handler may (stall, send a body
/// that stops short). `onBody` sees every block of the request body as it
/// arrives.
struct ScriptedReply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::function<void(const RecordedRequest&, httplib::Response&)> custom;
    std::function<void(std::string_view)> onBody;
};

/// A real HTTP/1.1 server on 127.0.0.1 with a kernel-chosen port, answering
/// each request with the next scripted reply, in order. A request beyond the
/// script gets the sentinel reply 599 "unscripted request", so a test sees
/// a retry it did not expect. Every request is recorded.
class LoopbackHttpServer {
public:
    static constexpr std::size_t keptBodyBytes = 1 << 20;
    static constexpr int unscriptedStatus = 599;

    /// PEM files of a certificate and its private key, for an https server.
    struct TLSFiles {
        std::filesystem::path certificate;
        std::filesystem::path privateKey;
    };

    /// A plain http server, or an https one presenting `tls`.
    explicit LoopbackHttpServer(std::optional<TLSFiles> tls = std::nullopt);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    int port() const { return port_; }
    /// "http://127.0.0.1:PORT" (https for a TLS server) followed by `path`.
    std::string url(std::string_view path = "/") const;

    void enqueue(ScriptedReply reply);
    std::vector<RecordedRequest> requests() const;

    /// Blocks until the server begins to shut down: a custom reply that calls
    /// this is a server that accepted the request and then went silent.
    void waitUntilStopping() const;

private:
    void handle(const httplib::Request& request, httplib::Response& response,
                const httplib::ContentReader* reader);

    std::unique_ptr<httplib::Server> server_;
    std::string scheme_;
    int port_ = 0;
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable stoppingChanged_;
    bool stopping_ = false;             // guarded by mutex_
    std::deque<ScriptedReply> script_;  // guarded by mutex_
    std::vector<RecordedRequest> seen_; // guarded by mutex_
};

/// A loopback port with nothing listening on it: connecting is refused.
int closedLoopbackPort();

/// Writes a fresh self-signed certificate for 127.0.0.1 and its key into
/// `directory`: one no certificate store trusts.
LoopbackHttpServer::TLSFiles writeSelfSignedCertificate(const std::filesystem::path& directory);

} // namespace zoq::test
