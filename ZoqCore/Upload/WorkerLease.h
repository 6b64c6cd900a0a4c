#pragma once

#include <cstdint>

namespace zoq {

/// The right to act on one recording's upload, handed out by
/// `UploadQueue::claim`. It is valid while the manifest's queue record is
/// leased under the same generation; every claim, cancel and recovery of a
/// dead worker's lease moves the generation on, so an old lease (a stale task,
/// a second process) is refused with `CoreError::staleLease`.
struct WorkerLease {
    std::int64_t generation = 0;

    friend bool operator==(const WorkerLease&, const WorkerLease&) = default;
};

} // namespace zoq
