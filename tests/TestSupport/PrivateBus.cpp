#include "tests/TestSupport/PrivateBus.h"

#include "tests/TestSupport/TestPrograms.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <systemd/sd-bus.h>

namespace zoq::test {

PrivateBus::PrivateBus(const std::filesystem::path& serviceDirectory) {
    const std::string daemon = requireProgram("dbus-daemon", "dbus-daemon");
    const auto config = directory_ / "bus.conf";
    std::ofstream(config)
        << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)"
        << (directory_ / "socket").string() << R"(</listen>
  <auth>EXTERNAL</auth>
)" << (serviceDirectory.empty() ? "" : "  <servicedir>" + serviceDirectory.string() + "</servicedir>\n")
        << R"(  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
    const auto printed = directory_ / "address";
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{daemon, "--config-file=" + config.string(), "--nofork", "--nopidfile",
                                 "--print-address=1"},
        std::vector<std::string>{}, printed);
    // The address is printed once the daemon listens.
    const bool listening = eventually([&] {
        std::ifstream in(printed);
        std::getline(in, address_);
        return !address_.empty() && in.good();
    });
    if (!listening) {
        throw std::runtime_error("the private dbus-daemon did not start");
    }
}

bool PrivateBus::hasOwner(const std::string& name) const {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) {
        return false;
    }
    int has = 0;
    sd_bus_message* reply = nullptr;
    if (sd_bus_set_address(bus, address_.c_str()) >= 0 && sd_bus_set_bus_client(bus, 1) >= 0 &&
        sd_bus_start(bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", nullptr, &reply, "s", name.c_str()) >= 0) {
        sd_bus_message_read(reply, "b", &has);
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return has != 0;
}

std::unique_ptr<ChildProcess> PrivateBus::startMock(const std::string& templateName,
                                                    const std::string& busName) const {
    // Debian's python3 and its python3-dbusmock, whatever python3 PATH finds first.
    if (runProgram({"/usr/bin/python3", "-c", "import dbusmock"}) != 0) {
        throw std::runtime_error("python3-dbusmock is missing: this test runs a mock service for real "
                                 "(`./dev deps` installs the Debian package python3-dbusmock)");
    }
    return startService({"-m", "dbusmock", "--template", templateName}, busName);
}

std::unique_ptr<ChildProcess> PrivateBus::startService(const std::vector<std::string>& pythonArguments,
                                                       const std::string& busName) const {
    std::vector<std::string> command{"/usr/bin/python3"};
    command.insert(command.end(), pythonArguments.begin(), pythonArguments.end());
    auto service =
        std::make_unique<ChildProcess>(command,
                                       std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + address_,
                                                                "DBUS_SESSION_BUS_ADDRESS=" + address_},
                                       directory_ / "services.log");
    if (!eventually([&] { return hasOwner(busName); })) {
        throw std::runtime_error(command.back() + " did not take " + busName + " (see " +
                                 (directory_ / "services.log").string() + ")");
    }
    return service;
}

} // namespace zoq::test
