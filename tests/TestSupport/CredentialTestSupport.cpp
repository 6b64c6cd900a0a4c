#include "tests/TestSupport/CredentialTestSupport.h"

namespace zoq {

void PrintTo(const RefreshDecision& decision, std::ostream* out) {
    switch (decision.kind()) {
    case RefreshDecision::Kind::retryCurrent:
        *out << "retryCurrent " << decision.generation();
        return;
    case RefreshDecision::Kind::send:
        *out << "send " << decision.request().value().canonicalText();
        return;
    case RefreshDecision::Kind::joined:
        *out << "joined " << decision.requestId();
        return;
    case RefreshDecision::Kind::blocked:
        *out << "blocked";
        return;
    }
}

namespace test {

DeviceCredentialsResponse sampleCredentials(const std::string& deviceId, const std::string& refreshToken) {
    return DeviceCredentialsResponse::fromJSON(JSONValue(JSONValue::Object{
        {"deviceId", deviceId},
        {"accessToken", "access-" + refreshToken},
        {"accessExpiresAt", "2026-03-01T10:15:00.000Z"},
        {"refreshToken", refreshToken},
        {"refreshExpiresAt", "2026-05-30T10:00:00.000Z"},
        {"scopes", JSONValue::Array{"uploads:create", "uploads:manage-own"}},
    }));
}

} // namespace test
} // namespace zoq
