#include "ZoqShell/Secrets/KeychainSecrets.h"
#include "tests/ZoqShell/Secrets/MemoryItemStore.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

using test::MemoryItemStore;
using test::SimulatedCrash;

const SecItemQuery live{"org.zoq.test.credentials", "device-credentials"};
const SecItemQuery staging{"org.zoq.test.credentials", "device-credentials.pending-commit"};
const Bytes oldBlob = bytesOf("old credentials");
const Bytes newBlob = bytesOf("new credentials");

class KeychainSecretsTest : public ::testing::Test {
protected:
    KeychainSecretsTest() {
        auto owned = std::make_unique<MemoryItemStore>();
        items = owned.get();
        secrets = std::make_unique<KeychainSecrets>(live.service, live.account, std::move(owned));
    }

    std::vector<std::string> operations() const {
        std::vector<std::string> names;
        for (const auto& call : items->calls()) {
            names.push_back(call.operation + (call.query == staging ? " staging" : " live"));
        }
        return names;
    }

    MemoryItemStore* items;
    std::unique_ptr<KeychainSecrets> secrets;
};

TEST_F(KeychainSecretsTest, StoreIntoEmptyKeychainLeavesOnlyTheLiveItem) {
    secrets->store(newBlob);
    EXPECT_EQ(items->item(live), newBlob);
    EXPECT_EQ(items->itemCount(), 1u);
    EXPECT_EQ(operations(), (std::vector<std::string>{"deleteItems staging", "add staging", "copyData live",
                                                      "add live", "deleteItems staging"}));
    items->restart();
    EXPECT_EQ(secrets->retrieve(), newBlob);
}

TEST_F(KeychainSecretsTest, StoreOverAnExistingItemUpdatesItInPlace) {
    items->put(live, oldBlob);
    secrets->store(newBlob);
    EXPECT_EQ(items->item(live), newBlob);
    EXPECT_EQ(items->itemCount(), 1u);
    EXPECT_EQ(operations(), (std::vector<std::string>{"deleteItems staging", "add staging", "copyData live",
                                                      "update live", "deleteItems staging"}));
}

// A crash before any item call of a store, then again before any item call of
// the recovering retrieve: the next clean retrieve sees exactly the old blob
// (crash before the staging item was added) or the new one, and leaves only
// the live item behind.
TEST_F(KeychainSecretsTest, ReplaceSurvivesACrashBetweenAnyTwoItemCalls) {
    for (const bool hadOldBlob : {false, true}) {
        for (std::size_t storeCrash = 1; storeCrash <= 6; ++storeCrash) {
            for (std::size_t retrieveCrash = 1; retrieveCrash <= 7; ++retrieveCrash) {
                SCOPED_TRACE(testing::Message()
                             << "old " << hadOldBlob << ", store crash at call " << storeCrash
                             << ", retrieve crash at call " << retrieveCrash);
                auto owned = std::make_unique<MemoryItemStore>();
                MemoryItemStore& store = *owned;
                KeychainSecrets keychain(live.service, live.account, std::move(owned));
                if (hadOldBlob) {
                    store.put(live, oldBlob);
                }

                store.crashAtCall(storeCrash);
                try {
                    keychain.store(newBlob);
                } catch (const SimulatedCrash&) {
                }
                store.restart();
                store.crashAtCall(retrieveCrash);
                try {
                    (void)keychain.retrieve();
                } catch (const SimulatedCrash&) {
                }
                store.restart();

                const bool stagedNewBlob = storeCrash > 2;
                const std::optional<Bytes> expected =
                    stagedNewBlob ? std::optional(newBlob)
                                  : (hadOldBlob ? std::optional(oldBlob) : std::nullopt);
                EXPECT_EQ(keychain.retrieve(), expected);
                EXPECT_FALSE(store.item(staging).has_value());
                EXPECT_EQ(store.itemCount(), expected ? 1u : 0u);
            }
        }
    }
}

TEST_F(KeychainSecretsTest, FailedStoreStepsLeaveThePreviousBlobReadable) {
    const SecretsError failure = SecretsError::osStatus(SecretsError::keyringLocked);
    // Call 2 adds the staging item, 3 reads the live item, 4 updates it.
    for (const std::size_t failing : {2u, 3u, 4u}) {
        SCOPED_TRACE(failing);
        items->put(live, oldBlob);
        items->restart();
        items->failCall(failing, failure);
        try {
            secrets->store(newBlob);
            ADD_FAILURE() << "store succeeded";
        } catch (const SecretsError& error) {
            EXPECT_EQ(error, failure);
        }
        EXPECT_EQ(items->item(live), oldBlob);
        EXPECT_FALSE(items->item(staging).has_value());
    }
}

TEST_F(KeychainSecretsTest, StoreIgnoresFailuresWhileRemovingTheStagingItem) {
    items->put(live, oldBlob);
    items->failCall(1, SecretsError::osStatus(SecretsError::callFailed));
    items->failCall(5, SecretsError::osStatus(SecretsError::callFailed));
    secrets->store(newBlob);
    EXPECT_EQ(items->item(live), newBlob);
    // The leftover staging copy holds the same bytes and is cleaned up later.
    EXPECT_EQ(items->item(staging), newBlob);
    items->restart();
    EXPECT_EQ(secrets->retrieve(), newBlob);
    EXPECT_FALSE(items->item(staging).has_value());
}

TEST_F(KeychainSecretsTest, RetrievePromotesAStagingItemLeftWithoutALiveItem) {
    items->put(staging, newBlob);
    EXPECT_EQ(secrets->retrieve(), newBlob);
    EXPECT_EQ(items->item(live), newBlob);
    EXPECT_FALSE(items->item(staging).has_value());
}

TEST_F(KeychainSecretsTest, RetrievePrefersAStagingItemOverAnOlderLiveItem) {
    items->put(live, oldBlob);
    items->put(staging, newBlob);
    EXPECT_EQ(secrets->retrieve(), newBlob);
    EXPECT_EQ(items->item(live), newBlob);
    EXPECT_EQ(items->itemCount(), 1u);
}

TEST_F(KeychainSecretsTest, FailedPromotionIsThrownAndRetriedByTheNextRetrieve) {
    items->put(live, oldBlob);
    items->put(staging, newBlob);
    items->failCall(3, SecretsError::osStatus(SecretsError::timedOut)); // the update of the live item
    EXPECT_THROW((void)secrets->retrieve(), SecretsError);
    EXPECT_EQ(items->item(staging), newBlob);
    items->restart();
    EXPECT_EQ(secrets->retrieve(), newBlob);
    EXPECT_FALSE(items->item(staging).has_value());
}

TEST_F(KeychainSecretsTest, ReadErrorsAreThrownNotReportedAsNothingStored) {
    items->put(live, oldBlob);
    for (const std::size_t failing : {1u, 2u}) { // staging read, live read
        items->restart();
        items->failCall(failing, SecretsError::osStatus(SecretsError::keyringLocked));
        EXPECT_THROW((void)secrets->retrieve(), SecretsError);
    }
    items->restart();
    EXPECT_EQ(secrets->retrieve(), oldBlob);
}

TEST_F(KeychainSecretsTest, EraseRemovesBothItemsAndStopsAtTheFirstError) {
    secrets->erase(); // nothing stored: succeeds
    items->put(live, oldBlob);
    items->put(staging, newBlob);
    items->restart();
    items->failCall(1, SecretsError::osStatus(SecretsError::keyringLocked));
    EXPECT_THROW(secrets->erase(), SecretsError);
    EXPECT_EQ(items->calls().size(), 1u);
    EXPECT_EQ(items->itemCount(), 2u);
    items->restart();
    secrets->erase();
    EXPECT_EQ(items->itemCount(), 0u);
    EXPECT_EQ(secrets->retrieve(), std::nullopt);
}

} // namespace
} // namespace zoq
