#pragma once

#include "ZoqCaptureEngine/AudioBackend.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace zoq {

/// The microphone's authorisation, by the platform's status values in this
/// order (0 to 3). Any other status counts as `denied`.
enum class MicrophoneAuthorizationState : std::uint8_t { notDetermined, restricted, denied, authorized };

/// "notDetermined", "restricted", "denied", "authorized".
std::string_view rawValue(MicrophoneAuthorizationState state) noexcept;
MicrophoneAuthorizationState microphoneStateFromStatus(std::int64_t status) noexcept;

/// How a refusal is told in events and terminations.
enum class MicrophonePermissionDetail : std::uint8_t {
    promptDenied,
    denied,
    restricted,
    notDetermined,
    unknownStatus
};

/// "avcapture_denied", "tcc_denied", "tcc_restricted", "not_determined", "unknown_status".
std::string_view rawValue(MicrophonePermissionDetail detail) noexcept;
/// The refusal a state stands for; none for `authorized`.
std::optional<MicrophonePermissionDetail> permissionDetail(MicrophoneAuthorizationState state) noexcept;
/// The state a detail text stands for; none for "unknown_status" and any other text.
std::optional<MicrophoneAuthorizationState> microphoneStateFromDetail(std::string_view text) noexcept;

struct MicrophonePermissionResult {
    MicrophoneAuthorizationState before = MicrophoneAuthorizationState::notDetermined;
    MicrophoneAuthorizationState after = MicrophoneAuthorizationState::notDetermined;
    bool granted = false;
    bool timedOutWaitingForHuman = false;

    friend bool operator==(const MicrophonePermissionResult&, const MicrophonePermissionResult&) = default;
};

/// Asks for the microphone at most once and waits for the answer, with a time
/// limit. Both operations block the calling thread (never the main thread or
/// the engine's queue); the completion may come on any thread, and one that
/// comes after the time limit is ignored.
namespace MicrophonePermissionRequester {

using StatusReader = std::function<std::int64_t()>;
using AccessRequest = std::function<void(std::function<void(bool granted)>)>;

MicrophonePermissionResult requestOnce(double timeoutSeconds, const StatusReader& currentStatus,
                                       const AccessRequest& requestAccess);
/// Asks only when the status is not determined; otherwise answers from it.
MicrophonePermissionResult requestOnceIfNotDetermined(double timeoutSeconds,
                                                      const StatusReader& currentStatus,
                                                      const AccessRequest& requestAccess);

} // namespace MicrophonePermissionRequester

/// The microphone permission of a plain Linux desktop: there is no prompt.
/// The sound server either accepts a record stream on the default source
/// (`authorized`, status 3) or refuses it for access reasons (`denied`,
/// status 2); `notDetermined` and `restricted` never occur. When the server
/// cannot be asked at all (no default source, no server), the status is
/// `unknownStatus` (-1), which counts as `denied` and is told as
/// "unknown_status".
class SoundServerMicrophoneAccess {
public:
    static constexpr std::int64_t authorizedStatus = 3;
    static constexpr std::int64_t deniedStatus = 2;
    static constexpr std::int64_t unknownStatus = -1;

    /// Borrows `backend`, which must outlive it.
    explicit SoundServerMicrophoneAccess(AudioBackend& backend) : backend_(backend) {}

    /// Opens and closes a record stream on the default source. Never throws.
    std::int64_t status() const;
    /// Answers at once with whether `status()` is authorised.
    void requestAccess(const std::function<void(bool)>& completion) const;

    /// `requestOnceIfNotDetermined` with this server's status and request.
    MicrophonePermissionResult requestOnceIfNotDetermined(double timeoutSeconds) const;

private:
    AudioBackend& backend_;
};

} // namespace zoq
