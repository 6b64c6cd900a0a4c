#include "ZoqShell/Secrets/MemorySecrets.h"

namespace zoq {

void MemorySecrets::store(ByteView data) noexcept {
    const std::lock_guard guard(lock_);
    value_.emplace(data.begin(), data.end());
}

std::optional<Bytes> MemorySecrets::retrieve() noexcept {
    const std::lock_guard guard(lock_);
    return value_;
}

void MemorySecrets::erase() noexcept {
    const std::lock_guard guard(lock_);
    value_.reset();
}

} // namespace zoq
