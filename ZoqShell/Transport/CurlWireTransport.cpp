#include "ZoqShell/Transport/CurlWireTransport.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Transport/CurlHandles.h"
#include "ZoqShell/Transport/FileRangeReader.h"
#include "ZoqShell/Transport/TransportUnavailable.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <openssl/x509_vfy.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zoq {

namespace {

// Large enough that a streamed upload makes few read and send calls; libcurl
// allows up to 2 MiB.
constexpr long uploadBufferBytes = 512 * 1024;

// Idle handles kept for reuse; more concurrent calls simply make more handles.
constexpr std::size_t pooledHandles = 8;

void initialiseLibcurlOnce() {
    static const CURLcode status = curl::library().global_init(CURL_GLOBAL_DEFAULT);
    if (status != CURLE_OK) {
        throw TransportUnavailable::network(std::string("libcurl initialisation failed: ") +
                                            curl::library().easy_strerror(status));
    }
}

char lowered(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowered(x) == lowered(y); });
}

// The token characters of HTTP field names and methods.
bool isToken(std::string_view text) {
    static constexpr std::string_view punctuation = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               punctuation.find(c) != std::string_view::npos;
    });
}

// A value must not end the header line early or smuggle in another one.
bool isFieldValue(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool isFramingHeader(std::string_view name) {
    return equalsIgnoringCase(name, "content-length") || equalsIgnoringCase(name, "transfer-encoding") ||
           equalsIgnoringCase(name, "expect");
}

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

void checkRequest(const TransportRequest& request) {
    if (!isToken(request.method)) {
        throw CoreError::invalid("request method");
    }
    for (const auto& [name, value] : request.headers) {
        if (!isToken(name) || !isFieldValue(value)) {
            throw CoreError::invalid("request header");
        }
    }
    if (request.method == "HEAD" && !request.body.isNone()) {
        throw CoreError::invalid("request body");
    }
}

// The URL's scheme as written (RFC 3986: a letter, then letters, digits, '+',
// '-' or '.', ended by ':'), or empty when the text starts with none.
std::string_view schemeOf(std::string_view url) {
    const auto colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        return {};
    }
    const std::string_view scheme = url.substr(0, colon);
    const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!isLetter(scheme.front()) || !std::all_of(scheme.begin(), scheme.end(), [&](char c) {
            return isLetter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        })) {
        return {};
    }
    return scheme;
}

// Refuses every scheme but http and https before a connection is even
// attempted, then parses the URL with libcurl's own parser, the one the
// transfer uses.
curl::Url parseURL(const std::string& text) {
    const std::string_view scheme = schemeOf(text);
    if (scheme.empty()) {
        throw CoreError::invalid("request URL");
    }
    if (!equalsIgnoringCase(scheme, "http") && !equalsIgnoringCase(scheme, "https")) {
        throw TransportUnavailable::network("non-HTTP response");
    }
    curl::Url url(curl::library().url());
    if (!url) {
        throw std::bad_alloc();
    }
    if (curl::library().url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        throw CoreError::invalid("request URL");
    }
    return url;
}

// Everything one call shares with libcurl's callbacks. The callbacks are C
// entry points: they catch everything and report through this object.
struct Exchange {
    const Bytes* bytes = nullptr;
    std::optional<FileRangeReader> file;
    std::int64_t bodySize = 0;
    std::int64_t position = 0;
    std::optional<TransportUnavailable> bodyFailure;

    TransportResponse response;
    bool headersComplete = false;
    std::string lastHeader;
    bool responseTooLarge = false;

    std::array<char, CURL_ERROR_SIZE> errorText{};
    const std::atomic<bool>* cancelled = nullptr;

    void addHeader(std::string_view line) {
        if (line.starts_with("HTTP/")) {
            // A new response (after an interim 1xx, or a proxy's CONNECT reply):
            // only the last one counts.
            response.headers.clear();
            headersComplete = false;
            lastHeader.clear();
            return;
        }
        if (headersComplete) {
            return; // trailers after a chunked body
        }
        if (trimmed(line).empty()) {
            headersComplete = true;
            return;
        }
        if (line.front() == ' ' || line.front() == '\t') {
            // An obsolete folded continuation of the previous field.
            if (const auto field = response.headers.find(lastHeader); field != response.headers.end()) {
                field->second += ' ';
                field->second += trimmed(line);
            }
            return;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            return;
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        for (auto& [key, existing] : response.headers) {
            if (equalsIgnoringCase(key, name)) {
                existing += ", ";
                existing += value;
                lastHeader = key;
                return;
            }
        }
        lastHeader = std::string(name);
        response.headers.emplace(lastHeader, std::string(value));
    }
};

size_t readBody(char* buffer, size_t size, size_t count, void* context) {
    auto& exchange = *static_cast<Exchange*>(context);
    try {
        const std::span<std::uint8_t> target(reinterpret_cast<std::uint8_t*>(buffer), size * count);
        std::size_t copied = 0;
        if (exchange.file) {
            copied = exchange.file->read(exchange.position, target);
        } else if (exchange.bytes != nullptr) {
            const auto start = static_cast<std::size_t>(exchange.position);
            copied = std::min(target.size(), exchange.bytes->size() - start);
            std::memcpy(target.data(), exchange.bytes->data() + start, copied);
        }
        exchange.position += static_cast<std::int64_t>(copied);
        return copied;
    } catch (const TransportUnavailable& error) {
        exchange.bodyFailure = error;
    } catch (...) {
        exchange.bodyFailure = TransportUnavailable::network("request body could not be read");
    }
    return CURL_READFUNC_ABORT;
}

// libcurl rewinds the body when it must send it again on a new connection
// (a reused connection that turned out to be closed).
int seekBody(void* context, curl_off_t offset, int origin) {
    auto& exchange = *static_cast<Exchange*>(context);
    if (origin != SEEK_SET || offset < 0 || offset > exchange.bodySize) {
        return CURL_SEEKFUNC_FAIL;
    }
    exchange.position = offset;
    return CURL_SEEKFUNC_OK;
}

size_t writeBody(char* data, size_t size, size_t count, void* context) {
    auto& exchange = *static_cast<Exchange*>(context);
    const std::size_t length = size * count;
    if (length > CurlWireTransport::maxResponseBytes - exchange.response.body.size()) {
        exchange.responseTooLarge = true;
        return 0;
    }
    try {
        exchange.response.body.insert(exchange.response.body.end(), reinterpret_cast<std::uint8_t*>(data),
                                      reinterpret_cast<std::uint8_t*>(data) + length);
        return length;
    } catch (...) {
        exchange.responseTooLarge = true;
        return 0;
    }
}

size_t collectHeader(char* data, size_t size, size_t count, void* context) {
    auto& exchange = *static_cast<Exchange*>(context);
    const std::size_t length = size * count;
    try {
        exchange.addHeader(std::string_view(data, length));
        return length;
    } catch (...) {
        return 0;
    }
}

// libcurl calls this at least once a second in every stage of a transfer,
// name resolution and connecting included; non-zero ends the transfer.
int checkCancelled(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto& exchange = *static_cast<const Exchange*>(context);
    return exchange.cancelled != nullptr && exchange.cancelled->load() ? 1 : 0;
}

template <typename Value>
void set(CURL* handle, CURLoption option, Value value) {
    if (curl::library().easy_setopt(handle, option, value) != CURLE_OK) {
        throw TransportUnavailable::network("libcurl refused an option");
    }
}

curl::Slist headerList(const TransportRequest& request) {
    curl::Slist list;
    const auto append = [&list](const std::string& line) {
        curl_slist* extended = curl::library().slist_append(list.get(), line.c_str());
        if (extended == nullptr) {
            throw std::bad_alloc();
        }
        list.release();
        list.reset(extended);
    };
    // An empty "Expect:" stops libcurl from waiting for "100 Continue" before
    // a large body; the content-length always comes from the body itself.
    append("Expect:");
    for (const auto& [name, value] : request.headers) {
        if (isFramingHeader(name)) {
            continue;
        }
        // libcurl drops a header written "name:" with nothing after it and
        // sends "name;" as an empty header.
        append(value.empty() ? name + ";" : name + ": " + value);
    }
    return list;
}

} // namespace

TransportUnavailable::Problem CurlWireTransport::problemOf(int curlCode, long verifyResult) noexcept {
    using Problem = TransportUnavailable::Problem;
    switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_COULDNT_CONNECT:
        return Problem::refused;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return Problem::hostNotFound;
    case CURLE_OPERATION_TIMEDOUT:
        return Problem::timedOut;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
        return Problem::broken;
    case CURLE_PEER_FAILED_VERIFICATION:
        switch (verifyResult) {
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return Problem::certificateSelfSigned;
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return Problem::certificateExpired;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
        // The chain was good: libcurl's own host name check refused it.
        case X509_V_OK:
            return Problem::certificateNameMismatch;
        default:
            return Problem::certificateUntrusted;
        }
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return Problem::tls;
    default:
        return Problem::unknown;
    }
}

class CurlWireTransport::HandlePool {
public:
    curl::Easy take() {
        {
            const std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                curl::Easy handle = std::move(idle_.back());
                idle_.pop_back();
                return handle;
            }
        }
        curl::Easy handle(curl::library().easy_init());
        if (!handle) {
            throw TransportUnavailable::network("libcurl could not create a handle");
        }
        return handle;
    }

    void give(curl::Easy handle) noexcept {
        // Resetting keeps the handle's open connections and caches and drops
        // every option, so no pointer into a finished call survives.
        curl::library().easy_reset(handle.get());
        const std::lock_guard lock(mutex_);
        if (idle_.size() < pooledHandles) {
            try {
                idle_.push_back(std::move(handle));
            } catch (...) {
            }
        }
    }

private:
    std::mutex mutex_;
    std::vector<curl::Easy> idle_; // guarded by mutex_
};

CurlWireTransport::CurlWireTransport(std::chrono::seconds idleTimeout, std::chrono::seconds connectTimeout,
                                     std::chrono::seconds documentTimeout)
    : idleTimeout_(idleTimeout), connectTimeout_(connectTimeout), documentTimeout_(documentTimeout),
      pool_(std::make_unique<HandlePool>()) {
    if (idleTimeout.count() < 1 || connectTimeout.count() < 1 || documentTimeout.count() < 1) {
        throw CoreError::invalid("timeout");
    }
}

CurlWireTransport::~CurlWireTransport() = default;

TransportResponse CurlWireTransport::execute(const TransportRequest& request) {
    if (request.cancelled && request.cancelled->load()) {
        throw TransportUnavailable::network(cancelledText);
    }
    initialiseLibcurlOnce();
    checkRequest(request);
    const curl::Url url = parseURL(request.url);
    const curl::Slist headers = headerList(request);

    Exchange exchange;
    exchange.bodySize = request.body.size();
    exchange.bytes = request.body.bytes();
    if (const FileRange* range = request.body.fileRange()) {
        exchange.file.emplace(*range);
    }

    struct Lease {
        HandlePool& pool;
        curl::Easy handle;
        ~Lease() { pool.give(std::move(handle)); }
    } lease{*pool_, pool_->take()};
    CURL* handle = lease.handle.get();

    set(handle, CURLOPT_CURLU, url.get());
    set(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    set(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(handle, CURLOPT_FOLLOWLOCATION, 0L);
    set(handle, CURLOPT_NOSIGNAL, 1L);
    set(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    set(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    set(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeout_.count()));
    set(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(idleTimeout_.count()));
    // Pooled handles keep their options: the cap is set (or lifted) every time.
    set(handle, CURLOPT_TIMEOUT, exchange.file ? 0L : static_cast<long>(documentTimeout_.count()));
    set(handle, CURLOPT_ERRORBUFFER, exchange.errorText.data());
    set(handle, CURLOPT_HTTPHEADER, headers.get());
    set(handle, CURLOPT_HEADERFUNCTION, collectHeader);
    set(handle, CURLOPT_HEADERDATA, &exchange);
    set(handle, CURLOPT_WRITEFUNCTION, writeBody);
    set(handle, CURLOPT_WRITEDATA, &exchange);
    if (request.cancelled) {
        exchange.cancelled = request.cancelled.get();
        set(handle, CURLOPT_XFERINFOFUNCTION, checkCancelled);
        set(handle, CURLOPT_XFERINFODATA, &exchange);
        set(handle, CURLOPT_NOPROGRESS, 0L);
    }

    if (request.method == "GET" && request.body.isNone()) {
        set(handle, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "HEAD") {
        set(handle, CURLOPT_NOBODY, 1L);
    } else {
        // Every other request goes out as an upload of a known size, which
        // libcurl sends with a content-length (0 for no body) and without a
        // default content-type, under the method asked for.
        set(handle, CURLOPT_UPLOAD, 1L);
        set(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(exchange.bodySize));
        set(handle, CURLOPT_READFUNCTION, readBody);
        set(handle, CURLOPT_READDATA, &exchange);
        set(handle, CURLOPT_SEEKFUNCTION, seekBody);
        set(handle, CURLOPT_SEEKDATA, &exchange);
        set(handle, CURLOPT_UPLOAD_BUFFERSIZE, uploadBufferBytes);
        if (request.method != "PUT") {
            set(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
    }

    const CURLcode result = curl::library().easy_perform(handle);
    if (result != CURLE_OK) {
        if (result == CURLE_ABORTED_BY_CALLBACK && exchange.cancelled != nullptr) {
            throw TransportUnavailable::network(cancelledText);
        }
        if (exchange.bodyFailure) {
            throw *exchange.bodyFailure;
        }
        if (exchange.responseTooLarge) {
            throw TransportUnavailable::network("response body larger than " +
                                                std::to_string(maxResponseBytes) + " bytes");
        }
        const std::string_view detail(exchange.errorText.data());
        long verifyResult = 0;
        if (result == CURLE_PEER_FAILED_VERIFICATION) {
            curl::library().easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
        }
        throw TransportUnavailable::network(detail.empty() ? curl::library().easy_strerror(result)
                                                           : std::string(detail),
                                            problemOf(result, verifyResult));
    }
    long status = 0;
    curl::library().easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    exchange.response.status = static_cast<int>(status);
    return std::move(exchange.response);
}

} // namespace zoq
