#pragma once

#include "tools/dev-portal/PortalFaults.h"
#include "tools/dev-portal/PortalOptions.h"
#include "tools/dev-portal/RefreshCounts.h"

#include "ZoqCore/Support/CoreClock.h"

#include <memory>
#include <ostream>
#include <string>

namespace zoq::portal {

/// A development portal: an HTTP/1.1 server on 127.0.0.1 that speaks exactly
/// the portal protocol the device uses (pairing, credential refresh with
/// rotation, uploads with single or multipart presigned PUTs, completion and
/// status polls), plus fault switches and admin endpoints for tests.
///
/// Every request document is validated with `Wire` before it is acted on, and
/// every reply document is validated before it is sent; only the
/// `malformedReplies` fault lets a reply out that breaks its schema.
///
/// State (devices, credentials, uploads, presigned URLs) is saved durably to
/// "state.json" in the data directory after every change, and received bytes
/// are written and flushed under "objects/" before they are acknowledged, so a
/// portal restarted on the same directory carries on where it stopped.
///
/// Thread-safe. Requests are served on the server's worker threads; the
/// portal's state is guarded by one mutex that is not held while a PUT body
/// streams in.
class DevPortal {
public:
    /// Loads (or creates) the data directory, binds the port and starts serving
    /// on a background thread before it returns. `log`, when given, receives
    /// one line per request (method, path without storage tokens, status); it
    /// must outlive the portal. Throws `PortalError` (bad options, bind
    /// failure, unreadable state file) or `CoreError` (file system).
    DevPortal(PortalOptions options, const CoreClock& clock, std::ostream* log = nullptr);
    /// Stops serving and waits for the server thread.
    ~DevPortal();
    DevPortal(const DevPortal&) = delete;
    DevPortal& operator=(const DevPortal&) = delete;

    int port() const noexcept;
    /// "http://127.0.0.1:PORT".
    std::string url() const;
    /// The accepted pairing code as shown to people ("ABCD-EFGH-JKMN").
    std::string pairingCode() const;

    /// How the refreshes since this start were answered (also GET /dev/refreshes).
    RefreshCounts refreshCounts() const;

    PortalFaults faults() const;
    void setFaults(const PortalFaults& faults);

    /// Stops accepting requests; requests in progress finish. Idempotent.
    void stop() noexcept;

private:
    class Server;
    std::unique_ptr<Server> server_;
};

} // namespace zoq::portal
