#pragma once

#include "ZoqCore/Support/CoreClock.h"

#include <mutex>
#include <optional>

namespace zoq {

/// The clock handed to the recorder core during capture. Its monotonic
/// reading is the base clock's; its wall date follows the audio delivered
/// rather than the moment of delivery: once `setSampleEnd` has been called,
/// `wallDate` is the wall time at which the last delivered sample was
/// captured (anchor wall date + (sample end − anchor monotonic time)), so
/// the core's records are stamped with when the audio happened even though
/// the mixer hands it out half a second or more later.
///
/// The engine sets the sample end after every delivered block and calls
/// `reanchor()` after the computer wakes from sleep, because the monotonic
/// clock does not advance during sleep while the wall clock does.
///
/// Borrows `base`, which must outlive it. Safe to read and set from any
/// thread.
class SampleWallClock final : public CoreClock {
public:
    explicit SampleWallClock(const CoreClock& base);

    double now() const override;
    Date wallDate() const override;

    /// Host-clock seconds just after the last delivered frame; absent until
    /// the first delivery after construction or `reanchor()`.
    std::optional<double> sampleEnd() const;
    void setSampleEnd(std::optional<double> seconds);

    /// Takes a new anchor from the base clock and forgets the sample end.
    void reanchor();

private:
    const CoreClock& base_;
    mutable std::mutex mutex_;
    double anchorNow_;                // guarded by mutex_
    Date anchorWall_;                 // guarded by mutex_
    std::optional<double> sampleEnd_; // guarded by mutex_
};

} // namespace zoq
