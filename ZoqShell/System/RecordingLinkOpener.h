#pragma once

#include "ZoqShell/System/LinkOpening.h"

#include <mutex>
#include <vector>

namespace zoq {

/// Records every link it is asked to open, in call order, and reports each
/// as opened. For tests.
class RecordingLinkOpener final : public LinkOpening {
public:
    bool open(const DesktopLink& link) noexcept override {
        std::lock_guard guard(lock_);
        try {
            opened_.push_back(link);
        } catch (...) {
            return false;
        }
        return true;
    }

    std::vector<DesktopLink> history() const {
        std::lock_guard guard(lock_);
        return opened_;
    }

private:
    mutable std::mutex lock_;
    std::vector<DesktopLink> opened_; // guarded by lock_
};

} // namespace zoq
