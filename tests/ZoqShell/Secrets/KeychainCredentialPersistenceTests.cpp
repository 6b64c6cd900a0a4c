#include "ZoqCore/Upload/CredentialCoordinator.h"
#include "ZoqShell/Secrets/KeychainCredentialPersistence.h"
#include "ZoqShell/Secrets/KeychainSecrets.h"
#include "ZoqShell/Secrets/LibsecretItemStore.h"
#include "ZoqShell/Secrets/MemorySecrets.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/TestSupport/CredentialTestSupport.h"
#include "tests/ZoqShell/Secrets/KeyringTestSupport.h"

#include <cmath>
#include <gtest/gtest.h>

namespace zoq {
namespace {

using test::caughtError;

constexpr const char* device = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";
constexpr const char* request = "8d1c2b3a-4e5f-4a6b-9c7d-0e1f2a3b4c5d";

CredentialSnapshot blockedWhilePending() {
    CredentialSnapshot snapshot(test::sampleCredentials(device, "refresh-3"), 3);
    snapshot.pending = PendingRefresh{request, 3, Date{800'000'000.5}};
    snapshot.blocked = true;
    return snapshot;
}

class KeychainCredentialPersistenceTest : public ::testing::Test {
protected:
    KeychainCredentialPersistenceTest() {
        auto owned = std::make_unique<MemorySecrets>();
        secrets = owned.get();
        persistence = std::make_unique<KeychainCredentialPersistence>(std::move(owned));
    }

    MemorySecrets* secrets;
    std::unique_ptr<KeychainCredentialPersistence> persistence;
};

TEST_F(KeychainCredentialPersistenceTest, SavesTheEncodedSnapshotAndLoadsItBack) {
    EXPECT_EQ(caughtError([&] { (void)persistence->load(); }), CoreError::invalid("no credentials"));
    const CredentialSnapshot snapshot = blockedWhilePending();
    persistence->save(snapshot);
    EXPECT_EQ(secrets->retrieve(), snapshot.encoded());
    EXPECT_EQ(persistence->load(), snapshot);
}

// Damaged or foreign blobs are errors, never credentials, and a snapshot
// that cannot be encoded replaces nothing.
TEST_F(KeychainCredentialPersistenceTest, BadBlobsAreErrorsAndBadSnapshotsStoreNothing) {
    const Bytes good = blockedWhilePending().encoded();
    const struct {
        Bytes blob;
        CoreError error;
    } cases[] = {
        {Bytes{}, CoreError::invalid("json")},
        {Bytes(good.begin(), good.end() - 1), CoreError::invalid("json")},
        {bytesOf("device-credentials"), CoreError::invalid("json")},
        {bytesOf(R"({"accessToken":"a","refreshToken":"r"})"), CoreError::invalid("closed object")},
    };
    for (const auto& c : cases) {
        secrets->store(c.blob);
        EXPECT_EQ(caughtError([&] { (void)persistence->load(); }), c.error) << textOf(c.blob);
    }

    secrets->store(good);
    CredentialSnapshot unencodable = blockedWhilePending();
    unencodable.pending->startedAt = Date{std::nan("")};
    EXPECT_EQ(caughtError([&] { persistence->save(unencodable); }), CoreError::invalid("number"));
    EXPECT_EQ(secrets->retrieve(), good);
}

// The production chain against the private test keyring: what one run saves,
// the next run's coordinator picks up, pending refresh included.
TEST(KeychainCredentialPersistenceKeyring, CoordinatorStateSurvivesARestart) {
    ZOQ_REQUIRE_KEYRING();
    const std::string service = test::uniqueService();
    const auto chain = [&] {
        return KeychainCredentialPersistence(std::make_unique<KeychainSecrets>(
            service, "device-credentials", std::make_unique<LibsecretItemStore>()));
    };
    KeychainCredentialPersistence firstRun = chain();
    EXPECT_EQ(caughtError([&] { (void)firstRun.load(); }), CoreError::invalid("no credentials"));
    firstRun.save(CredentialSnapshot(test::sampleCredentials(device, "refresh-0"), 0));
    const RefreshDecision sent = CredentialCoordinator(firstRun).unauthorized(0, Date{800'000'000}, request);
    ASSERT_EQ(sent.kind(), RefreshDecision::Kind::send);

    KeychainCredentialPersistence secondRun = chain();
    CredentialCoordinator restarted(secondRun);
    EXPECT_EQ(restarted.current().pending, (PendingRefresh{request, 0, Date{800'000'000}}));
    EXPECT_EQ(restarted.retryLostResponse(Date{800'000'060}), sent);
    restarted.complete(request, 0, test::sampleCredentials(device, "refresh-1"));
    EXPECT_EQ(chain().load(), CredentialSnapshot(test::sampleCredentials(device, "refresh-1"), 1));
    secondRun.secrets().erase();
}

} // namespace
} // namespace zoq
