#include "tests/TestSupport/LogindClient.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <stdexcept>
#include <systemd/sd-bus.h>

namespace zoq::test {

LogindClient::LogindClient(const std::string& address) {
    sd_bus_new(&bus_);
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    if (sd_bus_start(bus_) < 0) {
        sd_bus_flush_close_unref(bus_);
        throw std::runtime_error("cannot reach the private bus");
    }
}

LogindClient::~LogindClient() {
    sd_bus_flush_close_unref(bus_);
}

std::vector<Inhibitor> LogindClient::inhibitors() {
    sd_bus_message* reply = nullptr;
    std::vector<Inhibitor> listed;
    if (sd_bus_call_method(bus_, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListInhibitors", nullptr, &reply, "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
        const char *what, *who, *why, *mode;
        std::uint32_t uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
            listed.emplace_back(what, who, why, mode);
        }
    }
    sd_bus_message_unref(reply);
    return listed;
}

void LogindClient::prepareForSleep(bool sleeping) {
    const int result = sd_bus_call_method(bus_, "org.freedesktop.login1", "/org/freedesktop/login1",
                                          "org.freedesktop.DBus.Mock", "EmitSignal", nullptr, nullptr,
                                          "sssav", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                                          1, "b", sleeping ? 1 : 0);
    ASSERT_GE(result, 0) << "the mock did not emit PrepareForSleep";
}

} // namespace zoq::test
