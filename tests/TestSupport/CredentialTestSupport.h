#pragma once

#include "ZoqCore/Upload/RefreshDecision.h"
#include "ZoqCore/Wire/DeviceCredentialsResponse.h"

#include <ostream>
#include <string>

namespace zoq {

/// Lets GoogleTest print a decision readably ("send {...}", "joined <id>").
void PrintTo(const RefreshDecision& decision, std::ostream* out);

namespace test {

/// A valid credentials document for `deviceId` whose refresh token is
/// `refreshToken` (the access token is derived from it).
DeviceCredentialsResponse sampleCredentials(const std::string& deviceId, const std::string& refreshToken);

} // namespace test
} // namespace zoq
