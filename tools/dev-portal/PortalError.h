#pragma once

#include <stdexcept>
#include <string>

namespace zoq::portal {

/// A development-portal setup problem: a bad option, a fault switch the admin
/// endpoint cannot apply, a pairing code outside the alphabet, a state file
/// that cannot be read back. The message is one line of English for people.
class PortalError : public std::runtime_error {
public:
    explicit PortalError(const std::string& message) : std::runtime_error(message) {}
};

} // namespace zoq::portal
