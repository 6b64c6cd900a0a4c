#pragma once

#include <string>
#include <string_view>

namespace zoq {

/// Which permission stopped the recorder, and how things stand with it, as
/// the engine reported it.
struct RecorderPermissionContext {
    enum class Service : unsigned char { microphone, systemAudio, unknown };
    enum class Status : unsigned char { notDetermined, denied, restricted, unconfirmed };

    Service service = Service::unknown;
    /// The service text as the engine reported it.
    std::string reportedService;
    Status status = Status::unconfirmed;
    /// The detail text as the engine reported it.
    std::string detail;

    /// From the engine's texts: "microphone" or "system_audio" (anything else
    /// is `unknown`); for the microphone the status follows the detail
    /// ("avcapture_denied" and "tcc_denied" denied, "tcc_restricted"
    /// restricted, "not_determined" not determined, else unconfirmed).
    static RecorderPermissionContext from(std::string_view service, std::string_view detail);

    friend bool operator==(const RecorderPermissionContext&, const RecorderPermissionContext&) = default;
};

/// "microphone", "system_audio", "unknown".
std::string_view rawValue(RecorderPermissionContext::Service service) noexcept;
/// "notDetermined", "denied", "restricted", "unconfirmed".
std::string_view rawValue(RecorderPermissionContext::Status status) noexcept;

} // namespace zoq
