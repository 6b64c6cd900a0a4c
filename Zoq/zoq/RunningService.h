#pragma once

#include "ZoqShell/Recorder/MainExecutor.h"
#include "ZoqShell/Service/ShellBusClient.h"
#include "ZoqShell/Service/ShellBusError.h"
#include "ZoqShell/Service/ShellBusService.h"

#include <functional>
#include <memory>
#include <string>

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

/// What claiming `org.zoq.Zoq` gives a long-lived zoq (the tray, `zoq
/// daemon`) at its start, before it builds anything that records. The claim
/// is a value the caller must look at: whether to run on is decided from it,
/// never from state written while something else is being built.
struct ServiceClaim {
    /// The service that owns the name; none when another zoq runs or there
    /// is no session bus.
    std::unique_ptr<ShellBusService> service;
    /// Another zoq owns the name and was asked to show itself: exit.
    bool alreadyRunning = false;
    /// Why there is no service although no other zoq runs (no usable session
    /// bus: zoq runs on without the commands that ask it); empty otherwise.
    std::string unavailable;
};

/// Claims the name on the session bus; `show` runs on `executor`'s thread
/// whenever a later start asks this zoq to show itself. Main thread.
ServiceClaim claimService(MainExecutor& executor, std::function<void()> show);

} // namespace zoq::cli
