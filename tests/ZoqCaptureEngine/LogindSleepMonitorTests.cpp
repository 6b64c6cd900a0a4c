#include "ZoqCaptureEngine/LogindSleepMonitor.h"
#include "ZoqCore/Support/CoreError.h"
#include "tests/TestSupport/LogindClient.h"
#include "tests/TestSupport/PrivateBus.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/TestSupport/TestPrograms.h"

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

namespace zoq {
namespace {

using test::eventually;
using test::Inhibitor;
using test::LogindClient;

const Inhibitor ourLock{"sleep", "zoq", "Finishing recording", "delay"};

/// A gate a handler waits at until the test opens it.
class Gate {
public:
    void waitOpen() {
        std::unique_lock guard(lock_);
        reached_ = true;
        changed_.notify_all();
        changed_.wait(guard, [&] { return open_; });
    }
    bool reached() {
        std::lock_guard guard(lock_);
        return reached_;
    }
    void open() {
        std::lock_guard guard(lock_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool reached_ = false;
    bool open_ = false;
};

struct Counters {
    std::atomic<int> willSleep{0};
    std::atomic<int> didWake{0};
    std::atomic<int> unavailable{0};
    std::mutex lock;
    std::string reason; // guarded by lock

    SleepWakeHandlers handlers(Gate* gate = nullptr) {
        return {[this, gate] {
                    ++willSleep;
                    if (gate != nullptr) {
                        gate->waitOpen();
                    }
                },
                [this] { ++didWake; },
                [this](const std::string& why) {
                    std::lock_guard guard(lock);
                    reason = why;
                    ++unavailable;
                }};
    }
    std::string lastReason() {
        std::lock_guard guard(lock);
        return reason;
    }
};

/// A private bus with, by default, a mock logind on it, and a monitor
/// watching it whose handlers count and may wait at `gate`.
class LogindSleepMonitorTest : public ::testing::Test {
protected:
    void startLogind() { logind = bus.startMock("logind", "org.freedesktop.login1"); }
    void startMonitor(bool waitAtGate = false) {
        monitor.start(counters.handlers(waitAtGate ? &gate : nullptr));
    }
    bool lockHeld() { return client.inhibitors() == std::vector{ourLock}; }
    bool lockReleased() { return client.inhibitors().empty(); }

    test::PrivateBus bus;
    std::unique_ptr<test::ChildProcess> logind;
    LogindClient client{bus.address()};
    Gate gate;
    Counters counters;
    LogindSleepMonitor monitor{bus.address()};
};

TEST_F(LogindSleepMonitorTest, HoldsTheLockUntilWillSleepReturnsAndTakesItAgainOnWake) {
    startLogind();
    startMonitor(true);
    ASSERT_TRUE(eventually([&] { return lockHeld(); }));

    client.prepareForSleep(true);
    ASSERT_TRUE(eventually([&] { return gate.reached(); }));
    // The engine is still finishing its part: the machine must not sleep yet.
    EXPECT_TRUE(lockHeld());
    gate.open();
    EXPECT_TRUE(eventually([&] { return lockReleased(); }));

    client.prepareForSleep(false);
    ASSERT_TRUE(eventually([&] { return counters.didWake == 1; }));
    // The new lock is taken before did-wake runs, ready for the next sleep.
    EXPECT_TRUE(lockHeld());
    EXPECT_EQ(counters.willSleep, 1);
    EXPECT_EQ(counters.unavailable, 0);
}

TEST_F(LogindSleepMonitorTest, TakesANewLockWhenLogindRestarts) {
    startLogind();
    startMonitor();
    ASSERT_TRUE(eventually([&] { return lockHeld(); }));

    logind.reset(); // killed: its locks die with it
    ASSERT_TRUE(eventually([&] { return !bus.hasOwner("org.freedesktop.login1"); }));
    startLogind();

    EXPECT_TRUE(eventually([&] { return lockHeld(); }));
    client.prepareForSleep(true);
    EXPECT_TRUE(eventually([&] { return lockReleased() && counters.willSleep == 1; }));
    EXPECT_EQ(counters.unavailable, 0);
}

TEST_F(LogindSleepMonitorTest, WithoutLogindSaysSoOnceAndTakesTheLockWhenLogindAppears) {
    startMonitor();
    ASSERT_TRUE(eventually([&] { return counters.unavailable == 1; }));
    EXPECT_NE(counters.lastReason().find("logind"), std::string::npos) << counters.lastReason();

    startLogind();
    EXPECT_TRUE(eventually([&] { return lockHeld(); }));
    client.prepareForSleep(true);
    client.prepareForSleep(false);
    EXPECT_TRUE(eventually([&] { return counters.didWake == 1; }));
    EXPECT_EQ(counters.willSleep, 1);
    EXPECT_EQ(counters.unavailable, 1);
}

TEST_F(LogindSleepMonitorTest, StopDuringWillSleepReturnsAtOnceAndNothingIsDeliveredAfter) {
    startLogind();
    startMonitor(true);
    ASSERT_TRUE(eventually([&] { return lockHeld(); }));
    client.prepareForSleep(true);
    ASSERT_TRUE(eventually([&] { return gate.reached(); }));
    // The engine's shutdown stops the monitor on the very queue its
    // will-sleep step waits for: stop must not wait for the handler.
    monitor.stop();
    client.prepareForSleep(false);

    gate.open();
    EXPECT_TRUE(eventually([&] { return lockReleased(); }));
    EXPECT_EQ(counters.didWake, 0);
    EXPECT_THROW(monitor.start(counters.handlers()), CoreError);
}

TEST(LogindSleepMonitor, WithoutABusSaysSoOnce) {
    test::TempDirectory nowhere;
    Counters counters;
    LogindSleepMonitor monitor("unix:path=" + (nowhere / "no-bus").string());
    monitor.start(counters.handlers());
    ASSERT_TRUE(eventually([&] { return counters.unavailable == 1; }));
    EXPECT_NE(counters.lastReason().find("no system bus"), std::string::npos) << counters.lastReason();
    monitor.stop();
    EXPECT_EQ(counters.unavailable, 1);
}

} // namespace
} // namespace zoq
