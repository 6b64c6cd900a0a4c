#pragma once

#include <memory>
#include <string>

namespace zoq {

class Artifact;

/// What `Artifact::recover` made of one directory: either an open, locked
/// artifact ready for use, or the reason it was quarantined (its lock is
/// released then). Movable only.
class RecoveryResult {
public:
    static RecoveryResult recovered(std::unique_ptr<Artifact> artifact);
    static RecoveryResult quarantined(std::string reason);

    RecoveryResult(RecoveryResult&&) noexcept;
    RecoveryResult& operator=(RecoveryResult&&) noexcept;
    ~RecoveryResult();

    bool isRecovered() const noexcept { return artifact_ != nullptr; }
    bool isQuarantined() const noexcept { return artifact_ == nullptr; }

    /// The recovered artifact. Throws `CoreError::invalidState()` when quarantined.
    Artifact& artifact() const;
    /// Hands the recovered artifact to the caller. Throws `CoreError::invalidState()`
    /// when quarantined.
    std::unique_ptr<Artifact> takeArtifact();
    /// The quarantine reason (a reason text such as `corrupt("manifest checksum")`);
    /// empty when recovered.
    const std::string& reason() const noexcept { return reason_; }

private:
    RecoveryResult(std::unique_ptr<Artifact> artifact, std::string reason);

    std::unique_ptr<Artifact> artifact_;
    std::string reason_;
};

} // namespace zoq
