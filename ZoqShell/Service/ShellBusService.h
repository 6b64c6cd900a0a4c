#pragma once

#include "ZoqShell/Recorder/MainExecutor.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace zoq {

class ShellModel;

/// The running zoq service's face on the user's session bus: owns the name
/// `org.zoq.Zoq` and exports, at `/org/zoq/Zoq`, the interface
/// `org.zoq.Zoq` over a shell model: read-only properties for what the menu
/// shows (`ShellStatus`), with PropertiesChanged whenever they change, and
/// the methods StartRecording, StopRecording, TogglePause, Pause, Resume,
/// UploadNow, Pair, PairWithPortal, ApplyPortalURL and Show
/// (docs/session-bus.md).
///
/// Threads. The connection lives on a thread of its own (an sd-bus
/// connection belongs to one thread). A method call is handed to the main
/// thread, where the model lives, and answered from the bus thread when the
/// main thread's outcome comes back, so calls that take long (an upload
/// pass, a pairing) never hold up the bus. On every change of the model the
/// main thread publishes a fresh `ShellStatus` and wakes the bus thread,
/// which emits PropertiesChanged for what differs; the main thread never
/// waits for the bus.
///
/// Lifecycle. The constructor connects and asks for the name without
/// queueing; it waits for the answer (the only wait on the bus, before the
/// service is in use). When another process holds the name, `ownsName()` is
/// false and the service does nothing more: the caller asks the owner to
/// `Show` itself (`ShellBusClient`) and exits. `attach` puts a model behind
/// the interface; until then the methods (except Show) answer NotReady.
/// Either destroy the service before the model or `detach` it first.
class ShellBusService {
public:
    /// Connects to the session bus at `address` (empty: DBUS_SESSION_BUS_ADDRESS)
    /// and claims the name. `show` runs on the main thread when a client calls
    /// Show (a second start of zoq): the tray opens its menu, the daemon
    /// prints a line. Call on the main thread. Throws `ShellBusError` when
    /// there is no usable session bus.
    ShellBusService(MainExecutor& executor, std::function<void()> show, std::string address = {});
    ~ShellBusService();
    ShellBusService(const ShellBusService&) = delete;
    ShellBusService& operator=(const ShellBusService&) = delete;

    /// Whether this process owns `org.zoq.Zoq` (false: another zoq runs).
    bool ownsName() const noexcept { return ownsName_; }

    /// Serves `model` from now on; main thread. The model must outlive the
    /// service or be detached before it goes.
    void attach(ShellModel& model);
    /// Stops using the model; main thread. Calls still waiting for it
    /// (an upload pass, a pairing) are answered with an error.
    void detach();

private:
    struct Shared;
    struct MainSide;
    class Session;

    std::shared_ptr<Shared> shared_;
    std::shared_ptr<MainSide> main_;
    std::thread thread_;
    bool ownsName_ = false;
};

} // namespace zoq
