#include "ZoqShell/Secrets/DeadlineCall.h"
#include "ZoqShell/Secrets/SecretsError.h"

#include <atomic>
#include <future>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <thread>

namespace zoq {
namespace {

using namespace std::chrono_literals;

// Waits (bounded, so a broken test cannot hang) until `done` holds.
template <class Predicate>
bool eventually(Predicate done) {
    for (int i = 0; i < 10000 && !done(); ++i) {
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

TEST(DeadlineCall, ReturnsResultsAndPassesErrorsThrough) {
    const DeadlineCall call(10s);
    EXPECT_EQ(call.run<int>(
                  [](GCancellable* cancellable) { return g_cancellable_is_cancelled(cancellable) ? 0 : 7; }),
              7);
    try {
        call.run([](GCancellable*) { throw SecretsError::osStatus(SecretsError::duplicateItem); });
        ADD_FAILURE() << "no error";
    } catch (const SecretsError& error) {
        EXPECT_EQ(error.status(), SecretsError::duplicateItem);
    }
}

TEST(DeadlineCall, CancelsABlockedJobAtTheDeadlineAndReportsATimeout) {
    std::atomic<bool> sawCancel = false;
    const DeadlineCall call(20ms, 10s);
    try {
        call.run([&](GCancellable* cancellable) {
            // Stands in for a keyring call that blocks until it is cancelled.
            eventually([&] { return g_cancellable_is_cancelled(cancellable) != FALSE; });
            sawCancel = g_cancellable_is_cancelled(cancellable) != FALSE;
        });
        ADD_FAILURE() << "no timeout";
    } catch (const SecretsError& error) {
        EXPECT_EQ(error, SecretsError::osStatus(SecretsError::timedOut));
    }
    // The worker was joined after it noticed the cancellation.
    EXPECT_TRUE(sawCancel);
}

TEST(DeadlineCall, ReturnsEvenWhenTheJobIgnoresCancellation) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    const DeadlineCall call(10ms, 10ms);
    EXPECT_THROW(call.run<int>([released, finished](GCancellable*) {
        released.wait();
        *finished = true;
        return 1;
    }),
                 SecretsError);
    EXPECT_FALSE(*finished);
    release.set_value();
    EXPECT_TRUE(eventually([&] { return finished->load(); }));
}

} // namespace
} // namespace zoq
