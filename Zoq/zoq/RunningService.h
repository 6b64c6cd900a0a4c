#pragma once

#include "ZoqShell/Service/ShellBusClient.h"
#include "ZoqShell/Service/ShellBusError.h"

#include <memory>

namespace zoq::cli {

class CommandFailure;

/// The zoq service running on the session bus (the tray or `zoq daemon`),
/// or none.
std::unique_ptr<ShellBusClient> runningService();

/// The refusal of a command that needs the service when none runs
/// (`exitNotRunning`).
CommandFailure notRunning();

/// A failed call as a command's refusal: the service's own message, with
/// the exit code its error name calls for (not paired, not running, or a
/// plain failure).
CommandFailure serviceFailure(const ShellBusError& error);

} // namespace zoq::cli
