#pragma once

#include "ZoqCaptureEngine/Attribution.h"
#include "ZoqCaptureEngine/AudioClientIdentity.h"
#include "ZoqCaptureEngine/ProcessTreeProviding.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace zoq {

/// Attributions already worked out, each kept while the processes it was read
/// from live.
///
/// An attribution is a function of the client's process and of the process
/// its evidence came from; both are pinned by pid and start time, so a pid
/// that exits and is reused invalidates it. A hit costs reading one or two
/// start times instead of a dozen files, which is what lets the engine ask on
/// every tick.
///
/// A client whose claimed pid could not be trusted depends on every process
/// there is (any of them might have been the one its claim names), so that
/// answer is kept while the set of pids stays the same. Staying with it
/// longer than needed only keeps the client's own word, never another
/// application's identity.
///
/// What a hit does not notice, until the client's process exits: an
/// application installed or removed while it runs (for attributions made from
/// desktop entries), or its process moved into another unit after it was
/// attributed (desktops create an application's unit as they start it,
/// before it can open a stream).
///
/// Thread-safe. Holds at most `capacity` entries and drops the oldest first.
class AttributionCache {
public:
    /// A process as the attribution saw it.
    struct Pin {
        std::int32_t pid = 0;
        std::uint64_t startTime = 0;
        friend bool operator==(const Pin&, const Pin&) = default;
    };

    explicit AttributionCache(std::size_t capacity = 64) : capacity_(capacity) {}

    /// The attribution stored for exactly this client, if every one of its
    /// pins still holds in `tree`; an entry whose pin broke is dropped.
    std::optional<Attribution> find(const AudioClientIdentity& client, const ProcessTreeProviding& tree);

    /// Stores (or replaces) the attribution of `client`, valid while `pins`
    /// hold. `pins` must not be empty.
    void store(const AudioClientIdentity& client, const Attribution& attribution, std::vector<Pin> pins);

    /// Stores (or replaces) the attribution of a client whose claim could not
    /// be trusted, valid while the pids in `tree` are `processIDs`.
    void storeUntrusted(const AudioClientIdentity& client, const Attribution& attribution,
                        std::vector<std::int32_t> processIDs);

    std::size_t size() const;

private:
    struct Entry {
        AudioClientIdentity client;
        Attribution attribution;
        std::vector<Pin> pins;
        std::vector<std::int32_t> processIDs; // sorted; for untrusted claims only
    };

    void insert(Entry entry);
    static bool holds(const Entry& entry, const ProcessTreeProviding& tree);

    mutable std::mutex mutex_;
    std::deque<Entry> entries_; // guarded by mutex_
    std::size_t capacity_;
};

} // namespace zoq
