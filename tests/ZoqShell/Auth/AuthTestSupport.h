#pragma once

#include "ZoqCore/Upload/CredentialSnapshot.h"
#include "ZoqShell/Transport/TransportRequest.h"
#include "ZoqShell/Transport/TransportResponse.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace zoq::test {

inline constexpr const char* authDevice = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";

/// The access token `sampleCredentials` derives from a refresh token.
inline std::string accessTokenOf(const std::string& refreshToken) {
    return "access-" + refreshToken;
}

/// The origin of the stub portal at "http://portal.test".
inline constexpr const char* authOrigin = "http://portal.test:80";

/// The credentials of `authDevice` with `refreshToken`, as a snapshot issued
/// by the portal at `authOrigin`.
CredentialSnapshot snapshotOf(const std::string& refreshToken, std::int64_t generation = 0);

/// `snapshot` issued by the portal at `origin`.
CredentialSnapshot issuedBy(CredentialSnapshot snapshot, const std::string& origin = authOrigin);

/// A portal behind `StubWireTransport`: refreshes are answered from a script
/// (new credentials, a status, or a lost reply thrown as `TransportUnavailable`),
/// every other request by the status `apiStatus` gives its bearer token.
/// Records every request. Thread-safe.
class StubPortal {
public:
    struct RefreshAnswer {
        enum class Kind { credentials, status, lost } kind;
        std::string refreshToken; // credentials: the new refresh token
        int status = 0;           // status: the status to answer, with the body {}
    };
    static RefreshAnswer rotateTo(std::string refreshToken) {
        return {RefreshAnswer::Kind::credentials, std::move(refreshToken)};
    }
    static RefreshAnswer answer(int status) { return {RefreshAnswer::Kind::status, {}, status}; }
    static RefreshAnswer lost() { return {RefreshAnswer::Kind::lost, {}}; }

    void scriptRefreshes(std::vector<RefreshAnswer> answers);
    /// The API answers 401 to every token except these (200).
    void acceptTokens(std::vector<std::string> tokens);

    TransportResponse handle(const TransportRequest& request);

    std::vector<TransportRequest> requests() const;
    std::vector<TransportRequest> refreshes() const;
    /// The bearer tokens of the API requests, in order ("" when none).
    std::vector<std::string> apiTokens() const;

private:
    mutable std::mutex lock_;
    std::deque<RefreshAnswer> answers_;  // guarded by lock_
    std::vector<std::string> accepted_;  // guarded by lock_
    std::vector<TransportRequest> seen_; // guarded by lock_
};

/// Whether `request` is a credential refresh.
bool isRefresh(const TransportRequest& request);
/// The "requestId" of a refresh request's body.
std::string refreshRequestId(const TransportRequest& request);

} // namespace zoq::test
