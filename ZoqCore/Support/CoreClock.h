#pragma once

#include "ZoqCore/Support/Date.h"

#include <atomic>
#include <cstdint>

namespace zoq {

/// The time source of every core type. Implementations are safe to read from
/// any thread.
class CoreClock {
public:
    virtual ~CoreClock() = default;
    /// Monotonic seconds, for every interval and deadline. Never goes back.
    virtual double now() const = 0;
    /// The wall-clock date, for every timestamp that is written.
    virtual Date wallDate() const = 0;
};

/// The host's clocks: CLOCK_MONOTONIC for `now`, CLOCK_REALTIME for `wallDate`.
/// Stream positions from the sound server are CLOCK_MONOTONIC nanoseconds, so
/// `nanos() / 1e9` is directly comparable with `now()`.
class HostClock final : public CoreClock {
public:
    double now() const override;
    Date wallDate() const override;
    /// CLOCK_MONOTONIC in nanoseconds.
    static std::uint64_t nanos() noexcept;
    /// Converts a host-clock reading to nanoseconds. The sound server stamps
    /// audio with CLOCK_MONOTONIC nanoseconds already, so this is the
    /// identity; it names the one place a different host clock would convert.
    static constexpr std::uint64_t nanosOfHostTime(std::uint64_t hostTime) noexcept { return hostTime; }
};

/// A clock that moves only when told to; for tests and simulations.
/// Thread-safe: readings and advances may come from different threads.
class ManualClock final : public CoreClock {
public:
    explicit ManualClock(double monotonic = 1000.0, Date wall = Date{800'000'000.0})
        : monotonic_(monotonic), wall_(wall.sinceReferenceDate) {}

    double now() const override { return monotonic_.load(); }
    Date wallDate() const override { return Date{wall_.load()}; }

    /// Moves both readings forward by `seconds`.
    void advance(double seconds) {
        monotonic_.store(monotonic_.load() + seconds);
        wall_.store(wall_.load() + seconds);
    }
    void setNow(double monotonic) { monotonic_.store(monotonic); }
    void setWallDate(Date date) { wall_.store(date.sinceReferenceDate); }

private:
    std::atomic<double> monotonic_;
    std::atomic<double> wall_;
};

} // namespace zoq
