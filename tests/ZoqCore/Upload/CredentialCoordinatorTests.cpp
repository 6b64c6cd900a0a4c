#include "ZoqCore/Upload/CredentialCoordinator.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/TestSupport/CredentialTestSupport.h"
#include "tests/TestSupport/MemoryCredentialPersistence.h"

#include <functional>
#include <gtest/gtest.h>

namespace zoq {
namespace {

using test::caughtError;
using test::sampleCredentials;

constexpr const char* device = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";
constexpr const char* first = "8d1c2b3a-4e5f-4a6b-9c7d-0e1f2a3b4c5d";
constexpr const char* second = "11111111-2222-4333-8444-555555555555";
const Date start{800'000'000};

WireDocument refreshDocument(const std::string& refreshToken, const std::string& requestId) {
    return WireDocument(
        WireSchema::deviceRefreshRequest,
        JSONValue(JSONValue::Object{{"refreshToken", refreshToken}, {"requestId", requestId}}));
}

class CredentialCoordinatorTest : public ::testing::Test {
protected:
    explicit CredentialCoordinatorTest(std::int64_t generation = 0)
        : persistence(CredentialSnapshot(sampleCredentials(device, "refresh-a"), generation)),
          coordinator(persistence) {}

    // Starts a refresh of generation 0 under `first`.
    void startRefresh() {
        ASSERT_EQ(coordinator.unauthorized(0, start, first),
                  RefreshDecision::send(refreshDocument("refresh-a", first)));
    }

    // What is in memory is exactly what a restart would load.
    void expectSaved() const { EXPECT_EQ(persistence.stored(), coordinator.current()); }

    test::MemoryCredentialPersistence persistence;
    CredentialCoordinator coordinator;
};

TEST_F(CredentialCoordinatorTest, OneSendPerGenerationThenJoinedThenRetryCurrent) {
    EXPECT_EQ(caughtError([&] { coordinator.unauthorized(1, start, second); }), CoreError::staleLease());
    startRefresh();
    EXPECT_EQ(coordinator.current().pending, (PendingRefresh{first, 0, start}));
    expectSaved();

    EXPECT_EQ(coordinator.unauthorized(0, start + 1, second), RefreshDecision::joined(first));
    EXPECT_EQ(coordinator.unauthorized(0, start + 2, "not a uuid"), RefreshDecision::joined(first));

    coordinator.complete(first, 0, sampleCredentials(device, "refresh-b"));
    EXPECT_EQ(coordinator.current(), CredentialSnapshot(sampleCredentials(device, "refresh-b"), 1));
    expectSaved();
    EXPECT_EQ(coordinator.unauthorized(0, start + 3, second), RefreshDecision::retryCurrent(1));
    EXPECT_EQ(coordinator.unauthorized(1, start + 3, second),
              RefreshDecision::send(refreshDocument("refresh-b", second)));
}

TEST_F(CredentialCoordinatorTest, RefusesToRecordARequestIdThatIsNotAUUID) {
    EXPECT_EQ(caughtError([&] { coordinator.unauthorized(0, start, "refresh-1"); }),
              CoreError::invalid("format"));
    EXPECT_EQ(persistence.saveCount(), 0u);
    EXPECT_EQ(coordinator.current().pending, std::nullopt);
}

// A lost reply is resent as the very same document while it is younger than
// 120 s; from 120 s on, or with a clock gone back, the device blocks and stays
// blocked (the pending entry is kept).
TEST_F(CredentialCoordinatorTest, LostResponseIsResentFor120SecondsThenBlocks) {
    const struct {
        double elapsed;
        bool resent;
    } cases[] = {{0, true}, {119, true}, {119.999, true}, {120, false}, {500, false}, {-0.001, false}};
    for (const auto& c : cases) {
        test::MemoryCredentialPersistence store(
            CredentialSnapshot(sampleCredentials(device, "refresh-a"), 0));
        CredentialCoordinator subject(store);
        const RefreshDecision sent = subject.unauthorized(0, start, first);
        const RefreshDecision retried = subject.retryLostResponse(start + c.elapsed);
        const CredentialSnapshot after = subject.current();
        EXPECT_EQ(retried, c.resent ? sent : RefreshDecision::blocked()) << c.elapsed;
        EXPECT_EQ(after.blocked, !c.resent) << c.elapsed;
        EXPECT_EQ(after.pending, (PendingRefresh{first, 0, start})) << c.elapsed;
        EXPECT_EQ(store.stored(), after) << c.elapsed;
        if (!c.resent) {
            EXPECT_EQ(subject.unauthorized(0, start, second), RefreshDecision::blocked());
            EXPECT_EQ(subject.retryLostResponse(start), RefreshDecision::blocked());
        }
    }
}

TEST_F(CredentialCoordinatorTest, RetryWithNothingPendingBlocksNothing) {
    EXPECT_EQ(coordinator.retryLostResponse(start), RefreshDecision::blocked());
    EXPECT_FALSE(coordinator.current().blocked);
    EXPECT_EQ(persistence.saveCount(), 0u);
}

// A pending refresh is saved before it is sent, so after a crash the next
// run joins it and resends the identical request.
TEST_F(CredentialCoordinatorTest, PendingRefreshSurvivesARestart) {
    startRefresh();
    CredentialCoordinator restarted(persistence);
    EXPECT_EQ(restarted.unauthorized(0, start + 30, second), RefreshDecision::joined(first));
    EXPECT_EQ(restarted.retryLostResponse(start + 30),
              RefreshDecision::send(refreshDocument("refresh-a", first)));
    restarted.complete(first, 0, sampleCredentials(device, "refresh-b"));
    EXPECT_EQ(restarted.current().generation, 1);
}

TEST_F(CredentialCoordinatorTest, CompleteChecksTheRefreshAndTheDevice) {
    startRefresh();
    const CredentialSnapshot pending = coordinator.current();
    const std::function<void()> rejected[] = {
        [&] { coordinator.complete(second, 0, sampleCredentials(device, "refresh-b")); },
        [&] { coordinator.complete(first, 1, sampleCredentials(device, "refresh-b")); },
        [&] { coordinator.complete(first, -1, sampleCredentials(device, "refresh-b")); },
    };
    for (const auto& call : rejected) {
        EXPECT_EQ(caughtError(call), CoreError::staleLease());
    }
    EXPECT_EQ(caughtError([&] {
                  coordinator.complete(first, 0,
                                       sampleCredentials("00000000-0000-0000-0000-000000000000", "x"));
              }),
              CoreError::invalid("credential identity"));
    EXPECT_EQ(coordinator.current(), pending);
    expectSaved();

    coordinator.complete(first, 0, sampleCredentials("3F2B8C1E-9A4D-4E6F-8B2A-1C3D5E7F9A0B", "refresh-b"));
    EXPECT_EQ(coordinator.current().generation, 1);
    EXPECT_EQ(coordinator.current().credentials.refreshToken(), "refresh-b");
    EXPECT_EQ(caughtError([&] { coordinator.complete(first, 0, sampleCredentials(device, "refresh-c")); }),
              CoreError::staleLease());
}

TEST_F(CredentialCoordinatorTest, FailedBlocksOnlyThePendingRefresh) {
    EXPECT_EQ(caughtError([&] { coordinator.failed(first); }), CoreError::staleLease());
    startRefresh();
    EXPECT_EQ(caughtError([&] { coordinator.failed(second); }), CoreError::staleLease());
    EXPECT_FALSE(coordinator.current().blocked);

    coordinator.failed(first);
    EXPECT_TRUE(coordinator.current().blocked);
    EXPECT_EQ(coordinator.current().pending->requestId, first);
    expectSaved();
    EXPECT_EQ(caughtError([&] { coordinator.complete(first, 0, sampleCredentials(device, "refresh-b")); }),
              CoreError::staleLease());
    EXPECT_EQ(coordinator.unauthorized(0, start, second), RefreshDecision::blocked());
}

// Every mutating step whose save fails throws the save's error and leaves the
// coordinator deciding exactly as before.
TEST_F(CredentialCoordinatorTest, FailedSaveChangesNothing) {
    const CoreError saveError = CoreError::io("save", 5);
    persistence.failNextSaves(1, saveError);
    EXPECT_EQ(caughtError([&] { coordinator.unauthorized(0, start, first); }), saveError);
    EXPECT_EQ(coordinator.current().pending, std::nullopt);
    EXPECT_EQ(coordinator.unauthorized(0, start, second),
              RefreshDecision::send(refreshDocument("refresh-a", second)));

    const CredentialSnapshot pending = coordinator.current();
    const std::function<void()> steps[] = {
        [&] { coordinator.complete(second, 0, sampleCredentials(device, "refresh-b")); },
        [&] { coordinator.failed(second); },
        [&] { coordinator.retryLostResponse(start + 120); },
    };
    for (const auto& step : steps) {
        persistence.failNextSaves(1, saveError);
        EXPECT_EQ(caughtError(step), saveError);
        EXPECT_EQ(coordinator.current(), pending);
        expectSaved();
    }
    EXPECT_EQ(coordinator.retryLostResponse(start + 1),
              RefreshDecision::send(refreshDocument("refresh-a", second)));
}

TEST_F(CredentialCoordinatorTest, LoadErrorMeansNoCoordinator) {
    test::MemoryCredentialPersistence empty;
    EXPECT_EQ(caughtError([&] { CredentialCoordinator subject(empty); }),
              CoreError::invalid("no credentials"));
    persistence.failNextLoad(CoreError::io("read", 5));
    EXPECT_EQ(caughtError([&] { CredentialCoordinator subject(persistence); }), CoreError::io("read", 5));
}

class CredentialCoordinatorAtLastGeneration : public CredentialCoordinatorTest {
protected:
    CredentialCoordinatorAtLastGeneration() : CredentialCoordinatorTest(CredentialSnapshot::maxGeneration) {}
};

// One more generation would no longer read back exactly, and the device would
// lose its credentials at the next start.
TEST_F(CredentialCoordinatorAtLastGeneration, DoesNotAdvancePastTheLastGeneration) {
    const std::int64_t last = CredentialSnapshot::maxGeneration;
    ASSERT_EQ(coordinator.unauthorized(last, start, first).kind(), RefreshDecision::Kind::send);
    EXPECT_EQ(caughtError([&] { coordinator.complete(first, last, sampleCredentials(device, "refresh-b")); }),
              CoreError::invalidState());
    EXPECT_EQ(coordinator.current().generation, last);
    expectSaved();
}

TEST_F(CredentialCoordinatorTest, ThePortalOriginIsBoundOnceAndKeptThroughRotations) {
    EXPECT_EQ(coordinator.bindOrigin("http://127.0.0.1:8787").origin, "http://127.0.0.1:8787");
    expectSaved();
    // Bound credentials keep their portal whatever is asked later.
    EXPECT_EQ(coordinator.bindOrigin("http://127.0.0.2:8787").origin, "http://127.0.0.1:8787");
    startRefresh();
    coordinator.complete(first, 0, sampleCredentials(device, "refresh-b"));
    EXPECT_EQ(coordinator.current().generation, 1);
    EXPECT_EQ(coordinator.current().origin, "http://127.0.0.1:8787");
    expectSaved();

    // A failed save binds nothing.
    test::MemoryCredentialPersistence legacy(CredentialSnapshot(sampleCredentials(device, "refresh-a"), 0));
    CredentialCoordinator unbound(legacy);
    legacy.failNextSaves(1);
    EXPECT_THROW((void)unbound.bindOrigin("http://127.0.0.1:8787"), CoreError);
    EXPECT_EQ(unbound.current().origin, std::nullopt);
    EXPECT_EQ(legacy.stored()->origin, std::nullopt);
}

} // namespace
} // namespace zoq
