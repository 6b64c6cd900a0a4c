#pragma once

#include "tests/TestSupport/ChildProcess.h"
#include "tests/TestSupport/TempDirectory.h"

#include <memory>
#include <string>
#include <vector>

namespace zoq::test {

/// A D-Bus daemon of the test's own, on a socket in a private directory, with
/// a configuration that allows everything and activates nothing (or only the
/// activation files in `serviceDirectory`): a stand-in system or session bus
/// that never reaches the machine's own services.
class PrivateBus {
public:
    explicit PrivateBus(const std::filesystem::path& serviceDirectory = {});

    /// The bus's address, for DBUS_SYSTEM_BUS_ADDRESS or a constructor.
    const std::string& address() const { return address_; }

    /// Starts `/usr/bin/python3 -m dbusmock --template NAME` on this bus (as its system
    /// and session bus) and waits until it owns `busName`. The mock runs until
    /// the returned process is destroyed or killed.
    std::unique_ptr<ChildProcess> startMock(const std::string& templateName,
                                            const std::string& busName) const;

    /// Starts `/usr/bin/python3 ARGUMENTS...` (Debian's, with its D-Bus
    /// modules) with this bus as its
    /// system and session bus and waits until it owns `busName`.
    std::unique_ptr<ChildProcess> startService(const std::vector<std::string>& pythonArguments,
                                               const std::string& busName) const;

    /// Whether `name` has an owner on this bus.
    bool hasOwner(const std::string& name) const;

private:
    TempDirectory directory_;
    std::string address_;
    std::unique_ptr<ChildProcess> daemon_;
};

} // namespace zoq::test
