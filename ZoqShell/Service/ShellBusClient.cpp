#include "ZoqShell/Service/ShellBusClient.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Service/ShellBusError.h"
#include "ZoqShell/Service/ShellBusInterface.h"
#include "ZoqShell/Service/ShellBusProperties.h"

#include <cstring>
#include <string_view>

namespace zoq {
namespace {

void check(int result, sdbus::Error& error, const char* what) {
    if (result >= 0) {
        return;
    }
    if (sd_bus_error_is_set(error.get()) != 0) {
        throw ShellBusError(error.get()->name, error.get()->message != nullptr ? error.get()->message : "");
    }
    throw ShellBusError({}, std::string(what) + ": " + std::strerror(-result));
}

} // namespace

std::unique_ptr<ShellBusClient> ShellBusClient::connect(const std::string& address) {
    sdbus::Bus bus;
    try {
        bus = sdbus::open(sdbus::Kind::user, address);
    } catch (const CoreError&) {
        return nullptr;
    }
    sd_bus_message* raw = nullptr;
    const int result =
        sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", nullptr, &raw, "s", shellbus::busName);
    const sdbus::Message reply(raw);
    int owned = 0;
    if (result < 0 || sd_bus_message_read(reply.get(), "b", &owned) < 0 || owned == 0) {
        return nullptr;
    }
    return std::unique_ptr<ShellBusClient>(new ShellBusClient(std::move(bus)));
}

std::unique_ptr<ShellBusClient> ShellBusClient::activate(const std::string& address) {
    sdbus::Bus bus;
    try {
        bus = sdbus::open(sdbus::Kind::user, address);
    } catch (const CoreError&) {
        return nullptr;
    }
    sdbus::Error error;
    sd_bus_message* raw = nullptr;
    // The bus answers once the started zoq owns its name, or with the reason
    // it could not start it (no activation file, the unit failed).
    check(sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "StartServiceByName", error.get(), &raw, "su",
                             shellbus::busName, 0U),
          error, "StartServiceByName");
    const sdbus::Message reply(raw);
    return std::unique_ptr<ShellBusClient>(new ShellBusClient(std::move(bus)));
}

sdbus::Message ShellBusClient::call(const char* method, std::chrono::microseconds timeout,
                                    const char* argument, const char* second) {
    return call(shellbus::interfaceName, method, timeout, argument, second);
}

sdbus::Message ShellBusClient::call(const char* interface, const char* method,
                                    std::chrono::microseconds timeout, const char* argument,
                                    const char* second) {
    sdbus::Error error;
    sd_bus_message* raw = nullptr;
    check(sd_bus_message_new_method_call(bus_.get(), &raw, shellbus::busName, shellbus::objectPath, interface,
                                         method),
          error, "cannot build a call");
    const sdbus::Message request(raw);
    // A zoq that is not running stays so: the command line only ever talks
    // to one that is.
    check(sd_bus_message_set_auto_start(request.get(), 0), error, "cannot build a call");
    if (argument != nullptr) {
        check(sd_bus_message_append_basic(request.get(), 's', argument), error, "cannot build a call");
    }
    if (second != nullptr) {
        check(sd_bus_message_append_basic(request.get(), 's', second), error, "cannot build a call");
    }
    raw = nullptr;
    const int result = sd_bus_call(bus_.get(), request.get(), static_cast<std::uint64_t>(timeout.count()),
                                   error.get(), &raw);
    if (result < 0 && sd_bus_error_is_set(error.get()) != 0 && !answeredByService(error.get()->name) &&
        !ownerPresent()) {
        // The bus answered for a service that left while the call waited
        // (the bus's own "recipient disconnected" text means nothing to a
        // person running a command).
        throw ShellBusError(shellbus::error::stopped, shellbus::error::stoppedMessage);
    }
    check(result, error, method);
    return sdbus::Message(raw);
}

bool ShellBusClient::answeredByService(const char* errorName) {
    const std::string_view name(errorName != nullptr ? errorName : "");
    // The service's own errors, and the bus's word that no service was there
    // when the call was sent (it never began handling it).
    return name.starts_with("org.zoq.Zoq.") || name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           name == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

bool ShellBusClient::ownerPresent() {
    sd_bus_message* raw = nullptr;
    const int result =
        sd_bus_call_method(bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &raw, "s", shellbus::busName);
    const sdbus::Message reply(raw);
    int owned = 0;
    // Unknown is taken as present: the original error then stands.
    return result < 0 || sd_bus_message_read(reply.get(), "b", &owned) < 0 || owned != 0;
}

ShellStatus ShellBusClient::status() {
    const sdbus::Message reply =
        call("org.freedesktop.DBus.Properties", "GetAll", callTimeout, shellbus::interfaceName);
    sd_bus_message* message = reply.get();
    ShellStatus status;
    sdbus::Error error;
    check(sd_bus_message_enter_container(message, 'a', "{sv}"), error, "unreadable properties");
    for (;;) {
        const int entered = sd_bus_message_enter_container(message, 'e', "sv");
        check(entered, error, "unreadable properties");
        if (entered == 0) {
            break;
        }
        const char* name = nullptr;
        check(sd_bus_message_read_basic(message, 's', &name), error, "unreadable properties");
        const shellbus::Property* property = shellbus::propertyNamed(name);
        if (property == nullptr) {
            // A newer service's property this client does not know.
            check(sd_bus_message_skip(message, "v"), error, "unreadable properties");
        } else {
            check(sd_bus_message_enter_container(message, 'v', property->signature), error, name);
            check(property->read(message, status), error, name);
            check(sd_bus_message_exit_container(message), error, name);
        }
        check(sd_bus_message_exit_container(message), error, "unreadable properties");
    }
    return status;
}

std::string ShellBusClient::pair(const std::string& code) {
    const sdbus::Message reply = call("Pair", pairTimeout, code.c_str());
    const char* message = nullptr;
    sdbus::Error error;
    check(sd_bus_message_read(reply.get(), "s", &message), error, "unreadable reply to Pair");
    return message;
}

std::string ShellBusClient::pairWithPortal(const std::string& url, const std::string& code) {
    const sdbus::Message reply = call("PairWithPortal", pairTimeout, url.c_str(), code.c_str());
    const char* message = nullptr;
    sdbus::Error error;
    check(sd_bus_message_read(reply.get(), "s", &message), error, "unreadable reply to PairWithPortal");
    return message;
}

std::pair<bool, std::string> ShellBusClient::applyPortalURL(const std::string& url) {
    const sdbus::Message reply = call("ApplyPortalURL", callTimeout, url.c_str());
    int applied = 0;
    const char* message = nullptr;
    sdbus::Error error;
    check(sd_bus_message_read(reply.get(), "bs", &applied, &message), error,
          "unreadable reply to ApplyPortalURL");
    return {applied != 0, message};
}

} // namespace zoq
