#pragma once

// A minimal HTTP/1.1 server on 127.0.0.1 that reads every request body as
// fast as the socket delivers it, throws it away and answers 200 with the
// number of body bytes it read. It is the common receiving end when zoq's
// transport and the curl tool are compared, so neither is measured against a
// slower or faster server than the other. Not a general server: it needs a
// content-length (or no body) and serves each connection on its own thread.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zoq::bench {

class UploadSink {
public:
    UploadSink() {
        listening_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listening_ < 0 ||
            ::bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listening_, 64) != 0 ||
            ::getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("upload sink: cannot listen");
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }

    ~UploadSink() {
        ::shutdown(listening_, SHUT_RDWR);
        acceptor_.join();
        {
            const std::lock_guard lock(mutex_);
            for (const int connection : connections_) {
                ::shutdown(connection, SHUT_RDWR);
            }
        }
        for (auto& worker : workers_) {
            worker.join();
        }
        ::close(listening_);
    }

    UploadSink(const UploadSink&) = delete;
    UploadSink& operator=(const UploadSink&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "/sink") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::uint64_t bodyBytes() const { return bodyBytes_.load(); }

private:
    void acceptLoop() {
        while (true) {
            const int connection = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) {
                if (errno == EINTR || errno == ECONNABORTED) {
                    continue;
                }
                return;
            }
            const std::lock_guard lock(mutex_);
            connections_.push_back(connection);
            workers_.emplace_back([this, connection] {
                serve(connection);
                const std::lock_guard done(mutex_);
                connections_.erase(std::find(connections_.begin(), connections_.end(), connection));
                ::close(connection);
            });
        }
    }

    static std::uint64_t contentLength(const std::string& head) {
        std::string lower(head);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const auto at = lower.find("\r\ncontent-length:");
        return at == std::string::npos ? 0 : std::stoull(lower.substr(at + 17));
    }

    static bool sendAll(int connection, const std::string& text) {
        std::size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n = ::send(connection, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    void serve(int connection) {
        std::vector<char> buffer(1 << 20);
        std::string pending;
        while (true) {
            std::size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t n = ::recv(connection, buffer.data(), buffer.size(), 0);
                if (n <= 0) {
                    return;
                }
                pending.append(buffer.data(), static_cast<std::size_t>(n));
            }
            const std::string head = pending.substr(0, end + 2);
            pending.erase(0, end + 4);
            std::string lowerHead(head);
            std::transform(lowerHead.begin(), lowerHead.end(), lowerHead.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (lowerHead.find("\r\nexpect: 100-continue") != std::string::npos &&
                !sendAll(connection, "HTTP/1.1 100 Continue\r\n\r\n")) {
                return;
            }
            std::uint64_t remaining = contentLength(head);
            const std::uint64_t total = remaining;
            const std::uint64_t buffered = std::min<std::uint64_t>(remaining, pending.size());
            pending.erase(0, buffered);
            remaining -= buffered;
            while (remaining > 0) {
                const ssize_t n =
                    ::recv(connection, buffer.data(), std::min<std::uint64_t>(remaining, buffer.size()), 0);
                if (n <= 0) {
                    return;
                }
                remaining -= static_cast<std::uint64_t>(n);
            }
            bodyBytes_ += total;
            const std::string body = std::to_string(total);
            if (!sendAll(connection, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                         std::to_string(body.size()) + "\r\n\r\n" + body)) {
                return;
            }
        }
    }

    int listening_ = -1;
    int port_ = 0;
    std::atomic<std::uint64_t> bodyBytes_ = 0;
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> connections_;     // guarded by mutex_: the open ones
    std::vector<std::thread> workers_; // guarded by mutex_
};

} // namespace zoq::bench
