#include "tests/ZoqShell/LoopbackHttpServer.h"

#include "ZoqCore/Support/SHA256.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace zoq::test {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

LoopbackHttpServer::LoopbackHttpServer(std::optional<TLSFiles> tls) {
    if (tls) {
        server_ = std::make_unique<httplib::SSLServer>(tls->certificate.c_str(), tls->privateKey.c_str());
        scheme_ = "https";
    } else {
        server_ = std::make_unique<httplib::Server>();
        scheme_ = "http";
    }
    if (!server_->is_valid()) {
        throw std::runtime_error("loopback server: invalid configuration");
    }
    // Enough workers that every concurrent client gets one at once, even
    // while others sit on idle keep-alive connections.
    server_->new_task_queue = [] { return new httplib::ThreadPool(40); };
    int listening = -1;
    server_->set_socket_options([&listening](int socket) {
        httplib::default_socket_options(socket);
        listening = socket;
    });
    const auto plain = [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response, nullptr);
    };
    const auto streamed = [this](const httplib::Request& request, httplib::Response& response,
                                 const httplib::ContentReader& reader) {
        handle(request, response, &reader);
    };
    const std::string any = ".*";
    server_->Get(any, plain).Options(any, plain);
    server_->Post(any, streamed).Put(any, streamed).Patch(any, streamed).Delete(any, streamed);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("loopback server: bind failed");
    }
    // cpp-httplib listens with a backlog of 5; a burst of concurrent clients
    // would overflow it and see connections reset. Listening again only
    // raises the backlog.
    if (listening < 0 || ::listen(listening, 512) != 0) {
        throw std::runtime_error("loopback server: listen failed");
    }
    server_->set_socket_options(httplib::default_socket_options);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() only takes effect once the accept loop runs.
    while (!server_->is_running()) {
        std::this_thread::yield();
    }
}

LoopbackHttpServer::~LoopbackHttpServer() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stoppingChanged_.notify_all();
    server_->stop();
    thread_.join();
}

std::string LoopbackHttpServer::url(std::string_view path) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void LoopbackHttpServer::enqueue(ScriptedReply reply) {
    const std::lock_guard lock(mutex_);
    script_.push_back(std::move(reply));
}

std::vector<RecordedRequest> LoopbackHttpServer::requests() const {
    const std::lock_guard lock(mutex_);
    return seen_;
}

void LoopbackHttpServer::waitUntilStopping() const {
    std::unique_lock lock(mutex_);
    stoppingChanged_.wait(lock, [this] { return stopping_; });
}

void LoopbackHttpServer::handle(const httplib::Request& request, httplib::Response& response,
                                const httplib::ContentReader* reader) {
    std::optional<ScriptedReply> reply;
    {
        const std::lock_guard lock(mutex_);
        if (!script_.empty()) {
            reply = std::move(script_.front());
            script_.pop_front();
        }
    }

    RecordedRequest recorded;
    recorded.method = request.method;
    recorded.path = request.target;
    for (const auto& [name, value] : request.headers) {
        // cpp-httplib adds these two itself; they were not sent.
        if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" && name != "LOCAL_PORT") {
            recorded.headers.emplace_back(name, value);
        }
    }
    SHA256 hash;
    if (reader != nullptr) {
        (*reader)([&](const char* data, std::size_t length) {
            const std::string_view block(data, length);
            hash.update(block);
            recorded.bodyBytes += length;
            if (recorded.body.size() < keptBodyBytes) {
                recorded.body.append(block.substr(0, keptBodyBytes - recorded.body.size()));
            }
            if (reply && reply->onBody) {
                reply->onBody(block);
            }
            return true;
        });
    }
    recorded.bodySHA256 = hash.hexDigest();
    {
        const std::lock_guard lock(mutex_);
        seen_.push_back(recorded);
    }

    if (!reply) {
        response.status = unscriptedStatus;
        response.body = "unscripted request";
        return;
    }
    if (reply->custom) {
        reply->custom(recorded, response);
        return;
    }
    response.status = reply->status;
    for (const auto& [name, value] : reply->headers) {
        response.headers.emplace(name, value);
    }
    response.body = reply->body;
}

int closedLoopbackPort() {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (socket < 0 || ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no loopback port");
    }
    ::close(socket);
    // Bound but never listening, then closed: nothing accepts on this port.
    return ntohs(address.sin_port);
}

LoopbackHttpServer::TLSFiles writeSelfSignedCertificate(const std::filesystem::path& directory) {
    const auto check = [](bool ok) {
        if (!ok) {
            throw std::runtime_error("self-signed certificate: OpenSSL failed");
        }
    };
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), X509_free);
    check(key && certificate);
    check(X509_set_version(certificate.get(), 2) == 1);
    check(ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1) == 1);
    check(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) != nullptr);
    check(X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86'400) != nullptr);
    check(X509_set_pubkey(certificate.get(), key.get()) == 1);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0) == 1);
    check(X509_set_issuer_name(certificate.get(), name) == 1);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
    const std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> alternativeName(
        X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1"), X509_EXTENSION_free);
    check(alternativeName && X509_add_ext(certificate.get(), alternativeName.get(), -1) == 1);
    check(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0);

    LoopbackHttpServer::TLSFiles files{directory / "certificate.pem", directory / "key.pem"};
    const auto write = [&](const std::filesystem::path& path, const auto& writer) {
        const std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "w"),
                                                                      std::fclose);
        check(file != nullptr && writer(file.get()) == 1);
    };
    write(files.certificate, [&](std::FILE* file) { return PEM_write_X509(file, certificate.get()); });
    write(files.privateKey, [&](std::FILE* file) {
        return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    return files;
}

} // namespace zoq::test
