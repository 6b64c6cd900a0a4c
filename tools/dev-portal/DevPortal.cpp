#include "tools/dev-portal/DevPortal.h"

#include "tools/dev-portal/PairingCode.h"
#include "tools/dev-portal/PortalError.h"
#include "tools/dev-portal/PortalState.h"

#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Support/SHA256.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "ZoqCore/Wire/UploadCreateRequest.h"
#include "ZoqCore/Wire/WireDocument.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <httplib.h>
#include <mutex>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace zoq::portal {

namespace {

namespace fs = std::filesystem;
using Object = JSONValue::Object;
using Array = JSONValue::Array;

constexpr std::size_t maxDocumentBytes = 1 << 20;
constexpr double attemptLifetimeSeconds = 86'400;
constexpr std::string_view stateFileName = "state.json";
constexpr std::string_view partialSuffix = ".partial";

/// One reply, before it is handed to cpp-httplib. `cutOff` sends the status and
/// headers and then drops the connection without the body: the client sees no
/// usable response although the portal acted on the request.
struct Reply {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool cutOff = false;
};

/// The canonical wire form of an instant: UTC, milliseconds truncated, "Z".
std::string timestampText(Date date) {
    const double unix = date.unixSeconds();
    const double whole = std::floor(unix);
    const int millis = std::clamp(static_cast<int>((unix - whole) * 1000), 0, 999);
    const std::time_t seconds = static_cast<std::time_t>(whole);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

/// 32 secure random bytes as unpadded base64url: bearer tokens and URL tokens.
std::string randomToken() {
    static constexpr std::string_view symbols =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    const Bytes bytes = secureRandomBytes(32);
    std::string token;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (const std::uint8_t byte : bytes) {
        buffer = (buffer << 8) | byte;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            token.push_back(symbols[(buffer >> bits) & 63]);
        }
    }
    if (bits > 0) {
        token.push_back(symbols[(buffer << (6 - bits)) & 63]);
    }
    return token;
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::int64_t integerField(const JSONValue& object, std::string_view key) {
    return *object.find(key)->integer();
}

std::string textField(const JSONValue& object, std::string_view key) {
    return *object.find(key)->string();
}

/// The size part `number` of an object of `byteSize` bytes must have.
std::int64_t expectedPartSize(std::int64_t byteSize, std::int64_t partCount, std::int64_t number) {
    return number < partCount ? PortalOptions::partSize
                              : byteSize - (partCount - 1) * PortalOptions::partSize;
}

/// Writes all of `data` to `fd`, looping over short writes.
void writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw CoreError::io("write", errno);
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

} // namespace

class DevPortal::Server {
public:
    Server(PortalOptions options, const CoreClock& clock, std::ostream* log);
    ~Server() { stop(); }

    int port() const noexcept { return port_; }
    std::string url() const { return baseURL_; }
    std::string pairingCode() const { return code_.display(); }
    PortalFaults faults() const {
        const std::lock_guard lock(mutex_);
        return faults_;
    }
    RefreshCounts refreshCounts() const {
        const std::lock_guard lock(mutex_);
        return refreshCounts_;
    }
    void setFaults(const PortalFaults& faults) {
        const std::lock_guard lock(mutex_);
        faults_ = faults;
    }
    void stop() noexcept;

private:
    // Routing glue.
    void route();
    using JSONEndpoint = Reply (Server::*)(const httplib::Request&, const std::string& body);
    void serveAPI(const httplib::Request& request, httplib::Response& response,
                  const httplib::ContentReader* reader, JSONEndpoint endpoint, bool authenticated);
    void servePut(const httplib::Request& request, httplib::Response& response,
                  const httplib::ContentReader& reader);
    static void deliver(const Reply& reply, httplib::Response& response);
    void report(const std::exception& failure);

    // Endpoints; each runs with `mutex_` held and saves what it changes.
    Reply pair(const httplib::Request& request, const std::string& body);
    Reply refresh(const httplib::Request& request, const std::string& body);
    Reply createUpload(const httplib::Request& request, const std::string& body);
    Reply uploadStatus(const httplib::Request& request, const std::string& body);
    Reply replaceAttempt(const httplib::Request& request, const std::string& body);
    Reply observedParts(const httplib::Request& request, const std::string& body);
    Reply signParts(const httplib::Request& request, const std::string& body);
    Reply completeUpload(const httplib::Request& request, const std::string& body);
    Reply adminFaults(const httplib::Request& request, const std::string& body);
    Reply adminUploads(const httplib::Request& request, const std::string& body);
    Reply adminRefreshes(const httplib::Request& request, const std::string& body);

    // Helpers, called with `mutex_` held.
    std::optional<Reply> authenticate(const httplib::Request& request);
    std::optional<Reply> unavailable();
    /// Waits out `PortalFaults::stallSeconds`.
    void stall();
    Reply document(int status, WireSchema schema, JSONValue value);
    /// A "verifying" answer with the pace asked for by --verifying-delay, if any.
    Reply pacedVerifying(Reply reply) const;
    Reply error(int status, std::string_view code, std::string message, std::string_view recovery,
                bool retryable = false, std::optional<std::int64_t> retryAfterMs = std::nullopt) const;
    JSONValue issueCredentials(PortalDevice& device);
    void openAttempt(PortalUpload& upload);
    JSONValue transfer(const PortalUpload& upload);
    std::string grant(const PortalUpload& upload, std::int64_t partNumber, Date& expiresAt);
    JSONValue statusValue(const PortalUpload& upload, bool withTransfer);
    PortalUpload* ownedUpload(const httplib::Request& request);
    fs::path attemptDirectory(const PortalUpload& upload) const;
    Reply assemble(PortalUpload& upload);
    void save();
    void load();

    PortalOptions options_;
    const CoreClock& clock_;
    std::ostream* log_;
    PairingCode code_;
    DurableIO io_;
    httplib::Server http_;
    std::thread thread_;
    int port_ = 0;
    std::string baseURL_;
    std::once_flag stopped_;

    mutable std::mutex mutex_;
    PortalState state_;              // guarded by mutex_
    PortalFaults faults_;            // guarded by mutex_
    std::mt19937_64 random_;         // guarded by mutex_
    PortalDevice* caller_ = nullptr; // guarded by mutex_: the authenticated device of the current call
    RefreshCounts refreshCounts_;    // guarded by mutex_; since this start
    std::mutex logMutex_;
};

DevPortal::Server::Server(PortalOptions options, const CoreClock& clock, std::ostream* log)
    : options_(std::move(options)), clock_(clock), log_(log),
      code_(options_.pairingCode ? PairingCode(*options_.pairingCode) : PairingCode::random()),
      faults_(options_.faults), random_(options_.seed) {
    if (options_.dataDirectory.empty()) {
        throw PortalError("a data directory is required");
    }
    if (options_.port < 0 || options_.port > 65535) {
        throw PortalError("port must be from 0 to 65535");
    }
    if (options_.multipartThreshold < 0 || options_.verifyingPolls < 0 ||
        !(options_.urlLifetimeSeconds > 0) || !(options_.accessLifetimeSeconds > 0) ||
        !(options_.refreshLifetimeSeconds > 0)) {
        throw PortalError("thresholds, polls and lifetimes must not be negative");
    }
    fs::create_directories(options_.dataDirectory / "objects");
    // Received recordings and bearer tokens are private to the user.
    fs::permissions(options_.dataDirectory, fs::perms::owner_all, fs::perm_options::replace);
    fs::permissions(options_.dataDirectory / "objects", fs::perms::owner_all, fs::perm_options::replace);
    load();

    route();
    // Enough workers for a device's concurrent calls plus idle keep-alive
    // connections of earlier clients.
    http_.new_task_queue = [] { return new httplib::ThreadPool(16); };
    // Stopping waits for idle keep-alive connections to time out; keep that short.
    http_.set_keep_alive_timeout(1);
    int listening = -1;
    http_.set_socket_options([&listening](int socket) {
        httplib::default_socket_options(socket);
        listening = socket;
    });
    port_ = options_.port == 0 ? http_.bind_to_any_port("127.0.0.1")
                               : (http_.bind_to_port("127.0.0.1", options_.port) ? options_.port : -1);
    if (port_ <= 0) {
        throw PortalError("cannot listen on 127.0.0.1:" + std::to_string(options_.port));
    }
    // cpp-httplib listens with a backlog of 5, which a burst of concurrent
    // clients overflows (they see connections reset); listening again only
    // raises the backlog.
    if (listening < 0 || ::listen(listening, 512) != 0) {
        throw PortalError("cannot listen on 127.0.0.1:" + std::to_string(port_));
    }
    http_.set_socket_options(httplib::default_socket_options);
    baseURL_ = "http://127.0.0.1:" + std::to_string(port_);
    thread_ = std::thread([this] { http_.listen_after_bind(); });
    // stop() only takes effect once the accept loop runs.
    while (!http_.is_running()) {
        std::this_thread::yield();
    }
}

void DevPortal::Server::stop() noexcept {
    std::call_once(stopped_, [this] {
        http_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    });
}

// MARK: - Persistence

void DevPortal::Server::load() {
    const fs::path file = options_.dataDirectory / stateFileName;
    if (io_.exists(file)) {
        try {
            state_ = PortalState::fromJSON(JSONValue::parse(io_.read(file, 0)));
        } catch (const JSONSyntaxError& syntax) {
            throw PortalError(std::string("state file: ") + syntax.what());
        }
    }
    // A PUT cut short by a stop or a crash leaves its staging file behind; it
    // was never acknowledged, so the device sends those bytes again.
    for (const auto& entry : fs::recursive_directory_iterator(options_.dataDirectory / "objects")) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name.ends_with(partialSuffix)) {
            fs::remove(entry.path());
        }
    }
}

void DevPortal::Server::save() {
    const Date now = clock_.wallDate();
    std::erase_if(state_.grants, [&](const auto& entry) { return entry.second.expiresAt + 3600 < now; });
    io_.atomic(viewOf(state_.json().canonicalText()), options_.dataDirectory / stateFileName);
}

// MARK: - Routing

void DevPortal::Server::route() {
    const auto api = [this](JSONEndpoint endpoint, bool authenticated) {
        return [this, endpoint, authenticated](const httplib::Request& request, httplib::Response& response) {
            serveAPI(request, response, nullptr, endpoint, authenticated);
        };
    };
    const auto apiWithBody = [this](JSONEndpoint endpoint, bool authenticated) {
        return [this, endpoint, authenticated](const httplib::Request& request, httplib::Response& response,
                                               const httplib::ContentReader& reader) {
            serveAPI(request, response, &reader, endpoint, authenticated);
        };
    };
    const std::string upload = R"(/api/v1/uploads/([^/]+))";
    http_.Post("/api/v1/devices/pair", apiWithBody(&Server::pair, false));
    http_.Post("/api/v1/devices/token/refresh", apiWithBody(&Server::refresh, false));
    http_.Post("/api/v1/uploads", apiWithBody(&Server::createUpload, true));
    http_.Get(upload, api(&Server::uploadStatus, true));
    http_.Post(upload + "/attempts", apiWithBody(&Server::replaceAttempt, true));
    http_.Get(upload + "/parts", api(&Server::observedParts, true));
    http_.Post(upload + "/parts", apiWithBody(&Server::signParts, true));
    http_.Post(upload + "/complete", apiWithBody(&Server::completeUpload, true));
    http_.Put(R"(/storage/([A-Za-z0-9_-]+))", [this](const httplib::Request& request,
                                                     httplib::Response& response,
                                                     const httplib::ContentReader& reader) {
        try {
            servePut(request, response, reader);
        } catch (const std::exception& failure) {
            report(failure);
            deliver(error(500, "storage_unavailable", "the development portal failed", "retry", true),
                    response);
        }
    });
    http_.Get("/dev/faults", api(&Server::adminFaults, false));
    http_.Post("/dev/faults", apiWithBody(&Server::adminFaults, false));
    http_.Get("/dev/uploads", api(&Server::adminUploads, false));
    http_.Get("/dev/refreshes", api(&Server::adminRefreshes, false));
    http_.set_error_handler([this](const httplib::Request&, httplib::Response& response) {
        if (response.status == 404 && response.body.empty()) {
            deliver(error(404, "not_found", "no such endpoint", "none"), response);
        }
    });
    http_.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
        if (log_ == nullptr) {
            return;
        }
        // Storage tokens are credentials: never written to the log.
        const std::string path = request.path.starts_with("/storage/") ? "/storage/..." : request.path;
        const std::lock_guard lock(logMutex_);
        *log_ << request.method << ' ' << path << ' ' << response.status << std::endl;
    });
}

void DevPortal::Server::deliver(const Reply& reply, httplib::Response& response) {
    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) {
        response.set_header(name, value);
    }
    if (reply.cutOff) {
        // The headers announce a body that never comes: the connection is
        // dropped after them, and the client has no response to act on.
        response.set_content_provider(std::max<std::size_t>(reply.body.size(), 1), "application/json",
                                      [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
        return;
    }
    response.set_content(reply.body, "application/json");
}

void DevPortal::Server::serveAPI(const httplib::Request& request, httplib::Response& response,
                                 const httplib::ContentReader* reader, JSONEndpoint endpoint,
                                 bool authenticated) {
    std::string body;
    bool tooLarge = false;
    if (reader != nullptr) {
        (*reader)([&](const char* data, std::size_t length) {
            if (body.size() + length > maxDocumentBytes) {
                tooLarge = true;
                return false;
            }
            body.append(data, length);
            return true;
        });
    }
    if (authenticated) {
        stall();
    }
    const std::lock_guard lock(mutex_);
    Reply reply;
    try {
        caller_ = nullptr;
        if (tooLarge) {
            reply = error(413, "file_too_large", "documents are at most 1 MiB", "correct_request");
        } else if (auto refusal = authenticated ? unavailable() : std::nullopt) {
            // Outages hit the upload API and storage only: the device takes any
            // refresh reply but 200 as final and would have to pair again.
            reply = *refusal;
        } else if (auto denied = authenticated ? authenticate(request) : std::nullopt) {
            reply = *denied;
        } else {
            reply = (this->*endpoint)(request, body);
        }
    } catch (const std::exception& failure) {
        report(failure);
        reply = error(500, "storage_unavailable", "the development portal failed", "retry", true);
    }
    deliver(reply, response);
}

// MARK: - Replies

void DevPortal::Server::report(const std::exception& failure) {
    // A fault of the portal itself (a full disk, a bug): say so and keep serving.
    if (log_ != nullptr) {
        const std::lock_guard lock(logMutex_);
        *log_ << "portal error: " << failure.what() << std::endl;
    }
}

void DevPortal::Server::stall() {
    double seconds = 0;
    {
        const std::lock_guard lock(mutex_);
        seconds = faults_.stallSeconds;
    }
    // Outside the lock: the other requests (pairing, the admin endpoints)
    // are answered meanwhile.
    if (seconds > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
}

std::optional<Reply> DevPortal::Server::unavailable() {
    if (faults_.unavailableRate <= 0 ||
        std::uniform_real_distribution<double>(0, 1)(random_) >= faults_.unavailableRate) {
        return std::nullopt;
    }
    Reply reply = error(503, "temporarily_unavailable", "injected outage", "retry", true,
                        faults_.retryAfterSeconds * 1000);
    reply.headers.emplace_back("retry-after", std::to_string(faults_.retryAfterSeconds));
    return reply;
}

Reply DevPortal::Server::pacedVerifying(Reply reply) const {
    if (options_.verifyingDelaySeconds) {
        reply.headers.emplace_back("retry-after", std::to_string(*options_.verifyingDelaySeconds));
    }
    return reply;
}

Reply DevPortal::Server::document(int status, WireSchema schema, JSONValue value) {
    // Validation throws for a reply the device would refuse: a portal bug,
    // answered as a 500 by serveAPI rather than sent.
    JSONValue checked = WireDocument(schema, value).value();
    if (faults_.malformedReplies > 0) {
        --faults_.malformedReplies;
        Object broken = *checked.object();
        broken.emplace("unexpectedKey", true);
        checked = JSONValue(std::move(broken));
    }
    return {status, checked.canonicalText(), {}, false};
}

Reply DevPortal::Server::error(int status, std::string_view code, std::string message,
                               std::string_view recovery, bool retryable,
                               std::optional<std::int64_t> retryAfterMs) const {
    const JSONValue envelope =
        Object{{"error", Object{{"code", std::string(code)},
                                {"message", std::move(message)},
                                {"recovery", std::string(recovery)},
                                {"requestId", makeUUID()},
                                {"retryAfterMs", retryAfterMs ? JSONValue(*retryAfterMs) : JSONValue()},
                                {"retryable", retryable}}}};
    return {status, WireDocument(WireSchema::errorEnvelope, envelope).value().canonicalText(), {}, false};
}

// MARK: - Devices

std::optional<Reply> DevPortal::Server::authenticate(const httplib::Request& request) {
    const std::string header = request.get_header_value("authorization");
    static constexpr std::string_view scheme = "Bearer ";
    if (!header.starts_with(scheme) || header.size() == scheme.size()) {
        return error(401, "authentication_required", "a bearer access token is required", "reauthenticate");
    }
    const std::string token = header.substr(scheme.size());
    const auto found = std::find_if(state_.devices.begin(), state_.devices.end(),
                                    [&](const auto& entry) { return entry.second.accessToken == token; });
    if (found == state_.devices.end() || clock_.wallDate() >= found->second.accessExpiresAt) {
        return error(401, "token_expired", "the access token is unknown, replaced or expired",
                     "reauthenticate");
    }
    PortalDevice& device = found->second;
    if (!device.accessTokenUsed) {
        device.accessTokenUsed = true;
        if (faults_.unauthorizedFirstUse && !device.spareFirstUse) {
            device.firstUseRefused = true;
            save();
            return error(401, "token_expired", "injected refusal of a fresh access token", "reauthenticate");
        }
        save();
    }
    caller_ = &device;
    return std::nullopt;
}

JSONValue DevPortal::Server::issueCredentials(PortalDevice& device) {
    const Date now = clock_.wallDate();
    device.accessToken = randomToken();
    device.accessExpiresAt = now + options_.accessLifetimeSeconds;
    device.refreshToken = randomToken();
    device.refreshExpiresAt = now + options_.refreshLifetimeSeconds;
    device.accessTokenUsed = false;
    const JSONValue credentials = Object{
        {"accessExpiresAt", timestampText(device.accessExpiresAt)},
        {"accessToken", device.accessToken},
        {"deviceId", device.deviceId},
        {"refreshExpiresAt", timestampText(device.refreshExpiresAt)},
        {"refreshToken", device.refreshToken},
        {"scopes", Array{"devices:self", "uploads:create", "uploads:manage-own"}},
    };
    return WireDocument(WireSchema::deviceCredentialsResponse, credentials).value();
}

Reply DevPortal::Server::pair(const httplib::Request&, const std::string& body) {
    std::optional<WireDocument> redeem;
    try {
        redeem.emplace(WireSchema::pairingRedeemRequest, viewOf(body));
    } catch (const std::exception& refused) {
        return error(400, "invalid_json", refused.what(), "correct_request");
    }
    const JSONValue& request = redeem->value();
    const std::string nonce = textField(request, "redemptionNonce");
    // The same redemption sent again (its reply was lost) gets the same
    // credentials instead of a second device.
    if (const auto replay = state_.pairings.find(nonce); replay != state_.pairings.end()) {
        return document(200, WireSchema::deviceCredentialsResponse, replay->second);
    }
    if (textField(request, "code") != code_.normalized()) {
        return error(404, "invalid_pairing_code", "no such pairing code", "correct_request");
    }
    // An installation that pairs again stays the same device: its recordings
    // stay its own, and the credentials it held until now are replaced.
    const std::string installation = lowercase(textField(request, "installationId"));
    auto known = std::find_if(state_.devices.begin(), state_.devices.end(),
                              [&](const auto& entry) { return entry.second.installationId == installation; });
    if (known == state_.devices.end()) {
        PortalDevice device;
        device.deviceId = makeUUID();
        device.installationId = installation;
        known = state_.devices.emplace(device.deviceId, device).first;
    } else {
        known->second.retiredRefreshTokens.push_back(known->second.refreshToken);
        known->second.firstUseRefused = known->second.spareFirstUse = false;
    }
    const JSONValue credentials = issueCredentials(known->second);
    state_.pairings.emplace(nonce, credentials);
    save();
    return document(200, WireSchema::deviceCredentialsResponse, credentials);
}

Reply DevPortal::Server::refresh(const httplib::Request&, const std::string& body) {
    std::optional<WireDocument> request;
    try {
        request.emplace(WireSchema::deviceRefreshRequest, viewOf(body));
    } catch (const std::exception& refused) {
        return error(400, "invalid_json", refused.what(), "correct_request");
    }
    const std::string token = textField(request->value(), "refreshToken");
    const std::string requestId = lowercase(textField(request->value(), "requestId"));
    const auto cut = [this](Reply reply) {
        if (faults_.loseRefreshReplies > 0) {
            --faults_.loseRefreshReplies;
            reply.cutOff = true;
        }
        return reply;
    };

    // A resent refresh (same request id, same token) is the same refresh: it
    // gets the credentials the first one produced, even after the rotation.
    if (const auto answered = state_.refreshes.find(requestId); answered != state_.refreshes.end()) {
        if (answered->second.refreshToken != token) {
            ++refreshCounts_.unknownToken;
            return error(401, "authentication_required", "request id already used with another token",
                         "reauthenticate");
        }
        ++refreshCounts_.resent;
        return cut(document(200, WireSchema::deviceCredentialsResponse, answered->second.credentials));
    }
    const auto found = std::find_if(state_.devices.begin(), state_.devices.end(),
                                    [&](const auto& entry) { return entry.second.refreshToken == token; });
    if (found == state_.devices.end()) {
        const bool retired =
            std::any_of(state_.devices.begin(), state_.devices.end(), [&](const auto& entry) {
                const auto& old = entry.second.retiredRefreshTokens;
                return std::find(old.begin(), old.end(), token) != old.end();
            });
        ++(retired ? refreshCounts_.retiredToken : refreshCounts_.unknownToken);
        return retired ? error(401, "token_expired", "the refresh token was replaced by a rotation",
                               "reauthenticate")
                       : error(401, "authentication_required", "unknown refresh token", "reauthenticate");
    }
    PortalDevice& device = found->second;
    if (clock_.wallDate() >= device.refreshExpiresAt) {
        return error(401, "token_expired", "the refresh token has expired", "reauthenticate");
    }
    device.retiredRefreshTokens.push_back(device.refreshToken);
    // A refresh that answers the first-use fault yields a token the fault
    // spares, so the device always recovers with one refresh.
    device.spareFirstUse = device.firstUseRefused;
    device.firstUseRefused = false;
    const JSONValue credentials = issueCredentials(device);
    state_.refreshes.emplace(requestId, AnsweredRefresh{token, credentials});
    save();
    ++refreshCounts_.rotated;
    return cut(document(200, WireSchema::deviceCredentialsResponse, credentials));
}

// MARK: - Uploads

void DevPortal::Server::openAttempt(PortalUpload& upload) {
    const std::int64_t byteSize = integerField(upload.metadata, "byteSize");
    if (!upload.attemptId.empty()) {
        std::error_code ignored;
        fs::remove_all(attemptDirectory(upload), ignored);
    }
    upload.attemptId = makeUUID();
    upload.attemptExpiresAt = clock_.wallDate() + attemptLifetimeSeconds;
    upload.multipart = byteSize > options_.multipartThreshold;
    upload.partCount =
        upload.multipart ? (byteSize + PortalOptions::partSize - 1) / PortalOptions::partSize : 1;
    upload.parts.clear();
    upload.state = "pending";
    ++upload.attempts;
}

fs::path DevPortal::Server::attemptDirectory(const PortalUpload& upload) const {
    return options_.dataDirectory / "objects" / upload.uploadId / upload.attemptId;
}

std::string DevPortal::Server::grant(const PortalUpload& upload, std::int64_t partNumber, Date& expiresAt) {
    const double lifetime =
        faults_.urlLifetimeSeconds > 0 ? faults_.urlLifetimeSeconds : options_.urlLifetimeSeconds;
    expiresAt = clock_.wallDate() + lifetime;
    const std::string token = randomToken();
    state_.grants.emplace(token, StorageGrant{upload.uploadId, upload.attemptId, partNumber, expiresAt});
    return baseURL_ + "/storage/" + token;
}

JSONValue DevPortal::Server::transfer(const PortalUpload& upload) {
    if (upload.multipart) {
        return Object{{"mode", "multipart"},
                      {"partCount", upload.partCount},
                      {"partSizeBytes", PortalOptions::partSize}};
    }
    Date expiresAt;
    const std::string url = grant(upload, 0, expiresAt);
    return Object{{"headers", Object{{"content-type", "application/octet-stream"}}},
                  {"method", "PUT"},
                  {"mode", "single"},
                  {"url", url},
                  {"urlExpiresAt", timestampText(expiresAt)}};
}

JSONValue DevPortal::Server::statusValue(const PortalUpload& upload, bool withTransfer) {
    Object value{{"error", nullptr},
                 {"recordingId", upload.recordingId},
                 {"state", upload.state},
                 {"stored", nullptr},
                 {"uploadId", upload.uploadId}};
    value.emplace("attemptId", upload.attemptId);
    if (upload.state == "pending" && withTransfer) {
        value.emplace("expiresAt", timestampText(upload.attemptExpiresAt));
        value.emplace("transfer", transfer(upload));
    }
    if (upload.state == "stored") {
        value["stored"] = Object{{"byteSize", *upload.receivedByteSize},
                                 {"sha256", *upload.receivedSHA256},
                                 {"storedAt", timestampText(*upload.storedAt)}};
    }
    return value;
}

PortalUpload* DevPortal::Server::ownedUpload(const httplib::Request& request) {
    const auto found = state_.uploads.find(lowercase(request.matches[1].str()));
    if (found == state_.uploads.end() || found->second.deviceId != caller_->deviceId) {
        return nullptr;
    }
    return &found->second;
}

Reply DevPortal::Server::createUpload(const httplib::Request& request, const std::string& body) {
    std::optional<UploadCreateRequest> metadata;
    try {
        metadata.emplace(UploadCreateRequest::fromBytes(viewOf(body)));
    } catch (const JSONSyntaxError& syntax) {
        return error(400, "invalid_json", syntax.what(), "correct_request");
    } catch (const CoreError& refused) {
        return error(400, "invalid_metadata", refused.reason(), "correct_request");
    }
    const std::string key = request.get_header_value("idempotency-key");
    try {
        WireDocument(WireSchema::idempotencyKey, JSONValue(key));
    } catch (const CoreError&) {
        return error(400, "invalid_idempotency_key", "idempotency-key is not SHA-256 \":\" device id",
                     "correct_request");
    }
    if (key != metadata->idempotencyKey()) {
        return error(400, "invalid_idempotency_key", "idempotency-key does not name this recording",
                     "correct_request");
    }
    if (lowercase(metadata->deviceId()) != caller_->deviceId) {
        return error(403, "scope_denied", "a device uploads only its own recordings", "none");
    }
    const auto existing = std::find_if(state_.uploads.begin(), state_.uploads.end(),
                                       [&](const auto& entry) { return entry.second.idempotencyKey == key; });
    if (existing != state_.uploads.end()) {
        PortalUpload& upload = existing->second;
        if (upload.metadata != metadata->json()) {
            return error(409, "metadata_conflict", "this recording was created with other metadata",
                         "correct_request");
        }
        const bool pending = upload.state == "pending";
        Reply reply = pending ? document(201, WireSchema::uploadPendingResponse, statusValue(upload, true))
                              : document(200, WireSchema::uploadCreateResponse, statusValue(upload, false));
        save();
        return reply;
    }
    PortalUpload upload;
    upload.uploadId = makeUUID();
    upload.recordingId = makeUUID();
    upload.deviceId = caller_->deviceId;
    upload.idempotencyKey = key;
    upload.metadata = metadata->json();
    openAttempt(upload);
    const auto& stored = state_.uploads.emplace(upload.uploadId, std::move(upload)).first->second;
    Reply reply = document(201, WireSchema::uploadPendingResponse, statusValue(stored, true));
    save();
    return reply;
}

Reply DevPortal::Server::uploadStatus(const httplib::Request& request, const std::string&) {
    PortalUpload* upload = ownedUpload(request);
    if (upload == nullptr) {
        return error(404, "not_found", "no such upload", "none");
    }
    if (upload->state == "verifying") {
        if (upload->pollsLeft > 0) {
            --upload->pollsLeft;
            save();
            return pacedVerifying(
                document(202, WireSchema::uploadCompleteResponse, statusValue(*upload, false)));
        }
        upload->state = "stored";
        upload->storedAt = clock_.wallDate();
        ++upload->storedCount;
    }
    Reply reply = document(200, WireSchema::uploadStatusResponse, statusValue(*upload, true));
    save();
    return reply;
}

Reply DevPortal::Server::replaceAttempt(const httplib::Request& request, const std::string& body) {
    try {
        WireDocument(WireSchema::uploadAttemptsRequest, viewOf(body));
    } catch (const std::exception& refused) {
        return error(400, "invalid_json", refused.what(), "correct_request");
    }
    PortalUpload* upload = ownedUpload(request);
    if (upload == nullptr) {
        return error(404, "not_found", "no such upload", "none");
    }
    if (upload->state != "pending") {
        return document(200, WireSchema::uploadStatusResponse, statusValue(*upload, false));
    }
    openAttempt(*upload);
    Reply reply = document(201, WireSchema::uploadPendingResponse, statusValue(*upload, true));
    save();
    return reply;
}

Reply DevPortal::Server::observedParts(const httplib::Request& request, const std::string&) {
    Object query;
    if (request.has_param("attemptId")) {
        query.emplace("attemptId", request.get_param_value("attemptId"));
    }
    try {
        WireDocument(WireSchema::uploadPartsQuery, JSONValue(std::move(query)));
    } catch (const CoreError& refused) {
        return error(400, "invalid_json", "attemptId query: " + refused.reason(), "correct_request");
    }
    PortalUpload* upload = ownedUpload(request);
    if (upload == nullptr) {
        return error(404, "not_found", "no such upload", "none");
    }
    if (upload->state != "pending" || lowercase(request.get_param_value("attemptId")) != upload->attemptId) {
        return error(410, "upload_expired", "that attempt is no longer open", "restart_upload");
    }
    if (!upload->multipart) {
        return error(400, "invalid_json", "a single transfer has no parts", "correct_request");
    }
    Array parts;
    for (const auto& [number, part] : upload->parts) {
        parts.push_back(Object{{"byteSize", part.byteSize}, {"etag", part.etag}, {"partNumber", number}});
    }
    return document(200, WireSchema::uploadObservedPartsResponse, Object{{"parts", std::move(parts)}});
}

Reply DevPortal::Server::signParts(const httplib::Request& request, const std::string& body) {
    std::optional<WireDocument> asked;
    try {
        asked.emplace(WireSchema::uploadPartsRequest, viewOf(body));
    } catch (const std::exception& refused) {
        return error(400, "invalid_json", refused.what(), "correct_request");
    }
    PortalUpload* upload = ownedUpload(request);
    if (upload == nullptr) {
        return error(404, "not_found", "no such upload", "none");
    }
    if (upload->state != "pending" ||
        lowercase(textField(asked->value(), "attemptId")) != upload->attemptId) {
        return error(410, "upload_expired", "that attempt is no longer open", "restart_upload");
    }
    if (!upload->multipart) {
        return error(400, "invalid_json", "a single transfer has no parts", "correct_request");
    }
    Array parts;
    for (const JSONValue& number : *asked->value().find("partNumbers")->array()) {
        const std::int64_t partNumber = *number.integer();
        if (partNumber > upload->partCount) {
            return error(400, "invalid_json", "part number beyond partCount", "correct_request");
        }
        Date expiresAt;
        const std::string url = grant(*upload, partNumber, expiresAt);
        parts.push_back(Object{{"headers", Object{}},
                               {"partNumber", partNumber},
                               {"url", url},
                               {"urlExpiresAt", timestampText(expiresAt)}});
    }
    Reply reply = document(200, WireSchema::uploadPartsResponse, Object{{"parts", std::move(parts)}});
    save();
    return reply;
}

Reply DevPortal::Server::completeUpload(const httplib::Request& request, const std::string& body) {
    std::optional<WireDocument> complete;
    try {
        complete.emplace(WireSchema::uploadCompleteRequest, viewOf(body));
    } catch (const std::exception& refused) {
        return error(400, "invalid_json", refused.what(), "correct_request");
    }
    PortalUpload* upload = ownedUpload(request);
    if (upload == nullptr) {
        return error(404, "not_found", "no such upload", "none");
    }
    // A completion sent again after it took effect (its reply was lost) is
    // answered as the first one was; the status polls tell the rest.
    if (upload->state != "pending") {
        JSONValue value = statusValue(*upload, false);
        Object verifying = *value.object();
        verifying["state"] = "verifying";
        verifying["stored"] = nullptr;
        return pacedVerifying(document(200, WireSchema::uploadCompleteResponse, std::move(verifying)));
    }
    if (lowercase(textField(complete->value(), "attemptId")) != upload->attemptId) {
        return error(410, "upload_expired", "that attempt is no longer open", "restart_upload");
    }
    if (faults_.uploadExpiredOnce && !upload->expiredOnce) {
        upload->expiredOnce = true;
        // The attempt the device holds is void; it has to open a new one.
        openAttempt(*upload);
        save();
        return error(410, "upload_expired", "injected expiry of the attempt", "restart_upload");
    }
    const JSONValue* listed = complete->value().find("parts");
    if (!upload->multipart) {
        if (listed != nullptr) {
            return error(409, "complete_manifest_conflict", "a single transfer completes without parts",
                         "correct_request");
        }
        if (!upload->parts.contains(0)) {
            return error(409, "upload_incomplete", "the object has not been received", "retry");
        }
    } else {
        if (listed == nullptr) {
            return error(409, "complete_manifest_conflict", "a multipart transfer completes with its parts",
                         "correct_request");
        }
        if (static_cast<std::int64_t>(upload->parts.size()) != upload->partCount) {
            return error(409, "upload_incomplete", "not every part has been received", "retry");
        }
        const Array& parts = *listed->array();
        if (static_cast<std::int64_t>(parts.size()) != upload->partCount) {
            return error(409, "complete_manifest_conflict", "the parts listed are not the parts held",
                         "correct_request");
        }
        for (const JSONValue& part : parts) {
            const auto held = upload->parts.find(integerField(part, "partNumber"));
            if (held == upload->parts.end() || held->second.etag != textField(part, "etag")) {
                return error(409, "complete_manifest_conflict", "the parts listed are not the parts held",
                             "correct_request");
            }
        }
    }
    return assemble(*upload);
}

Reply DevPortal::Server::assemble(PortalUpload& upload) {
    const fs::path directory = attemptDirectory(upload);
    const fs::path object = options_.dataDirectory / "objects" / upload.uploadId / "object";
    const fs::path staging = object.string() + std::string(partialSuffix);
    SHA256 digest;
    std::int64_t size = 0;
    {
        FileDescriptor out = io_.open(staging, O_WRONLY | O_CREAT | O_TRUNC);
        for (const auto& [number, part] : upload.parts) {
            const fs::path piece =
                directory / (number == 0 ? std::string("single") : "part-" + std::to_string(number));
            for (std::int64_t offset = 0; offset < part.byteSize; offset += DurableIO::chunkSize) {
                const Bytes chunk =
                    io_.read(piece, offset, std::min(DurableIO::chunkSize, part.byteSize - offset));
                if (chunk.empty()) {
                    throw CoreError::corrupt("part truncated");
                }
                digest.update(chunk);
                writeAll(out.get(), reinterpret_cast<const char*>(chunk.data()), chunk.size());
                size += static_cast<std::int64_t>(chunk.size());
            }
        }
        if (::fsync(out.get()) != 0) {
            throw CoreError::io("fsync", errno);
        }
        out.close();
    }
    const std::string sha = digest.hexDigest();
    if (size != integerField(upload.metadata, "byteSize") || sha != textField(upload.metadata, "sha256")) {
        io_.remove(staging);
        const bool sizeWrong = size != integerField(upload.metadata, "byteSize");
        return error(400, sizeWrong ? "size_mismatch" : "checksum_mismatch",
                     sizeWrong ? "the parts do not add up to byteSize" : "the bytes do not hash to sha256",
                     "correct_request");
    }
    io_.rename(staging, object);
    io_.sync(object.parent_path(), true);
    upload.receivedSHA256 = sha;
    upload.receivedByteSize = size;
    upload.state = "verifying";
    upload.pollsLeft = options_.verifyingPolls;
    save();
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    return pacedVerifying(document(200, WireSchema::uploadCompleteResponse, statusValue(upload, false)));
}

// MARK: - Storage

void DevPortal::Server::servePut(const httplib::Request& request, httplib::Response& response,
                                 const httplib::ContentReader& reader) {
    const std::string token = request.matches[1].str();
    const auto discard = [&] { reader([](const char*, std::size_t) { return true; }); };
    const auto refuse = [&](const std::string& why) {
        return error(403, "scope_denied", why, "restart_upload");
    };

    stall();
    fs::path staging;
    fs::path final;
    std::int64_t expected = 0;
    std::optional<std::string> expectedSHA;
    StorageGrant target;
    {
        const std::lock_guard lock(mutex_);
        std::optional<Reply> early = unavailable();
        const auto found = state_.grants.find(token);
        if (!early && (found == state_.grants.end() || clock_.wallDate() >= found->second.expiresAt)) {
            early = refuse("the presigned URL is unknown or has expired");
        }
        if (!early) {
            target = found->second;
            const auto upload = state_.uploads.find(target.uploadId);
            if (upload == state_.uploads.end() || upload->second.state != "pending" ||
                upload->second.attemptId != target.attemptId) {
                early = refuse("the attempt of this URL is no longer open");
            } else {
                const PortalUpload& held = upload->second;
                const std::int64_t byteSize = integerField(held.metadata, "byteSize");
                expected = target.partNumber == 0
                               ? byteSize
                               : expectedPartSize(byteSize, held.partCount, target.partNumber);
                if (target.partNumber == 0) {
                    expectedSHA = textField(held.metadata, "sha256");
                }
                const fs::path directory = attemptDirectory(held);
                fs::create_directories(directory);
                final = directory / (target.partNumber == 0 ? std::string("single")
                                                            : "part-" + std::to_string(target.partNumber));
                staging = final.string() + "." + makeUUID() + std::string(partialSuffix);
            }
        }
        if (early) {
            discard();
            deliver(*early, response);
            return;
        }
    }

    // The body streams to disk and into the hash without the lock; nothing
    // beyond the expected size is written, but all of it is read and counted.
    SHA256 digest;
    std::int64_t received = 0;
    std::optional<CoreError> failure;
    {
        FileDescriptor out = io_.open(staging, O_WRONLY | O_CREAT | O_EXCL);
        reader([&](const char* data, std::size_t length) {
            const auto room = static_cast<std::size_t>(std::max<std::int64_t>(expected - received, 0));
            const std::size_t kept = std::min(room, length);
            if (!failure && kept > 0) {
                try {
                    writeAll(out.get(), data, kept);
                } catch (const CoreError& error) {
                    failure = error;
                }
            }
            digest.update(ByteView(reinterpret_cast<const std::uint8_t*>(data), length));
            received += static_cast<std::int64_t>(length);
            return true;
        });
        if (!failure && ::fsync(out.get()) != 0) {
            failure = CoreError::io("fsync", errno);
        }
        out.close();
    }
    const std::string sha = digest.hexDigest();

    const std::lock_guard lock(mutex_);
    Reply reply;
    const auto upload = state_.uploads.find(target.uploadId);
    if (failure) {
        reply = error(500, "storage_unavailable", failure->reason(), "retry", true);
    } else if (upload == state_.uploads.end() || upload->second.state != "pending" ||
               upload->second.attemptId != target.attemptId) {
        reply = refuse("the attempt of this URL was replaced while the body arrived");
    } else if (received != expected) {
        reply = error(400, "size_mismatch",
                      "expected " + std::to_string(expected) + " bytes, received " + std::to_string(received),
                      "correct_request");
    } else if (expectedSHA && sha != *expectedSHA) {
        reply = error(400, "checksum_mismatch", "the bytes do not hash to the upload's sha256",
                      "correct_request");
    }
    if (reply.status != 200) {
        std::error_code ignored;
        fs::remove(staging, ignored);
        deliver(reply, response);
        return;
    }
    PortalUpload& held = upload->second;
    io_.rename(staging, final);
    io_.sync(final.parent_path(), true);
    const std::string etag = "\"" + sha.substr(0, 32) + "\"";
    held.parts[target.partNumber] = PortalPart{target.partNumber, received, sha, etag};
    reply.body = "";
    reply.headers.emplace_back("etag", etag);
    if (faults_.partsAlreadyHeld && target.partNumber > 0 &&
        !held.withheldParts.contains(target.partNumber)) {
        held.withheldParts.insert(target.partNumber);
        reply.cutOff = true;
    }
    save();
    deliver(reply, response);
}

// MARK: - Admin

Reply DevPortal::Server::adminFaults(const httplib::Request& request, const std::string& body) {
    if (request.method == "POST") {
        try {
            faults_.apply(JSONValue::parse(body));
        } catch (const JSONSyntaxError& syntax) {
            return {400, JSONValue(Object{{"error", syntax.what()}}).canonicalText(), {}, false};
        } catch (const PortalError& refused) {
            return {400, JSONValue(Object{{"error", refused.what()}}).canonicalText(), {}, false};
        }
    }
    return {200, faults_.json().canonicalText(), {}, false};
}

Reply DevPortal::Server::adminUploads(const httplib::Request&, const std::string&) {
    Array uploads;
    for (const auto& [id, upload] : state_.uploads) {
        const auto optionalText = [](const std::optional<std::string>& text) {
            return text ? JSONValue(*text) : JSONValue();
        };
        uploads.push_back(Object{
            {"attempts", upload.attempts},
            {"byteSize", integerField(upload.metadata, "byteSize")},
            {"deviceId", upload.deviceId},
            {"idempotencyKey", upload.idempotencyKey},
            {"multipart", upload.multipart},
            {"partCount", upload.partCount},
            {"receivedByteSize", upload.receivedByteSize ? JSONValue(*upload.receivedByteSize) : JSONValue()},
            {"receivedSHA256", optionalText(upload.receivedSHA256)},
            {"recordingId", upload.recordingId},
            {"sha256", textField(upload.metadata, "sha256")},
            {"state", upload.state},
            {"storedCount", upload.storedCount},
            {"uploadId", upload.uploadId},
        });
    }
    return {200, JSONValue(Object{{"uploads", std::move(uploads)}}).canonicalText(), {}, false};
}

Reply DevPortal::Server::adminRefreshes(const httplib::Request&, const std::string&) {
    return {200, refreshCounts_.json().canonicalText(), {}, false};
}

// MARK: - DevPortal

DevPortal::DevPortal(PortalOptions options, const CoreClock& clock, std::ostream* log)
    : server_(std::make_unique<Server>(std::move(options), clock, log)) {}

DevPortal::~DevPortal() = default;

int DevPortal::port() const noexcept {
    return server_->port();
}
std::string DevPortal::url() const {
    return server_->url();
}
std::string DevPortal::pairingCode() const {
    return server_->pairingCode();
}
RefreshCounts DevPortal::refreshCounts() const {
    return server_->refreshCounts();
}
PortalFaults DevPortal::faults() const {
    return server_->faults();
}
void DevPortal::setFaults(const PortalFaults& faults) {
    server_->setFaults(faults);
}
void DevPortal::stop() noexcept {
    server_->stop();
}

} // namespace zoq::portal
