#include "ZoqCaptureEngine/MicrophonePermission.h"

#include "ZoqCaptureEngine/AudioBackendError.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace zoq {

std::string_view rawValue(MicrophoneAuthorizationState state) noexcept {
    switch (state) {
    case MicrophoneAuthorizationState::notDetermined:
        return "notDetermined";
    case MicrophoneAuthorizationState::restricted:
        return "restricted";
    case MicrophoneAuthorizationState::denied:
        return "denied";
    case MicrophoneAuthorizationState::authorized:
        return "authorized";
    }
    return "denied";
}

MicrophoneAuthorizationState microphoneStateFromStatus(std::int64_t status) noexcept {
    if (status < 0 || status > 3) {
        return MicrophoneAuthorizationState::denied;
    }
    return static_cast<MicrophoneAuthorizationState>(status);
}

std::string_view rawValue(MicrophonePermissionDetail detail) noexcept {
    switch (detail) {
    case MicrophonePermissionDetail::promptDenied:
        return "avcapture_denied";
    case MicrophonePermissionDetail::denied:
        return "tcc_denied";
    case MicrophonePermissionDetail::restricted:
        return "tcc_restricted";
    case MicrophonePermissionDetail::notDetermined:
        return "not_determined";
    case MicrophonePermissionDetail::unknownStatus:
        return "unknown_status";
    }
    return "unknown_status";
}

std::optional<MicrophonePermissionDetail> permissionDetail(MicrophoneAuthorizationState state) noexcept {
    switch (state) {
    case MicrophoneAuthorizationState::notDetermined:
        return MicrophonePermissionDetail::notDetermined;
    case MicrophoneAuthorizationState::restricted:
        return MicrophonePermissionDetail::restricted;
    case MicrophoneAuthorizationState::denied:
        return MicrophonePermissionDetail::denied;
    case MicrophoneAuthorizationState::authorized:
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<MicrophoneAuthorizationState> microphoneStateFromDetail(std::string_view text) noexcept {
    if (text == "avcapture_denied" || text == "tcc_denied") {
        return MicrophoneAuthorizationState::denied;
    }
    if (text == "tcc_restricted") {
        return MicrophoneAuthorizationState::restricted;
    }
    if (text == "not_determined") {
        return MicrophoneAuthorizationState::notDetermined;
    }
    return std::nullopt;
}

namespace MicrophonePermissionRequester {

MicrophonePermissionResult requestOnce(double timeoutSeconds, const StatusReader& currentStatus,
                                       const AccessRequest& requestAccess) {
    // Shared with the completion, which may outlive this call.
    struct Box {
        std::mutex mutex;
        std::condition_variable answered;
        std::optional<bool> granted;
    };
    auto box = std::make_shared<Box>();
    MicrophonePermissionResult result;
    result.before = microphoneStateFromStatus(currentStatus());
    requestAccess([box](bool granted) {
        std::lock_guard lock(box->mutex);
        box->granted = granted;
        box->answered.notify_all();
    });
    std::optional<bool> granted;
    {
        std::unique_lock lock(box->mutex);
        box->answered.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                               [&] { return box->granted.has_value(); });
        granted = box->granted;
    }
    result.after = microphoneStateFromStatus(currentStatus());
    result.granted = granted.value_or(false);
    result.timedOutWaitingForHuman = !granted.has_value();
    return result;
}

MicrophonePermissionResult requestOnceIfNotDetermined(double timeoutSeconds,
                                                      const StatusReader& currentStatus,
                                                      const AccessRequest& requestAccess) {
    const MicrophoneAuthorizationState state = microphoneStateFromStatus(currentStatus());
    if (state != MicrophoneAuthorizationState::notDetermined) {
        return MicrophonePermissionResult{state, state, state == MicrophoneAuthorizationState::authorized,
                                          false};
    }
    return requestOnce(timeoutSeconds, currentStatus, requestAccess);
}

} // namespace MicrophonePermissionRequester

namespace {

class DiscardingHandler final : public RecordStreamHandler {
public:
    void onAudio(const RecordedAudio&) noexcept override {}
    void onStreamFailed(std::int32_t, const std::string&) noexcept override {}
};

} // namespace

std::int64_t SoundServerMicrophoneAccess::status() const {
    try {
        const AudioGraph graph = backend_.graph();
        const AudioSourceInfo* source = graph.sourceNamed(graph.defaultSourceName);
        if (source == nullptr) {
            return unknownStatus;
        }
        DiscardingHandler handler;
        backend_.openRecordStream(RecordStreamRequest{source->name, source->format.rate, 1,
                                                      source->format.rate / 100, "zoq permission check",
                                                      std::nullopt},
                                  handler);
        return authorizedStatus;
    } catch (const AudioBackendError& error) {
        return error.code() == AudioBackendError::accessDenied ? deniedStatus : unknownStatus;
    }
}

void SoundServerMicrophoneAccess::requestAccess(const std::function<void(bool)>& completion) const {
    completion(status() == authorizedStatus);
}

MicrophonePermissionResult
SoundServerMicrophoneAccess::requestOnceIfNotDetermined(double timeoutSeconds) const {
    return MicrophonePermissionRequester::requestOnceIfNotDetermined(
        timeoutSeconds, [this] { return status(); },
        [this](const std::function<void(bool)>& completion) { requestAccess(completion); });
}

} // namespace zoq
