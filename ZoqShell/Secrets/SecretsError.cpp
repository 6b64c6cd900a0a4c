#include "ZoqShell/Secrets/SecretsError.h"

namespace zoq {

const char* SecretsError::description(std::int32_t status) noexcept {
    switch (status) {
    case itemNotFound:
        return "no keyring item matches";
    case duplicateItem:
        return "the keyring item already exists";
    case keyringLocked:
        return "the keyring is locked; unlock it (for example by logging in to the desktop) and try again";
    case serviceUnavailable:
        return "no Secret Service is available on the session bus (is a keyring such as gnome-keyring "
               "running?)";
    case noSuchCollection:
        return "the keyring collection does not exist";
    case timedOut:
        return "the keyring did not answer in time; the call was cancelled";
    case protocolError:
        return "the keyring sent an invalid reply";
    case callFailed:
        return "a keyring call failed";
    case accessDenied:
        return "the keyring refused access";
    default:
        return "unknown keyring status";
    }
}

SecretsError::SecretsError(std::int32_t status, std::string detail)
    : status_(status), detail_(std::move(detail)),
      text_("keyring status " + std::to_string(status) + ": " + description(status)) {
    if (!detail_.empty()) {
        text_ += " (" + detail_ + ")";
    }
}

} // namespace zoq
