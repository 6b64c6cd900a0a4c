#pragma once

#include <stdexcept>
#include <string>

namespace zoq {

/// A failed exchange with the zoq service on the session bus: no bus, no
/// answer in time, or an error reply. `name` is the D-Bus error name
/// ("org.zoq.Zoq.Error.NotPaired", "org.freedesktop.DBus.Error.NoReply") or
/// empty when the failure was local (a connection that could not be opened);
/// `what()` is the message alone, a sentence for people.
class ShellBusError : public std::runtime_error {
public:
    ShellBusError(std::string name, const std::string& message)
        : std::runtime_error(message), name_(std::move(name)) {}

    const std::string& name() const noexcept { return name_; }

private:
    std::string name_;
};

} // namespace zoq
