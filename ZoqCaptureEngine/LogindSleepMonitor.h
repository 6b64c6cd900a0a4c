#pragma once

#include "ZoqCaptureEngine/SleepWakeObserving.h"

#include <memory>
#include <string>
#include <thread>

namespace zoq {

/// Sleep and wake from systemd-logind (or elogind), over sd-bus.
///
/// While running it holds a *delay* inhibitor lock ("sleep", who "zoq", why
/// "Finishing recording"), so logind announces a suspend with
/// PrepareForSleep(true) and then waits for the lock to go away, at most
/// InhibitDelayMaxSec (5 s by default; after that it suspends regardless).
/// On PrepareForSleep(true) the monitor calls `willSleep` and only when that
/// returns closes the lock, letting the machine sleep. On
/// PrepareForSleep(false) it takes a new lock first and then calls
/// `didWake`, so the next sleep is delayed again. When logind restarts (its
/// bus name changes owner) the old lock died with it and a new one is taken.
///
/// Without a system bus or without logind the monitor calls `unavailable`
/// once and goes on without sleep handling; should logind appear later, it
/// takes its lock then and delivers sleeps from then on.
///
/// Threads: one thread of its own owns the bus connection and runs every
/// handler. Nothing here waits without bound except `willSleep` itself;
/// each bus call is limited to 5 s.
class LogindSleepMonitor final : public SleepWakeObserving {
public:
    /// `busAddress` is the D-Bus address of the bus logind is on; empty means
    /// the system bus (`DBUS_SYSTEM_BUS_ADDRESS` or the standard socket).
    explicit LogindSleepMonitor(std::string busAddress = {});
    ~LogindSleepMonitor() override;
    LogindSleepMonitor(const LogindSleepMonitor&) = delete;
    LogindSleepMonitor& operator=(const LogindSleepMonitor&) = delete;

    void start(SleepWakeHandlers handlers) override;
    void stop() noexcept override;

    /// The lock's identity, as logind lists it (ListInhibitors).
    static constexpr const char* inhibitWhat = "sleep";
    static constexpr const char* inhibitWho = "zoq";
    static constexpr const char* inhibitWhy = "Finishing recording";
    static constexpr const char* inhibitMode = "delay";

private:
    struct Shared;
    class Session;

    const std::string busAddress_;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

} // namespace zoq
