#pragma once

#include "ZoqShell/Secrets/SecretsStoring.h"

#include <mutex>

namespace zoq {

/// The in-memory `SecretsStoring` for tests and for running without a keyring.
/// Safe to share between threads: each operation holds `lock` for its whole
/// read or write. Never throws.
class MemorySecrets final : public SecretsStoring {
public:
    explicit MemorySecrets(std::optional<Bytes> initial = std::nullopt) : value_(std::move(initial)) {}

    void store(ByteView data) noexcept override;
    std::optional<Bytes> retrieve() noexcept override;
    void erase() noexcept override;

private:
    std::mutex lock_;
    std::optional<Bytes> value_; // guarded by lock_
};

} // namespace zoq
