#pragma once

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Upload/CredentialPersistence.h"

#include <cerrno>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace zoq::test {

/// The in-memory `CredentialPersistence` for tests, with injectable faults.
///
/// A saved snapshot is kept as its encoded bytes and decoded again by `load`,
/// as the keyring persistence does, so an unencodable snapshot fails the save
/// and a test sees exactly what a restart would. Thread-safe: tests may read
/// (`stored`, `saveCount`) while a coordinator on other threads saves.
class MemoryCredentialPersistence final : public CredentialPersistence {
public:
    /// Decides whether one save fails: called with the snapshot about to be
    /// saved; returns the error to throw, or none to let the save succeed.
    using SaveFault = std::function<std::optional<CoreError>(const CredentialSnapshot&)>;

    explicit MemoryCredentialPersistence(std::optional<CredentialSnapshot> initial = std::nullopt);

    /// The stored snapshot; `CoreError::invalid("no credentials")` when none.
    /// Throws the injected load error, if any, once.
    CredentialSnapshot load() override;
    /// Throws the injected error, or the encoding error, and stores nothing.
    void save(const CredentialSnapshot& snapshot) override;

    /// The next `count` saves throw `error` and store nothing.
    void failNextSaves(std::size_t count, CoreError error = CoreError::io("save", EIO));
    /// Every later save asks `fault` (after any `failNextSaves` are used up).
    void setSaveFault(SaveFault fault);
    /// The next load throws `error`.
    void failNextLoad(CoreError error);
    /// Replaces the stored bytes directly, as damaged or foreign storage would.
    void putBytes(std::optional<Bytes> bytes);

    /// What a fresh load would return, or none when nothing is stored.
    std::optional<CredentialSnapshot> stored() const;
    /// The number of successful saves.
    std::size_t saveCount() const;

private:
    mutable std::mutex lock_;
    std::optional<Bytes> bytes_;                     // guarded by lock_
    std::size_t failuresLeft_ = 0;                   // guarded by lock_
    CoreError failure_ = CoreError::io("save", EIO); // guarded by lock_
    SaveFault fault_;                                // guarded by lock_
    std::optional<CoreError> loadError_;             // guarded by lock_
    std::size_t saves_ = 0;                          // guarded by lock_
};

} // namespace zoq::test
