#pragma once

#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqShell/Transport/CurlWireTransport.h"

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zoq::test {

/// The development portal as a real server process on loopback, started from
/// the built `zoq-dev-portal` (see `program`) with a private data
/// directory, stopped (SIGTERM, then reaped) when the object goes away.
class PortalProcess {
public:
    /// Starts the portal with `options` added to `--data DIR --quiet` and
    /// waits for its address and pairing code. Throws `std::runtime_error`
    /// when it cannot be started.
    /// With `log`, the portal's request log (one line per request) goes to
    /// that file instead of `--quiet`.
    PortalProcess(const std::filesystem::path& data, const std::vector<std::string>& options = {},
                  const std::filesystem::path& log = {});
    ~PortalProcess();
    PortalProcess(const PortalProcess&) = delete;
    PortalProcess& operator=(const PortalProcess&) = delete;

    const std::string& url() const noexcept { return url_; }
    const std::string& pairingCode() const noexcept { return code_; }
    const std::filesystem::path& data() const noexcept { return data_; }

    /// GET /dev/uploads: the "uploads" array.
    JSONValue::Array uploads();
    /// POST /dev/faults with `faults`; throws unless the portal took them.
    void setFaults(const JSONValue::Object& faults);

    /// The path of a built program: bin/NAME under $ZOQ_BINARY_DIR, else
    /// under the working directory (ctest runs suites in the build directory).
    static std::filesystem::path program(const std::string& name);

private:
    std::filesystem::path data_;
    pid_t pid_ = -1;
    std::string url_;
    std::string code_;
    CurlWireTransport transport_;
};

} // namespace zoq::test
