#include "ZoqCore/Capture/CapturePrebuffer.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/PCM.h"

#include <algorithm>
#include <cstring>

namespace zoq {
namespace {

constexpr std::size_t frameBytes = pcm::bytesPerFrame;

} // namespace

CapturePrebuffer::CapturePrebuffer(std::size_t capacity) : capacity_(capacity) {
    if (capacity == 0 || capacity % frameBytes != 0) {
        throw CoreError::invalid("whole PCM frames");
    }
}

void CapturePrebuffer::push(ByteView data, std::int64_t firstFrame) {
    if (data.empty()) {
        return;
    }
    if (ring_.empty()) {
        ring_.resize(capacity_);
    }
    if (size_ == 0) {
        firstFrame_ = firstFrame;
    }
    // Only the newest `capacity_` bytes can survive, so older input is skipped
    // rather than copied and then overwritten.
    const std::size_t total = size_ + data.size();
    const std::size_t dropped = total > capacity_ ? total - capacity_ : 0;
    if (data.size() > capacity_) {
        data = data.subspan(data.size() - capacity_);
    }
    const std::size_t end = (start_ + size_) % capacity_;
    const std::size_t head = std::min(data.size(), capacity_ - end);
    std::memcpy(ring_.data() + end, data.data(), head);
    std::memcpy(ring_.data(), data.data() + head, data.size() - head);
    if (total >= capacity_) {
        // Full: the oldest byte kept is the one after the newest written.
        start_ = (end + data.size()) % capacity_;
        size_ = capacity_;
    } else {
        size_ = total;
    }
    firstFrame_ += static_cast<std::int64_t>(dropped / frameBytes);
}

Bytes CapturePrebuffer::contents() const {
    if (size_ == 0) {
        return {};
    }
    Bytes out(size_);
    const std::size_t head = std::min(size_, capacity_ - start_);
    std::memcpy(out.data(), ring_.data() + start_, head);
    std::memcpy(out.data() + head, ring_.data(), size_ - head);
    return out;
}

Bytes CapturePrebuffer::take() {
    Bytes out = contents();
    clear();
    return out;
}

} // namespace zoq
