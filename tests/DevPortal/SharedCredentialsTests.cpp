// Two holders of one credential store (as the service and the command line
// are) against the development portal, which rotates the refresh token on
// every refresh and refuses each fresh access token once.

#include "tools/dev-portal/DevPortal.h"

#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqShell/Auth/DeviceAuth.h"
#include "ZoqShell/Auth/PairingClient.h"
#include "ZoqShell/Secrets/FileSecrets.h"
#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"
#include "ZoqShell/Secrets/SharedCredentialPersistence.h"
#include "ZoqShell/Transport/CurlWireTransport.h"
#include "tests/TestSupport/TempDirectory.h"

#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace zoq {
namespace {

/// One process's view: its own store objects and locks over the shared
/// directory, its own transport and device authentication.
struct Holder {
    Holder(const std::filesystem::path& directory, const std::string& portal, const CoreClock& clock)
        : persistence(
              std::make_unique<KeychainCredentialPersistence>(std::make_unique<FileSecrets>(directory)),
              directory),
          auth(transport, persistence, portal, clock) {}

    CurlWireTransport transport;
    SharedCredentialPersistence persistence;
    DeviceAuth auth;
};

class SharedCredentials : public ::testing::Test {
protected:
    void SetUp() override {
        portal::PortalOptions options;
        options.dataDirectory = temp / "portal";
        options.faults.unauthorizedFirstUse = true;
        portal = std::make_unique<portal::DevPortal>(options, clock);
        std::filesystem::create_directories(temp / "store");
    }

    std::unique_ptr<Holder> holder() {
        return std::make_unique<Holder>(temp / "store", portal->url(), clock);
    }

    std::string pair(DeviceAuth& auth) {
        return PairingClient(auth, makeUUID(), "test").pair(portal->pairingCode()).deviceId();
    }

    // An authenticated call any paired device may make: the status of an
    // upload nobody has (404 once authenticated).
    AuthenticatedOutcome call(DeviceAuth& auth) {
        return auth.authorizedCall({"GET", portal->url() + "/api/v1/uploads/" + makeUUID(), {}, {}});
    }

    test::TempDirectory temp;
    HostClock clock;
    std::unique_ptr<portal::DevPortal> portal;
};

TEST_F(SharedCredentials, HoldersNeverSaveOverNewerCredentialsNorSendARetiredToken) {
    const auto first = holder();
    const auto second = holder();
    pair(first->auth);
    second->auth.synchronize();
    ASSERT_TRUE(second->auth.hasCredentials());

    // Both call and rotate at will, at the same time; each call must get
    // through with whatever credentials are in force.
    std::atomic<int> refused = 0;
    const auto work = [&](Holder& self, unsigned seed) {
        std::mt19937 random(seed);
        for (int i = 0; i < 40; ++i) {
            if (random() % 4 == 0) {
                self.auth.refreshNow();
            }
            const AuthenticatedOutcome outcome = call(self.auth);
            if (outcome.kind() != AuthenticatedOutcome::Kind::response ||
                outcome.transportResponse().status != 404) {
                ++refused;
            }
        }
    };
    std::thread other([&] { work(*second, 2); });
    work(*first, 1);
    other.join();

    EXPECT_EQ(refused.load(), 0);
    EXPECT_FALSE(first->auth.isBlocked());
    EXPECT_FALSE(second->auth.isBlocked());
    const portal::RefreshCounts counts = portal->refreshCounts();
    EXPECT_EQ(counts.retiredToken, 0);
    EXPECT_EQ(counts.unknownToken, 0);
    EXPECT_GT(counts.rotated, 2);
    // Every rotation the portal made is the generation stored: none was lost.
    EXPECT_EQ(first->persistence.load().generation, counts.rotated);
}

TEST_F(SharedCredentials, APairingByAnotherHolderIsAdoptedNotOverwritten) {
    const auto service = holder();
    pair(service->auth);
    ASSERT_EQ(call(service->auth).kind(), AuthenticatedOutcome::Kind::response);

    // `zoq pair` beside the running service: a new device.
    const auto command = holder();
    const std::string device = pair(command->auth);
    // A refresh the service decides next finds the new pairing in force and
    // adopts it rather than rotating (or blocking) the old device's
    // credentials over it.
    EXPECT_TRUE(service->auth.refreshNow());
    EXPECT_EQ(portal->refreshCounts().rotated, 1); // the old device's first-use refusal only
    const AuthenticatedOutcome outcome = call(service->auth);
    ASSERT_EQ(outcome.kind(), AuthenticatedOutcome::Kind::response);
    EXPECT_EQ(outcome.transportResponse().status, 404);
    EXPECT_EQ(service->auth.snapshot()->credentials.deviceId(), device);
    EXPECT_EQ(command->persistence.load().credentials.deviceId(), device);
    EXPECT_FALSE(command->persistence.load().blocked);
}

TEST_F(SharedCredentials, AHeldLockIsADeadlineNotAHang) {
    const auto store = temp / "store";
    SharedCredentialPersistence waiting(
        std::make_unique<KeychainCredentialPersistence>(std::make_unique<FileSecrets>(store)), store,
        std::chrono::milliseconds(200), std::chrono::milliseconds(200));
    const auto holding = holder();
    const auto held = holding->persistence.lock(CredentialLockScope::refresh);
    EXPECT_THROW((void)waiting.lock(CredentialLockScope::refresh), CoreError);
    // The other scope is independent, and a thread may take a scope again.
    const auto deciding = waiting.lock(CredentialLockScope::decision);
    EXPECT_NO_THROW((void)waiting.lock(CredentialLockScope::decision));
}

} // namespace
} // namespace zoq
