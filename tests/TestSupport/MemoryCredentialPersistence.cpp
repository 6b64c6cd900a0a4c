#include "tests/TestSupport/MemoryCredentialPersistence.h"

namespace zoq::test {

MemoryCredentialPersistence::MemoryCredentialPersistence(std::optional<CredentialSnapshot> initial) {
    if (initial) {
        bytes_ = initial->encoded();
    }
}

CredentialSnapshot MemoryCredentialPersistence::load() {
    const std::lock_guard guard(lock_);
    if (loadError_) {
        const CoreError error = *loadError_;
        loadError_.reset();
        throw error;
    }
    if (!bytes_) {
        throw CoreError::invalid("no credentials");
    }
    return CredentialSnapshot::fromBytes(*bytes_);
}

void MemoryCredentialPersistence::save(const CredentialSnapshot& snapshot) {
    const std::lock_guard guard(lock_);
    if (failuresLeft_ > 0) {
        --failuresLeft_;
        throw failure_;
    }
    if (fault_) {
        if (const std::optional<CoreError> error = fault_(snapshot)) {
            throw *error;
        }
    }
    bytes_ = snapshot.encoded();
    ++saves_;
}

void MemoryCredentialPersistence::failNextSaves(std::size_t count, CoreError error) {
    const std::lock_guard guard(lock_);
    failuresLeft_ = count;
    failure_ = std::move(error);
}

void MemoryCredentialPersistence::setSaveFault(SaveFault fault) {
    const std::lock_guard guard(lock_);
    fault_ = std::move(fault);
}

void MemoryCredentialPersistence::failNextLoad(CoreError error) {
    const std::lock_guard guard(lock_);
    loadError_ = std::move(error);
}

void MemoryCredentialPersistence::putBytes(std::optional<Bytes> bytes) {
    const std::lock_guard guard(lock_);
    bytes_ = std::move(bytes);
}

std::optional<CredentialSnapshot> MemoryCredentialPersistence::stored() const {
    const std::lock_guard guard(lock_);
    if (!bytes_) {
        return std::nullopt;
    }
    return CredentialSnapshot::fromBytes(*bytes_);
}

std::size_t MemoryCredentialPersistence::saveCount() const {
    const std::lock_guard guard(lock_);
    return saves_;
}

} // namespace zoq::test
