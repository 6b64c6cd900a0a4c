#include "ZoqCaptureEngine/SdBus.h"

#include "ZoqCore/Support/CoreError.h"

#include <cerrno>
#include <cstring>
#include <poll.h>

namespace zoq::sdbus {

std::string Error::describe(int result) const {
    if (sd_bus_error_is_set(&error_) != 0) {
        std::string text = error_.name;
        if (error_.message != nullptr) {
            text += ": ";
            text += error_.message;
        }
        return text;
    }
    return std::strerror(result < 0 ? -result : result);
}

void check(int result, const char* operation) {
    if (result < 0) {
        throw CoreError::io(operation, -result);
    }
}

Bus open(Kind kind, const std::string& address) {
    sd_bus* raw = nullptr;
    if (address.empty()) {
        check(kind == Kind::system ? sd_bus_open_system(&raw) : sd_bus_open_user(&raw), "sd_bus_open");
        return Bus(raw);
    }
    check(sd_bus_new(&raw), "sd_bus_open");
    Bus bus(raw);
    check(sd_bus_set_address(raw, address.c_str()), "sd_bus_open");
    check(sd_bus_set_bus_client(raw, 1), "sd_bus_open");
    check(sd_bus_negotiate_fds(raw, 1), "sd_bus_open");
    check(sd_bus_start(raw), "sd_bus_open");
    return bus;
}

bool processThenWait(sd_bus* bus, int wakeFd, int maximumMilliseconds) {
    for (;;) {
        const int processed = sd_bus_process(bus, nullptr);
        if (processed == -ECONNRESET || processed == -ENOTCONN) {
            return false;
        }
        check(processed, "sd_bus_process");
        if (processed == 0) {
            break;
        }
    }
    const int busFd = sd_bus_get_fd(bus);
    check(busFd, "sd_bus_get_fd");
    const int events = sd_bus_get_events(bus);
    check(events, "sd_bus_get_events");
    std::uint64_t until = 0;
    check(sd_bus_get_timeout(bus, &until), "sd_bus_get_timeout");
    int timeout = -1;
    if (until != UINT64_MAX) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1'000;
        // Round up so a deadline a fraction of a millisecond away is not a busy loop.
        timeout = until <= nowUsec
                      ? 0
                      : static_cast<int>(std::min<std::uint64_t>((until - nowUsec + 999) / 1'000, 60'000));
    }
    if (maximumMilliseconds >= 0 && (timeout < 0 || timeout > maximumMilliseconds)) {
        timeout = maximumMilliseconds;
    }
    pollfd fds[2] = {{busFd, static_cast<short>(events), 0}, {wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
        throw CoreError::io("poll", errno);
    }
    return true;
}

} // namespace zoq::sdbus
