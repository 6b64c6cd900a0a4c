#include "ZoqShell/Recorder/RecorderPermissionContext.h"

namespace zoq {

RecorderPermissionContext RecorderPermissionContext::from(std::string_view service, std::string_view detail) {
    RecorderPermissionContext context;
    context.reportedService = std::string(service);
    context.detail = std::string(detail);
    if (service == "microphone") {
        context.service = Service::microphone;
        if (detail == "avcapture_denied" || detail == "tcc_denied") {
            context.status = Status::denied;
        } else if (detail == "tcc_restricted") {
            context.status = Status::restricted;
        } else if (detail == "not_determined") {
            context.status = Status::notDetermined;
        }
    } else if (service == "system_audio") {
        context.service = Service::systemAudio;
    }
    return context;
}

std::string_view rawValue(RecorderPermissionContext::Service service) noexcept {
    switch (service) {
    case RecorderPermissionContext::Service::microphone:
        return "microphone";
    case RecorderPermissionContext::Service::systemAudio:
        return "system_audio";
    case RecorderPermissionContext::Service::unknown:
        break;
    }
    return "unknown";
}

std::string_view rawValue(RecorderPermissionContext::Status status) noexcept {
    switch (status) {
    case RecorderPermissionContext::Status::notDetermined:
        return "notDetermined";
    case RecorderPermissionContext::Status::denied:
        return "denied";
    case RecorderPermissionContext::Status::restricted:
        return "restricted";
    case RecorderPermissionContext::Status::unconfirmed:
        break;
    }
    return "unconfirmed";
}

} // namespace zoq
