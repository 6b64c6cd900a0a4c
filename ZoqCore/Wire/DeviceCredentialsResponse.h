#pragma once

#include "ZoqCore/Wire/WireModel.h"

namespace zoq {

/// The credentials the portal issues to a paired device.
class DeviceCredentialsResponse : public WireModel<DeviceCredentialsResponse> {
public:
    static constexpr WireSchema schema = WireSchema::deviceCredentialsResponse;

    /// Throws `CoreError::invalid("schema")` for a document of another schema.
    explicit DeviceCredentialsResponse(const WireDocument& document);

    const std::string& deviceId() const { return text("deviceId"); }
    const std::string& accessToken() const { return text("accessToken"); }
    const std::string& refreshToken() const { return text("refreshToken"); }
    /// Canonical timestamps ("YYYY-MM-DDTHH:MM:SS.mmmZ").
    const std::string& accessExpiresAt() const { return text("accessExpiresAt"); }
    const std::string& refreshExpiresAt() const { return text("refreshExpiresAt"); }
};

} // namespace zoq
