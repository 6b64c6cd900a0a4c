#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Auth/PairingClient.h"
#include "ZoqShell/Auth/PairingError.h"
#include "ZoqShell/Transport/CurlWireTransport.h"
#include "ZoqShell/Transport/PortalOrigin.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/TestSupport/CredentialTestSupport.h"
#include "tests/TestSupport/MemoryCredentialPersistence.h"
#include "tests/ZoqShell/Auth/AuthTestSupport.h"
#include "tests/ZoqShell/LoopbackHttpServer.h"

#include <gtest/gtest.h>
#include <set>

namespace zoq {
namespace {

using test::ScriptedReply;

constexpr const char* installation = "7d9e1f20-3a4b-4c5d-9e6f-a0b1c2d3e4f5";

// Runs `body`, which must throw a PairingError, and returns it.
template <typename Body>
PairingError pairingError(Body&& body) {
    try {
        body();
    } catch (const PairingError& error) {
        return error;
    }
    ADD_FAILURE() << "expected a PairingError";
    return PairingError::rejected("none thrown");
}

ScriptedReply reply(int status, std::string body) {
    ScriptedReply scripted;
    scripted.status = status;
    scripted.body = std::move(body);
    return scripted;
}

std::string envelope(const std::string& code) {
    return R"({"error":{"code":")" + code +
           R"(","message":"","retryable":false,"recovery":"none",)"
           R"("requestId":"0b7e9f2a-4c1d-4e8b-9a3f-5d6c7b8a9e0f","retryAfterMs":null}})";
}

TEST(PairingCode, NormalisesTypingVariantsAndRefusesLookAlikes) {
    for (const char* accepted :
         {"abcd-efgh-jkmn", "ABCDEFGHJKMN", " -abcd-efgh-jkmn-\n", "\tA-B-C-D-E-F-G-H-J-K-M-N\r\n"}) {
        EXPECT_EQ(PairingClient::normalisedCode(accepted), "ABCDEFGHJKMN") << accepted;
    }
    for (const char* refused :
         {"ABCDEFGHJKMI", "ABCDEFGHJKML", "ABCDEFGHJKMO", "ABCDEFGHJKMU", "ABCDEFGHJKM", "ABCDEFGHJKMNP",
          "ABCDEF GHJKMN", "", "ABCDEFGHJKM\xC3\x9F", "ABCDEFGHJKM\xC5\xBF"}) {
        EXPECT_EQ(pairingError([&] { PairingClient::normalisedCode(refused); }), PairingError::invalidCode())
            << refused;
    }
}

TEST(PairingNonce, IsFreshUnpaddedBase64url) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        const std::string nonce = PairingClient::redemptionNonce();
        ASSERT_EQ(nonce.size(), 43u);
        EXPECT_EQ(nonce.find_first_of("+/="), std::string::npos) << nonce;
        EXPECT_NE(std::string_view("AEIMQUYcgkosw048").find(nonce.back()), std::string_view::npos) << nonce;
        seen.insert(nonce);
    }
    EXPECT_EQ(seen.size(), 64u);
}

class PairingClientTest : public ::testing::Test {
protected:
    PairingClient client() { return PairingClient(auth, installation, "Desk Linux"); }

    test::LoopbackHttpServer server;
    CurlWireTransport transport;
    test::MemoryCredentialPersistence persistence;
    HostClock clock;
    DeviceAuth auth{transport, persistence, server.url("/somewhere/else?x=1"), clock};
};

TEST_F(PairingClientTest, RedeemsTheNormalisedCodeAndInstallsTheCredentials) {
    const DeviceCredentialsResponse credentials = test::sampleCredentials(test::authDevice, "r0");
    server.enqueue(reply(200, textOf(credentials.document().encoded())));

    EXPECT_EQ(client().pair(" abcd-efgh-jkmn\n"), credentials);

    const test::RecordedRequest sent = server.requests().at(0);
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.path, "/api/v1/devices/pair");
    EXPECT_EQ(sent.header("content-type"), "application/json");
    EXPECT_EQ(sent.header("authorization"), std::nullopt);
    const JSONValue body = JSONValue::parse(sent.body);
    EXPECT_EQ(*body.find("code")->string(), "ABCDEFGHJKMN");
    EXPECT_EQ(*body.find("platform")->string(), "mac");
    EXPECT_EQ(*body.find("name")->string(), "Desk Linux");
    EXPECT_EQ(*body.find("installationId")->string(), installation);
    EXPECT_EQ(body.find("redemptionNonce")->string()->size(), 43u);
    EXPECT_EQ(body.object()->size(), 5u);

    // Bound to the portal it was paired with (whatever path the address had).
    EXPECT_EQ(persistence.stored(),
              test::issuedBy(CredentialSnapshot(credentials, 0), *PortalOrigin::of(server.url("/"))));
    EXPECT_EQ(auth.accessToken(), credentials.accessToken());
}

TEST_F(PairingClientTest, RejectionsNameThePortalCodeOrTheStatus) {
    const struct {
        int status;
        std::string body;
        std::string reason;
    } cases[] = {
        {404, envelope("invalid_pairing_code"), "invalid_pairing_code"},
        {200, envelope("rate_limited"), "rate_limited"},
        {200, R"({"accessToken":"only"})", "HTTP 200"},
        {500, "", "HTTP 500"},
        {410, R"({"error":{"code":"made_up"}})", "HTTP 410"},
    };
    for (const auto& entry : cases) {
        server.enqueue(reply(entry.status, entry.body));
        EXPECT_EQ(pairingError([&] { client().pair("ABCDEFGHJKMN"); }), PairingError::rejected(entry.reason))
            << entry.body;
    }
    EXPECT_FALSE(auth.hasCredentials());
    EXPECT_EQ(persistence.saveCount(), 0u);
}

TEST_F(PairingClientTest, LocalFailuresSendNothingAndChangeNothing) {
    EXPECT_EQ(pairingError([&] { client().pair("ABCD-EFGH-IJKL"); }), PairingError::invalidCode());
    EXPECT_EQ(test::caughtError([&] { PairingClient(auth, "not-a-uuid", "Desk").pair("ABCDEFGHJKMN"); }),
              CoreError::invalid("format"));
    EXPECT_TRUE(server.requests().empty());

    test::MemoryCredentialPersistence elsewhere;
    DeviceAuth unreachable(transport, elsewhere,
                           "http://127.0.0.1:" + std::to_string(test::closedLoopbackPort()), clock);
    EXPECT_EQ(pairingError([&] { PairingClient(unreachable, installation, "Desk").pair("ABCDEFGHJKMN"); }),
              PairingError::network());
    unreachable.configure("not a url");
    EXPECT_EQ(pairingError([&] { PairingClient(unreachable, installation, "Desk").pair("ABCDEFGHJKMN"); }),
              PairingError::network());
    EXPECT_FALSE(unreachable.hasCredentials());
}

TEST_F(PairingClientTest, CredentialsThatCannotBeStoredLeaveTheDeviceUnpaired) {
    const DeviceCredentialsResponse credentials = test::sampleCredentials(test::authDevice, "r0");
    server.enqueue(reply(200, textOf(credentials.document().encoded())));
    persistence.failNextSaves(1, CoreError::io("write", 28));
    EXPECT_EQ(test::caughtError([&] { client().pair("ABCDEFGHJKMN"); }), CoreError::io("write", 28));
    EXPECT_FALSE(auth.hasCredentials());
    EXPECT_EQ(persistence.stored(), std::nullopt);
}

} // namespace
} // namespace zoq
