#pragma once

#include <memory>
#include <string>
#include <systemd/sd-bus.h>

namespace zoq::sdbus {

// Owning handles for libsystemd's sd-bus objects, and the few calls every bus
// client of zoq repeats. zoq speaks D-Bus only through sd-bus.
//
// An sd-bus connection is not thread-safe: each one belongs to the one thread
// that created it, and nothing here shares one between threads.

struct BusDeleter {
    void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;

struct MessageDeleter {
    void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

struct SlotDeleter {
    void operator()(sd_bus_slot* slot) const noexcept { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, SlotDeleter>;

/// An sd_bus_error that frees itself.
class Error {
public:
    Error() noexcept = default;
    ~Error() { sd_bus_error_free(&error_); }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;

    sd_bus_error* get() noexcept { return &error_; }
    /// The D-Bus error name and message, or the text of errno `-result` when
    /// the call set no D-Bus error.
    std::string describe(int result) const;

private:
    sd_bus_error error_{}; // SD_BUS_ERROR_NULL, without its C compound literal
};

/// Which bus to join when no explicit address is given.
enum class Kind { system, user };

/// Connects to the bus at `address` (a D-Bus address such as
/// "unix:path=/tmp/bus"), or, when it is empty, to the system bus
/// (`DBUS_SYSTEM_BUS_ADDRESS` or the standard socket) or the user's session
/// bus (`DBUS_SESSION_BUS_ADDRESS`). File descriptors may be passed over it.
/// Throws `CoreError::io("sd_bus_open", errno)` when no connection can be
/// started; the Hello exchange completes later, on the first use.
Bus open(Kind kind, const std::string& address = {});

/// Throws `CoreError::io(operation, -result)` when `result` is negative.
void check(int result, const char* operation);

/// Dispatches every message already received on `bus`, then sleeps until the
/// bus has more work, its next timeout passes, `wakeFd` becomes readable, or
/// `maximumMilliseconds` pass (negative: no limit). Returns false when the
/// connection is closed (the peer went away). Throws `CoreError::io` when the
/// bus fails.
bool processThenWait(sd_bus* bus, int wakeFd, int maximumMilliseconds = -1);

} // namespace zoq::sdbus
