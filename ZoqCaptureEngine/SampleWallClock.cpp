#include "ZoqCaptureEngine/SampleWallClock.h"

namespace zoq {

SampleWallClock::SampleWallClock(const CoreClock& base)
    : base_(base), anchorNow_(base.now()), anchorWall_(base.wallDate()) {}

double SampleWallClock::now() const {
    return base_.now();
}

Date SampleWallClock::wallDate() const {
    std::lock_guard lock(mutex_);
    if (!sampleEnd_) {
        return base_.wallDate();
    }
    return anchorWall_ + (*sampleEnd_ - anchorNow_);
}

std::optional<double> SampleWallClock::sampleEnd() const {
    std::lock_guard lock(mutex_);
    return sampleEnd_;
}

void SampleWallClock::setSampleEnd(std::optional<double> seconds) {
    std::lock_guard lock(mutex_);
    sampleEnd_ = seconds;
}

void SampleWallClock::reanchor() {
    // Read the base outside the lock: the base clock may take its own.
    const double now = base_.now();
    const Date wall = base_.wallDate();
    std::lock_guard lock(mutex_);
    anchorNow_ = now;
    anchorWall_ = wall;
    sampleEnd_.reset();
}

} // namespace zoq
