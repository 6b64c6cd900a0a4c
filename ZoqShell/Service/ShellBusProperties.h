#pragma once

#include "ZoqShell/Service/ShellStatus.h"

#include <span>
#include <string_view>
#include <systemd/sd-bus.h>
#include <vector>

namespace zoq::shellbus {

/// One read-only property of the org.zoq.Zoq interface: how its value is
/// taken from a `ShellStatus`, written into a message, read back into one,
/// and whether two statuses differ in it. The service and the client share
/// this table, so the two can never disagree on a name or a signature.
struct Property {
    const char* name;
    const char* signature;
    bool (*differs)(const ShellStatus&, const ShellStatus&);
    /// Appends the value (a negative errno on failure, as sd-bus does).
    int (*append)(sd_bus_message*, const ShellStatus&);
    /// Reads the value at the message's position into the status.
    int (*read)(sd_bus_message*, ShellStatus&);
};

/// Every property, in the order the interface lists them.
std::span<const Property> properties();
/// The property named `name`, or null.
const Property* propertyNamed(std::string_view name);
/// The names of the properties in which `before` and `after` differ.
std::vector<const char*> changedProperties(const ShellStatus& before, const ShellStatus& after);

/// The signature of one upload row in the Rows property.
constexpr const char* rowSignature = "(ssssxdsbxxs)";

} // namespace zoq::shellbus
