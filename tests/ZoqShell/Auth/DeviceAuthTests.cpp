#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Upload/CredentialCoordinator.h"
#include "ZoqShell/Auth/DeviceAuth.h"
#include "ZoqShell/Auth/DeviceAuthError.h"
#include "ZoqShell/Transport/StubWireTransport.h"
#include "ZoqShell/Transport/TransportUnavailable.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/TestSupport/CredentialTestSupport.h"
#include "tests/TestSupport/MemoryCredentialPersistence.h"
#include "tests/ZoqShell/Auth/AuthTestSupport.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <thread>

namespace zoq {
namespace {

using test::accessTokenOf;
using test::snapshotOf;
using test::StubPortal;

const TransportRequest apiRequest{
    "GET", "http://portal.test/api/v1/uploads/x", {{"Authorization", "caller"}}, {}};

class DeviceAuthTest : public ::testing::Test {
protected:
    explicit DeviceAuthTest(std::optional<CredentialSnapshot> stored = snapshotOf("r0"))
        : persistence(std::move(stored)) {}

    DeviceAuth& auth() {
        if (!auth_) {
            auth_ = std::make_unique<DeviceAuth>(transport, persistence, "http://portal.test/base", clock);
        }
        return *auth_;
    }
    AuthenticatedOutcome call() { return auth().authorizedCall(apiRequest); }

    StubPortal portal;
    StubWireTransport transport{[this](const TransportRequest& request) { return portal.handle(request); }};
    test::MemoryCredentialPersistence persistence;
    ManualClock clock;

private:
    std::unique_ptr<DeviceAuth> auth_;
};

TEST_F(DeviceAuthTest, UnpairedOrBlockedDevicesSendNothing) {
    test::MemoryCredentialPersistence empty;
    DeviceAuth unpaired(transport, empty, "http://portal.test", clock);
    EXPECT_FALSE(unpaired.hasCredentials());
    EXPECT_EQ(unpaired.authorizedCall(apiRequest), AuthenticatedOutcome::blockedAuth());
    EXPECT_FALSE(unpaired.refreshNow());
    EXPECT_EQ(unpaired.accessToken(), std::nullopt);

    // Unreadable storage counts as unpaired too.
    test::MemoryCredentialPersistence unreadable(snapshotOf("r0"));
    unreadable.failNextLoad(CoreError::io("read", 5));
    EXPECT_FALSE(DeviceAuth(transport, unreadable, "http://portal.test", clock).hasCredentials());

    CredentialSnapshot blocked = snapshotOf("r0");
    blocked.blocked = true;
    test::MemoryCredentialPersistence blockedStore(blocked);
    DeviceAuth blockedAuth(transport, blockedStore, "http://portal.test", clock);
    EXPECT_TRUE(blockedAuth.hasCredentials());
    EXPECT_TRUE(blockedAuth.isBlocked());
    EXPECT_EQ(blockedAuth.accessToken(), std::nullopt);
    EXPECT_EQ(blockedAuth.authorizedCall(apiRequest), AuthenticatedOutcome::blockedAuth());
    EXPECT_FALSE(blockedAuth.refreshNow());
    EXPECT_TRUE(portal.requests().empty());
}

TEST_F(DeviceAuthTest, A401RefreshesOnceAndResendsWithTheNewToken) {
    portal.acceptTokens({accessTokenOf("r1")});
    portal.scriptRefreshes({StubPortal::rotateTo("r1")});

    const AuthenticatedOutcome outcome = call();
    ASSERT_EQ(outcome.kind(), AuthenticatedOutcome::Kind::response);
    EXPECT_EQ(outcome.transportResponse().status, 200);
    EXPECT_EQ(portal.apiTokens(), (std::vector<std::string>{accessTokenOf("r0"), accessTokenOf("r1")}));
    // The caller's own authorization header, in any letter case, never goes out.
    for (const TransportRequest& sent : portal.requests()) {
        EXPECT_FALSE(sent.headers.contains("Authorization"));
    }
    const TransportRequest refresh = portal.refreshes().at(0);
    EXPECT_EQ(refresh.method, "POST");
    EXPECT_EQ(refresh.url, "http://portal.test/api/v1/devices/token/refresh");
    EXPECT_EQ(refresh.headers, (std::map<std::string, std::string>{{"content-type", "application/json"}}));
    EXPECT_EQ(*JSONValue::parse(*refresh.body.bytes()).find("refreshToken")->string(), "r0");
    EXPECT_EQ(persistence.stored()->generation, 1);
    EXPECT_EQ(auth().accessToken(), accessTokenOf("r1"));
}

TEST_F(DeviceAuthTest, ThreeRejectedRotationsReturnTheThird401) {
    portal.scriptRefreshes(
        {StubPortal::rotateTo("r1"), StubPortal::rotateTo("r2"), StubPortal::rotateTo("r3")});
    const AuthenticatedOutcome outcome = call();
    ASSERT_EQ(outcome.kind(), AuthenticatedOutcome::Kind::response);
    EXPECT_EQ(outcome.transportResponse().status, 401);
    EXPECT_EQ(portal.apiTokens().size(), 3u);
    EXPECT_EQ(portal.refreshes().size(), 3u);
    EXPECT_EQ(persistence.stored()->generation, 3);
}

TEST_F(DeviceAuthTest, DefiniteRefreshFailuresBlockTheDevice) {
    for (const StubPortal::RefreshAnswer& answer : {StubPortal::answer(500), StubPortal::answer(401),
                                                    StubPortal::answer(201), StubPortal::answer(200)}) {
        test::MemoryCredentialPersistence store(snapshotOf("r0"));
        StubPortal stub;
        stub.scriptRefreshes({answer});
        StubWireTransport stubTransport(
            [&](const TransportRequest& request) { return stub.handle(request); });
        DeviceAuth device(stubTransport, store, "http://portal.test", clock);
        EXPECT_EQ(device.authorizedCall(apiRequest), AuthenticatedOutcome::blockedAuth()) << answer.status;
        EXPECT_TRUE(store.stored()->blocked);
        EXPECT_TRUE(device.isBlocked());
        // Blocked: nothing more reaches the network.
        EXPECT_EQ(device.authorizedCall(apiRequest), AuthenticatedOutcome::blockedAuth());
        EXPECT_EQ(stub.requests().size(), 2u);
    }
}

TEST_F(DeviceAuthTest, LostRefreshRepliesAreResentWithTheSameIdentifierThenBlockAfterTheWindow) {
    portal.acceptTokens({accessTokenOf("r1")});
    portal.scriptRefreshes({StubPortal::lost(), StubPortal::rotateTo("r1")});
    EXPECT_EQ(call().transportResponse().status, 200);
    std::vector<TransportRequest> refreshes = portal.refreshes();
    ASSERT_EQ(refreshes.size(), 2u);
    EXPECT_EQ(refreshes[0].body, refreshes[1].body);

    // An unreachable portal: a bounded number of sends per run, the refresh
    // stays pending, then a later attempt inside the window resends it, and
    // after the window the device is blocked rather than guessing.
    portal.acceptTokens({});
    portal.scriptRefreshes(std::vector(10, StubPortal::lost()));
    EXPECT_EQ(call(), AuthenticatedOutcome::blockedAuth());
    refreshes = portal.refreshes();
    ASSERT_EQ(refreshes.size(), 2u + DeviceAuth::maxRefreshSends);
    ASSERT_TRUE(persistence.stored()->pending.has_value());
    EXPECT_FALSE(persistence.stored()->blocked);
    const std::string pendingId = persistence.stored()->pending->requestId;
    EXPECT_EQ(test::refreshRequestId(refreshes.back()), pendingId);

    clock.advance(60);
    EXPECT_FALSE(auth().refreshNow());
    EXPECT_EQ(test::refreshRequestId(portal.refreshes().back()), pendingId);
    EXPECT_FALSE(persistence.stored()->blocked);

    clock.advance(CredentialCoordinator::lostResponseWindow);
    const std::size_t sentBefore = portal.refreshes().size();
    EXPECT_FALSE(auth().refreshNow());
    EXPECT_EQ(portal.refreshes().size(), sentBefore);
    EXPECT_TRUE(persistence.stored()->blocked);
}

class DeviceAuthAfterCrashTest : public DeviceAuthTest {
protected:
    static CredentialSnapshot pendingSnapshot() {
        CredentialSnapshot snapshot = snapshotOf("r0");
        snapshot.pending = PendingRefresh{"0b7e9f2a-4c1d-4e8b-9a3f-5d6c7b8a9e0f", 0, Date{800'000'000 - 30}};
        return snapshot;
    }
    DeviceAuthAfterCrashTest() : DeviceAuthTest(pendingSnapshot()) {}
};

TEST_F(DeviceAuthAfterCrashTest, ARefreshLeftPendingByAnEarlierRunIsResentUnchanged) {
    portal.acceptTokens({accessTokenOf("r1")});
    portal.scriptRefreshes({StubPortal::rotateTo("r1")});
    EXPECT_EQ(call().transportResponse().status, 200);
    ASSERT_EQ(portal.refreshes().size(), 1u);
    EXPECT_EQ(test::refreshRequestId(portal.refreshes()[0]), pendingSnapshot().pending->requestId);
    EXPECT_EQ(persistence.stored()->generation, 1);
}

TEST_F(DeviceAuthTest, A401ForCredentialsAlreadyRotatedResendsWithoutRotatingAgain) {
    // While the first request is out, another caller rotates the credentials;
    // the 401 that then arrives for the old token must not rotate the new ones.
    portal.acceptTokens({accessTokenOf("r1")});
    portal.scriptRefreshes({StubPortal::rotateTo("r1"), StubPortal::rotateTo("r2")});
    bool rotatedMeanwhile = false;
    transport = StubWireTransport([&](const TransportRequest& request) {
        if (!test::isRefresh(request) && !rotatedMeanwhile) {
            rotatedMeanwhile = true;
            EXPECT_TRUE(auth().refreshNow());
        }
        return portal.handle(request);
    });
    EXPECT_EQ(call().transportResponse().status, 200);
    EXPECT_EQ(portal.refreshes().size(), 1u);
    EXPECT_EQ(auth().accessToken(), accessTokenOf("r1"));
}

TEST_F(DeviceAuthTest, InstallDuringARefreshWinsInMemoryAndInStorage) {
    const auto fresh = test::sampleCredentials("c6d1e2f3-a4b5-4c6d-8e7f-9a0b1c2d3e4f", "p0");
    portal.acceptTokens({fresh.accessToken()});
    std::mutex mutex;
    std::condition_variable changed;
    bool refreshArrived = false;
    bool released = false;
    transport = StubWireTransport([&](const TransportRequest& request) {
        if (test::isRefresh(request)) {
            std::unique_lock lock(mutex);
            refreshArrived = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
            return TransportResponse{
                200, {}, test::sampleCredentials(test::authDevice, "r1").document().encoded()};
        }
        return portal.handle(request);
    });

    std::optional<AuthenticatedOutcome> oldCall;
    std::thread caller([&] { oldCall = call(); });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return refreshArrived; });
    }
    auth().install(fresh);
    // Later calls use the new pairing at once and do not wait for the old refresh.
    EXPECT_EQ(call().transportResponse().status, 200);
    EXPECT_EQ(persistence.stored(), test::issuedBy(CredentialSnapshot(fresh, 0)));
    {
        const std::lock_guard lock(mutex);
        released = true;
    }
    changed.notify_all();
    caller.join();

    // The old refresh's success is not saved over the new pairing, and its
    // caller resends with the new credentials.
    EXPECT_EQ(oldCall->transportResponse().status, 200);
    EXPECT_EQ(persistence.stored(), test::issuedBy(CredentialSnapshot(fresh, 0)));
    EXPECT_EQ(auth().snapshot(), test::issuedBy(CredentialSnapshot(fresh, 0)));
    EXPECT_EQ(portal.apiTokens().back(), fresh.accessToken());
}

TEST_F(DeviceAuthTest, InstallSavesFirstAndAFailedSaveChangesNothing) {
    const auto fresh = test::sampleCredentials("c6d1e2f3-a4b5-4c6d-8e7f-9a0b1c2d3e4f", "p0");
    persistence.failNextSaves(1);
    EXPECT_EQ(test::caughtError([&] { auth().install(fresh); }), CoreError::io("save", EIO));
    EXPECT_EQ(auth().accessToken(), accessTokenOf("r0"));
    EXPECT_EQ(persistence.stored(), snapshotOf("r0"));

    CredentialSnapshot blocked = snapshotOf("r0");
    blocked.blocked = true;
    test::MemoryCredentialPersistence blockedStore(blocked);
    DeviceAuth device(transport, blockedStore, "http://portal.test", clock);
    device.install(fresh);
    EXPECT_FALSE(device.isBlocked());
    EXPECT_EQ(device.accessToken(), fresh.accessToken());
}

TEST_F(DeviceAuthTest, UnauthenticatedCallsCarryNoCredentialsAndReportFailuresPlainly) {
    portal.acceptTokens({""});
    const TransportResponse response = auth().callUnauthenticated("POST", {"devices", "pair"}, bytesOf("{}"));
    EXPECT_EQ(response.status, 200);
    const TransportRequest sent = portal.requests().at(0);
    EXPECT_EQ(sent.url, "http://portal.test/api/v1/devices/pair");
    EXPECT_EQ(sent.headers, (std::map<std::string, std::string>{{"content-type", "application/json"}}));
    EXPECT_EQ(sent.body, RequestBody(bytesOf("{}")));

    auth().configure("portal.test");
    EXPECT_EQ(test::caughtError([&] {
                  auth().callUnauthenticated("POST", {"devices", "pair"}, {});
              }),
              CoreError::invalid("base URL"));
    auth().configure("http://portal.test");
    transport = StubWireTransport([](const TransportRequest&) -> TransportResponse {
        throw TransportUnavailable::network("connection refused");
    });
    EXPECT_THROW(auth().callUnauthenticated("POST", {"devices", "pair"}, {}), DeviceAuthError);
    try {
        auth().authorizedCall(apiRequest);
        ADD_FAILURE() << "no error";
    } catch (const DeviceAuthError& error) {
        EXPECT_EQ(error, DeviceAuthError::network());
    }
}

} // namespace
} // namespace zoq

namespace zoq {
namespace {

TEST_F(DeviceAuthTest, TokensGoOnlyToTheOriginOfThePortalThatIssuedThem) {
    const TransportRequest elsewhere{"GET", "http://other.test/api/v1/uploads/x", {}, {}};
    portal.acceptTokens({accessTokenOf("r0"), accessTokenOf("r1")});
    CredentialSnapshot legacy = snapshotOf("r0");
    legacy.origin.reset();
    persistence.save(legacy);

    // Credentials stored without an origin take the configured address's, once.
    ASSERT_TRUE(auth().hasCredentials());
    EXPECT_EQ(persistence.stored()->origin, "http://portal.test:80");
    EXPECT_EQ(auth().credentialOrigin(), "http://portal.test:80");

    // Whoever builds the request, another origin never gets the token.
    EXPECT_EQ(auth().authorizedCall(elsewhere), AuthenticatedOutcome::blockedAuth());
    EXPECT_TRUE(portal.requests().empty());

    // The address moves to another portal: no refresh token leaves, nothing
    // is decided, and the credentials stay usable for their own portal.
    auth().configure("http://other.test/");
    EXPECT_FALSE(auth().servesConfiguredPortal());
    portal.scriptRefreshes({StubPortal::rotateTo("r1")});
    EXPECT_FALSE(auth().refreshNow());
    EXPECT_TRUE(portal.requests().empty());
    EXPECT_FALSE(persistence.stored()->pending);
    EXPECT_FALSE(auth().isBlocked());

    // Set back (spelled differently): the same credentials work and their
    // rotation keeps the origin.
    auth().configure("HTTP://Portal.test:80/base");
    EXPECT_TRUE(auth().servesConfiguredPortal());
    EXPECT_TRUE(auth().refreshNow());
    ASSERT_EQ(portal.refreshes().size(), 1u);
    EXPECT_EQ(persistence.stored()->generation, 1);
    EXPECT_EQ(persistence.stored()->origin, "http://portal.test:80");
    EXPECT_EQ(call().kind(), AuthenticatedOutcome::Kind::response);

    // A pairing with another portal binds its credentials there and points
    // the address at it in one step.
    auth().install(test::sampleCredentials(test::authDevice, "r9"), "http://other.test/");
    EXPECT_EQ(persistence.stored()->origin, "http://other.test:80");
    EXPECT_TRUE(auth().servesConfiguredPortal());
    const std::size_t sent = portal.requests().size();
    EXPECT_EQ(call(), AuthenticatedOutcome::blockedAuth());
    EXPECT_EQ(portal.requests().size(), sent);
    EXPECT_THROW(auth().install(test::sampleCredentials(test::authDevice, "r10"), "not a url"), CoreError);
    EXPECT_EQ(persistence.stored()->origin, "http://other.test:80");
}

} // namespace
} // namespace zoq
