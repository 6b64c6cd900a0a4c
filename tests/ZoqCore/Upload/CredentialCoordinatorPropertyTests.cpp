#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Upload/CredentialCoordinator.h"
#include "tests/TestSupport/CredentialTestSupport.h"
#include "tests/TestSupport/MemoryCredentialPersistence.h"

#include <algorithm>
#include <cctype>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace zoq {
namespace {

constexpr const char* device = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";
constexpr unsigned threadCount = 16;
constexpr int stepsPerThread = 300;
constexpr unsigned rounds = 24;
const Date start{800'000'000};

std::string refreshTokenOf(std::int64_t generation) {
    return "refresh-" + std::to_string(generation);
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// What every thread saw, checked under one lock.
class Ledger {
public:
    // A `send` of `generation` was handed out.
    void sent(std::int64_t generation, const WireDocument& request, Date now) {
        const std::lock_guard guard(lock_);
        const std::string id = *request.value().find("requestId")->string();
        EXPECT_EQ(*request.value().find("refreshToken")->string(), refreshTokenOf(generation));
        idsSent_[generation].insert(id);
        EXPECT_EQ(idsSent_[generation].size(), 1u) << "two refreshes sent for generation " << generation;
        startedAt_.emplace(id, now);
        first_.emplace(id, request);
        // A resend may overtake the sender's own record of the first send: the
        // coordinator hands the pending request to whoever reports it lost.
        const auto [early, end] = resentEarly_.equal_range(id);
        for (auto each = early; each != end; ++each) {
            checkResend(id, each->second.first, each->second.second);
        }
        resentEarly_.erase(id);
    }
    // A lost response was resent (`request`) at `now`.
    void resent(const WireDocument& request, Date now) {
        const std::lock_guard guard(lock_);
        const std::string id = *request.value().find("requestId")->string();
        if (!first_.contains(id)) {
            resentEarly_.emplace(id, std::pair(request, now));
            return;
        }
        checkResend(id, request, now);
    }
    // Every resend was matched with the send it repeats.
    void expectNoUnmatchedResends() {
        const std::lock_guard guard(lock_);
        for (const auto& [id, resend] : resentEarly_) {
            ADD_FAILURE() << "resent a request never sent: " << id;
        }
    }
    // When the refresh `id` was sent, if its sender has recorded it yet.
    std::optional<Date> startedAt(const std::string& id) {
        const std::lock_guard guard(lock_);
        const auto found = startedAt_.find(id);
        return found == startedAt_.end() ? std::nullopt : std::optional(found->second);
    }

private:
    void checkResend(const std::string& id, const WireDocument& request, Date now) {
        EXPECT_EQ(request, first_.at(id));
        EXPECT_GE(now, startedAt_.at(id));
        EXPECT_LT(now - startedAt_.at(id), CredentialCoordinator::lostResponseWindow);
    }

    std::mutex lock_;
    std::multimap<std::string, std::pair<WireDocument, Date>> resentEarly_;
    std::map<std::int64_t, std::set<std::string>> idsSent_;
    std::map<std::string, Date> startedAt_;
    std::map<std::string, WireDocument> first_;
};

// Remembers every snapshot that was saved, so a snapshot seen in memory can
// be checked to be one of them.
class SavedSnapshots {
public:
    void add(const CredentialSnapshot& snapshot) {
        const std::lock_guard guard(lock_);
        saved_.push_back(textOf(snapshot.encoded()));
    }
    bool contains(const CredentialSnapshot& snapshot) {
        const std::lock_guard guard(lock_);
        return std::find(saved_.begin(), saved_.end(), textOf(snapshot.encoded())) != saved_.end();
    }

private:
    std::mutex lock_;
    std::vector<std::string> saved_;
};

// One worker: reports 401s for the generation it believes current (or an
// older one), and resolves the refreshes it was told to send: completes them,
// fails them (rarely), or loses the reply and retries after a random delay.
// Now and then it also takes another worker's pending refresh for lost, as a
// restarted run would.
void work(CredentialCoordinator& coordinator, Ledger& ledger, SavedSnapshots& saved, unsigned seed) {
    std::mt19937 random(seed);
    const auto percent = [&] { return static_cast<int>(random() % 1000) / 10.0; };
    const CoreError saveError = CoreError::io("save", 5);
    std::int64_t lastSeen = 0;
    for (int step = 0; step < stepsPerThread; ++step) {
        const CredentialSnapshot seen = coordinator.current();
        EXPECT_TRUE(saved.contains(seen)) << "memory holds a snapshot that was never saved";
        EXPECT_GE(seen.generation, lastSeen);
        lastSeen = seen.generation;
        if (seen.blocked) {
            return;
        }
        const std::int64_t generation = seen.generation - (percent() < 20 ? 1 : 0);
        const Date now = start + static_cast<double>(step);
        RefreshDecision decision = RefreshDecision::blocked();
        try {
            decision = coordinator.unauthorized(generation, now, makeUUID());
        } catch (const CoreError& error) {
            EXPECT_EQ(error, saveError);
            continue;
        }
        if (decision.kind() == RefreshDecision::Kind::joined && percent() < 0.3) {
            if (const std::optional<Date> startedAt = ledger.startedAt(decision.requestId())) {
                const Date later = *startedAt + static_cast<double>(random() % 125);
                try {
                    const RefreshDecision retried = coordinator.retryLostResponse(later);
                    if (retried.kind() == RefreshDecision::Kind::send) {
                        ledger.resent(retried.request(), later);
                    }
                } catch (const CoreError& error) {
                    EXPECT_EQ(error, saveError);
                }
            }
            continue;
        }
        if (decision.kind() != RefreshDecision::Kind::send) {
            continue;
        }
        ledger.sent(generation, decision.request(), now);
        const std::string id = *decision.request().value().find("requestId")->string();
        // Only this worker resolves its refresh; it keeps at it until the
        // refresh is resolved or the device is blocked.
        for (bool resolved = false; !resolved;) {
            const double outcome = percent();
            try {
                if (outcome < 1) {
                    coordinator.failed(id);
                    EXPECT_TRUE(coordinator.current().blocked);
                    resolved = true;
                } else if (outcome < 12) {
                    const Date later = now + (static_cast<double>(random() % 150) - 5);
                    const RefreshDecision retried = coordinator.retryLostResponse(later);
                    if (retried.kind() == RefreshDecision::Kind::send) {
                        ledger.resent(retried.request(), later);
                    } else {
                        EXPECT_TRUE(coordinator.current().blocked);
                        resolved = true;
                    }
                } else {
                    // The portal may answer with the device identifier in another case.
                    const std::string answeredDevice = percent() < 50 ? upper(device) : device;
                    coordinator.complete(
                        id, generation,
                        test::sampleCredentials(answeredDevice, refreshTokenOf(generation + 1)));
                    resolved = true;
                }
            } catch (const CoreError& error) {
                const CredentialSnapshot after = coordinator.current();
                if (error == CoreError::staleLease()) {
                    // Blocked meanwhile by a worker that took the refresh for lost.
                    EXPECT_TRUE(after.blocked);
                    resolved = true;
                    continue;
                }
                EXPECT_EQ(error, saveError);
                EXPECT_EQ(after.generation, generation) << "a failed save moved the generation";
                ASSERT_TRUE(after.pending.has_value()) << "a failed save dropped the pending refresh";
                EXPECT_EQ(after.pending->requestId, id);
                resolved = after.blocked;
            }
        }
    }
}

// Sixteen workers race 401s of the current and older generations while
// refreshes complete, fail or are lost and one save in ten fails: no
// generation ever gets two refresh requests, a resend is always the identical
// document inside the 120 s window, and memory only ever holds saved snapshots.
TEST(CredentialCoordinatorProperty, AtMostOneRefreshPerGenerationUnderConcurrency) {
    std::int64_t generations = 0;
    for (unsigned round = 0; round < rounds; ++round) {
        test::MemoryCredentialPersistence persistence(
            CredentialSnapshot(test::sampleCredentials(device, refreshTokenOf(0)), 0));
        SavedSnapshots saved;
        saved.add(*persistence.stored());
        std::mt19937 faults(round);
        // Runs under the coordinator's lock: the fault generator and the
        // record of saved snapshots are only touched one save at a time.
        persistence.setSaveFault([&](const CredentialSnapshot& snapshot) -> std::optional<CoreError> {
            if (faults() % 10 == 0) {
                return CoreError::io("save", 5);
            }
            saved.add(snapshot);
            return std::nullopt;
        });
        CredentialCoordinator coordinator(persistence);
        Ledger ledger;
        std::vector<std::thread> workers;
        for (unsigned index = 0; index < threadCount; ++index) {
            workers.emplace_back(work, std::ref(coordinator), std::ref(ledger), std::ref(saved),
                                 round * 1000 + index);
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
        ledger.expectNoUnmatchedResends();
        EXPECT_EQ(persistence.stored(), coordinator.current()) << "round " << round;
        generations += coordinator.current().generation;
    }
    EXPECT_GT(generations, 0) << "no refresh ever completed: the workload exercised nothing";
}

} // namespace
} // namespace zoq
