#include "Zoq/zoq/RunningService.h"

#include "Zoq/zoq/CommandLine.h"
#include "Zoq/zoq/ShellSession.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Service/ShellBusInterface.h"

namespace zoq::cli {

std::unique_ptr<ShellBusClient> runningService() {
    return ShellBusClient::connect();
}

CommandFailure notRunning() {
    return CommandFailure(exitNotRunning,
                          i18n("zoq is not running (start it with `zoq daemon` or the tray)"));
}

CommandFailure serviceFailure(const ShellBusError& error) {
    if (error.name() == shellbus::error::notPaired) {
        return CommandFailure(exitNotPaired, substitute(i18n("{1} (run 'zoq pair CODE')"), {error.what()}));
    }
    if (error.name() == shellbus::error::stopped) {
        return CommandFailure(exitNotRunning, error.what());
    }
    // The service ended before the call reached it.
    if (error.name() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        error.name() == "org.freedesktop.DBus.Error.NameHasNoOwner") {
        return notRunning();
    }
    return CommandFailure(exitFailure, error.what());
}

ServiceClaim claimService(MainExecutor& executor, std::function<void()> show) {
    ServiceClaim claim;
    try {
        claim.service = std::make_unique<ShellBusService>(executor, std::move(show));
    } catch (const ShellBusError& error) {
        claim.unavailable = error.what();
        return claim;
    }
    if (claim.service->ownsName()) {
        return claim;
    }
    claim.service.reset();
    claim.alreadyRunning = true;
    try {
        if (const auto running = runningService()) {
            running->show();
        }
    } catch (const ShellBusError&) {
        // It is shutting down: nothing more to ask of it.
    }
    return claim;
}

} // namespace zoq::cli
