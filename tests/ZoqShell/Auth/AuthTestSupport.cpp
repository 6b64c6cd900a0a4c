#include "tests/ZoqShell/Auth/AuthTestSupport.h"

#include "ZoqShell/Transport/TransportUnavailable.h"
#include "tests/TestSupport/CredentialTestSupport.h"

#include <algorithm>

namespace zoq::test {

CredentialSnapshot snapshotOf(const std::string& refreshToken, std::int64_t generation) {
    return issuedBy(CredentialSnapshot(sampleCredentials(authDevice, refreshToken), generation));
}

CredentialSnapshot issuedBy(CredentialSnapshot snapshot, const std::string& origin) {
    snapshot.origin = origin;
    return snapshot;
}

void StubPortal::scriptRefreshes(std::vector<RefreshAnswer> answers) {
    const std::lock_guard lock(lock_);
    answers_.assign(answers.begin(), answers.end());
}

void StubPortal::acceptTokens(std::vector<std::string> tokens) {
    const std::lock_guard lock(lock_);
    accepted_ = std::move(tokens);
}

bool isRefresh(const TransportRequest& request) {
    return request.url.ends_with("/api/v1/devices/token/refresh");
}

std::string refreshRequestId(const TransportRequest& request) {
    const JSONValue body = JSONValue::parse(*request.body.bytes());
    return *body.find("requestId")->string();
}

TransportResponse StubPortal::handle(const TransportRequest& request) {
    const std::lock_guard lock(lock_);
    seen_.push_back(request);
    if (!isRefresh(request)) {
        const auto header = request.headers.find("authorization");
        const std::string token = header == request.headers.end() ? "" : header->second.substr(7);
        const bool accepted = std::find(accepted_.begin(), accepted_.end(), token) != accepted_.end();
        return {accepted ? 200 : 401, {}, bytesOf(accepted ? "ok " + token : "")};
    }
    if (answers_.empty()) {
        return {599, {}, {}};
    }
    const RefreshAnswer answer = answers_.front();
    answers_.pop_front();
    switch (answer.kind) {
    case RefreshAnswer::Kind::credentials:
        return {200, {}, sampleCredentials(authDevice, answer.refreshToken).document().encoded()};
    case RefreshAnswer::Kind::status:
        return {answer.status, {}, bytesOf("{}")};
    case RefreshAnswer::Kind::lost:
        break;
    }
    throw TransportUnavailable::network("connection reset");
}

std::vector<TransportRequest> StubPortal::requests() const {
    const std::lock_guard lock(lock_);
    return seen_;
}

std::vector<TransportRequest> StubPortal::refreshes() const {
    std::vector<TransportRequest> found;
    for (const TransportRequest& request : requests()) {
        if (isRefresh(request)) {
            found.push_back(request);
        }
    }
    return found;
}

std::vector<std::string> StubPortal::apiTokens() const {
    std::vector<std::string> tokens;
    for (const TransportRequest& request : requests()) {
        if (!isRefresh(request)) {
            const auto header = request.headers.find("authorization");
            tokens.push_back(header == request.headers.end() ? "" : header->second.substr(7));
        }
    }
    return tokens;
}

} // namespace zoq::test
