#include "ZoqCore/Spool/RecoveryResult.h"

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Support/CoreError.h"

#include <utility>

namespace zoq {

RecoveryResult::RecoveryResult(std::unique_ptr<Artifact> artifact, std::string reason)
    : artifact_(std::move(artifact)), reason_(std::move(reason)) {}

RecoveryResult RecoveryResult::recovered(std::unique_ptr<Artifact> artifact) {
    if (artifact == nullptr) {
        throw CoreError::invalidState();
    }
    return RecoveryResult(std::move(artifact), {});
}

RecoveryResult RecoveryResult::quarantined(std::string reason) {
    return RecoveryResult(nullptr, std::move(reason));
}

RecoveryResult::RecoveryResult(RecoveryResult&&) noexcept = default;
RecoveryResult& RecoveryResult::operator=(RecoveryResult&&) noexcept = default;
RecoveryResult::~RecoveryResult() = default;

Artifact& RecoveryResult::artifact() const {
    if (artifact_ == nullptr) {
        throw CoreError::invalidState();
    }
    return *artifact_;
}

std::unique_ptr<Artifact> RecoveryResult::takeArtifact() {
    if (artifact_ == nullptr) {
        throw CoreError::invalidState();
    }
    return std::move(artifact_);
}

} // namespace zoq
