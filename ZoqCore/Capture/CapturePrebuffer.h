#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <cstddef>
#include <cstdint>

namespace zoq {

/// The most recent audio heard while debouncing: a ring of whole frames with a
/// fixed capacity, so keeping "the last three seconds" costs one copy of each
/// chunk and never shifts what is already held.
///
/// Not thread-safe; owned by one `CaptureMachine`.
class CapturePrebuffer {
public:
    /// `capacity` in bytes; a positive multiple of the frame size.
    explicit CapturePrebuffer(std::size_t capacity);

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    /// Frame position of the first byte held. Kept when the buffer is emptied,
    /// and set again by the next `push` into an empty buffer.
    std::int64_t firstFrame() const noexcept { return firstFrame_; }

    /// Appends whole frames that start at `firstFrame` (used only when the
    /// buffer is empty: otherwise they follow what is held), then drops the
    /// oldest frames beyond the capacity. Allocates the ring on first use;
    /// if that throws, nothing changes.
    void push(ByteView data, std::int64_t firstFrame);

    /// The bytes held, oldest first.
    Bytes contents() const;
    /// `contents()`, leaving the buffer empty.
    Bytes take();
    void clear() noexcept { start_ = size_ = 0; }

private:
    std::size_t capacity_;
    Bytes ring_;
    std::size_t start_ = 0;
    std::size_t size_ = 0;
    std::int64_t firstFrame_ = 0;
};

} // namespace zoq
