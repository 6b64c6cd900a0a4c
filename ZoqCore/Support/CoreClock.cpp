#include "ZoqCore/Support/CoreClock.h"

#include <ctime>

namespace zoq {
namespace {

timespec readClock(clockid_t id) noexcept {
    timespec ts{};
    // Both clocks always exist on Linux; clock_gettime cannot fail for them.
    clock_gettime(id, &ts);
    return ts;
}

} // namespace

double HostClock::now() const {
    const timespec ts = readClock(CLOCK_MONOTONIC);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Date HostClock::wallDate() const {
    const timespec ts = readClock(CLOCK_REALTIME);
    return Date::fromUnix(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

std::uint64_t HostClock::nanos() noexcept {
    const timespec ts = readClock(CLOCK_MONOTONIC);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

} // namespace zoq
