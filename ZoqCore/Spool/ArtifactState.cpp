#include "ZoqCore/Spool/ArtifactState.h"

#include <array>
#include <utility>

namespace zoq {
namespace {

constexpr std::array<std::pair<ArtifactState, std::string_view>, 12> stateNames = {{
    {ArtifactState::allocated, "ALLOCATED"},
    {ArtifactState::writingWAV, "WRITING_WAV"},
    {ArtifactState::finalisingFLAC, "FINALISING_FLAC"},
    {ArtifactState::ready, "READY"},
    {ArtifactState::uploading, "UPLOADING"},
    {ArtifactState::verifyingRemote, "VERIFYING_REMOTE"},
    {ArtifactState::stored, "STORED"},
    {ArtifactState::cleaned, "CLEANED"},
    {ArtifactState::discardedShort, "DISCARDED_SHORT"},
    {ArtifactState::retryWait, "RETRY_WAIT"},
    {ArtifactState::blockedAuth, "BLOCKED_AUTH"},
    {ArtifactState::quarantined, "QUARANTINED"},
}};

constexpr std::array<std::pair<QueueStage, std::string_view>, 13> stageNames = {{
    {QueueStage::ready, "READY_TO_UPLOAD"},
    {QueueStage::waitingNetwork, "WAITING_NETWORK"},
    {QueueStage::creating, "CREATING_UPLOAD"},
    {QueueStage::transferring, "TRANSFERRING"},
    {QueueStage::completing, "COMPLETING"},
    {QueueStage::verifying, "VERIFYING_REMOTE"},
    {QueueStage::stored, "STORED"},
    {QueueStage::cleanup, "CLEANUP"},
    {QueueStage::done, "DONE"},
    {QueueStage::retryWait, "RETRY_WAIT"},
    {QueueStage::blockedAuth, "BLOCKED_AUTH"},
    {QueueStage::blockedPermission, "BLOCKED_PERMISSION"},
    {QueueStage::quarantined, "QUARANTINED"},
}};

template <typename Enum, std::size_t count>
std::string_view nameOf(const std::array<std::pair<Enum, std::string_view>, count>& names, Enum value) {
    for (const auto& [candidate, name] : names) {
        if (candidate == value) {
            return name;
        }
    }
    return {};
}

template <typename Enum, std::size_t count>
std::optional<Enum> valueNamed(const std::array<std::pair<Enum, std::string_view>, count>& names,
                               std::string_view raw) {
    for (const auto& [value, name] : names) {
        if (name == raw) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace

std::string_view rawValue(ArtifactState state) noexcept {
    return nameOf(stateNames, state);
}

std::optional<ArtifactState> artifactStateNamed(std::string_view raw) noexcept {
    return valueNamed(stateNames, raw);
}

std::string_view rawValue(QueueStage stage) noexcept {
    return nameOf(stageNames, stage);
}

std::optional<QueueStage> queueStageNamed(std::string_view raw) noexcept {
    return valueNamed(stageNames, raw);
}

} // namespace zoq
