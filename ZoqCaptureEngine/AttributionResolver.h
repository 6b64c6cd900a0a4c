#pragma once

#include "ZoqCaptureEngine/Attribution.h"
#include "ZoqCaptureEngine/AttributionCache.h"
#include "ZoqCaptureEngine/AudioClientIdentity.h"
#include "ZoqCaptureEngine/ProcessTreeProviding.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zoq {

/// Maps a sound-server client to the desktop application identifier of the
/// application that owns it (the identifier the allowlist holds).
///
/// In this order:
/// 1. The client's process: the pid the server verified from the socket's
///    credentials, else the pid the client claims, trusted only when that
///    process runs the binary the client names, or, for a client in a
///    sandbox's pid namespace, when exactly one process with that innermost
///    pid does (among several, the one in the sandbox the client names, if
///    that leaves one). No trusted pid: step 4. Nothing a client sets about
///    itself is taken as verified.
/// 2. Walking up from that process through at most `maxDepth` processes, and
///    stopping at a pid already seen, pid 1, a parent of another user, a
///    parent that started after its child (the pid was reused), or a parent in
///    another systemd unit (whatever launched the client's application, a
///    terminal for instance): per process, its Flatpak sandbox, its Snap unit,
///    the desktop file a launcher started that very process from; then the
///    application unit the processes run in; then the one installed desktop
///    entry whose Exec runs the client's executable.
/// 3. The processes read must still be the same (same start times).
/// 4. Nothing found: the identifier the client reported ("application.id",
///    else the base name of "application.process.binary").
///
/// Attributions are cached while the processes they came from live (see
/// `AttributionCache`), so asking again for the same client costs one or two
/// reads of /proc.
///
/// A value type: copies share the process tree and the cache.
/// `attributedBundleID` and `attribute` may be called from any thread; they
/// never throw for anything the system answers (exited processes,
/// unreadable files), only when memory runs out.
class AttributionResolver {
public:
    /// Attribution over this system's processes ("/proc") and the
    /// applications installed for this process's environment.
    explicit AttributionResolver(int maxDepth = 16);

    /// Attribution over `tree`, which every copy shares. Throws
    /// `std::invalid_argument` when `tree` is null.
    explicit AttributionResolver(std::shared_ptr<const ProcessTreeProviding> tree, int maxDepth = 16);

    /// The application identifier of the client, or the identifier it reported
    /// when no application owns it; empty when it reported none either.
    std::string attributedBundleID(const AudioClientIdentity& client) const;

    /// The same, with where it came from.
    Attribution attribute(const AudioClientIdentity& client) const;

    int maxDepth() const noexcept { return maxDepth_; }
    const ProcessTreeProviding& tree() const noexcept { return *tree_; }

private:
    /// One process of the walk, with the unit it runs in.
    struct Link {
        ProcessRecord process;
        std::optional<std::string> unit;
    };

    /// An attribution and what it depends on, for the cache.
    struct Resolution {
        Attribution attribution;
        /// The processes it was read from; empty when no pid was trusted.
        std::vector<AttributionCache::Pin> pins;
        /// The pids searched for a claimed pid that could not be trusted.
        std::optional<std::vector<std::int32_t>> searchedPids;
    };

    Resolution resolve(const AudioClientIdentity& client) const;
    std::optional<ProcessRecord> clientProcess(const AudioClientIdentity& client,
                                               Resolution& resolution) const;
    std::optional<ProcessRecord> sandboxedProcess(std::int32_t claimedPid, const std::string& binary,
                                                  const std::string& portalAppId,
                                                  Resolution& resolution) const;
    bool runsBinary(const ProcessRecord& process, const std::string& binary) const;
    std::vector<Link> ancestry(const ProcessRecord& start) const;
    std::optional<Attribution> fromProcesses(const std::vector<Link>& chain) const;
    std::optional<Attribution> fromUnits(const std::vector<Link>& chain) const;
    std::optional<Attribution> fromDesktopExec(const std::vector<Link>& chain) const;

    std::shared_ptr<const ProcessTreeProviding> tree_;
    std::shared_ptr<AttributionCache> cache_;
    int maxDepth_;
};

} // namespace zoq
