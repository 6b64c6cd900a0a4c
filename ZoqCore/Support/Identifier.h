#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <cstddef>
#include <string>

namespace zoq {

/// A new random (version 4) UUID in lower-case text form, from OpenSSL's
/// secure random bytes. Throws `CoreError::io` if the generator fails.
std::string makeUUID();

/// `count` secure random bytes from OpenSSL. Throws `CoreError::io` on failure.
Bytes secureRandomBytes(std::size_t count);

} // namespace zoq
