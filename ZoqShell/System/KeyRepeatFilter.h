#pragma once

#include <cstdint>
#include <optional>

namespace zoq {

/// Tells a physical key press from the presses auto-repeat makes while the key
/// is held, given the key's press and release events in order with their
/// server timestamps.
///
/// An X server repeats a held key in one of two ways: with XKB's detectable
/// auto-repeat, as further presses with no release between them; without it,
/// as a release and a press that carry the very same timestamp. Both are
/// repeats; a press after a release with an earlier timestamp is a new press.
class KeyRepeatFilter {
public:
    /// Whether this press is a new physical press.
    bool press(std::uint32_t time) noexcept {
        const bool repeat = held_ || releasedAt_ == time;
        held_ = true;
        return !repeat;
    }
    void release(std::uint32_t time) noexcept {
        held_ = false;
        releasedAt_ = time;
    }
    /// Forgets the key (a new grab starts afresh).
    void reset() noexcept { *this = {}; }

private:
    bool held_ = false;
    std::optional<std::uint32_t> releasedAt_;
};

} // namespace zoq
