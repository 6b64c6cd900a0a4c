#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace zoq {

/// The error of every keyring item operation: the status code of the failed
/// call, carried unchanged to callers who decide what it means.
///
/// The codes keep the keychain's numbering where the keychain has the same
/// outcome, so stored reasons and callers read the same on every platform; the
/// Secret Service outcomes the keychain has no code for get codes of their own.
/// Every code has a fixed English description (`description(status)`); `detail`
/// may add what the keyring itself said (a D-Bus error text). Two errors are
/// equal when their status codes are equal: the detail is for people, not for
/// decisions.
///
/// | status | constant             | outcome                                                  |
/// |--------|----------------------|----------------------------------------------------------|
/// | -25300 | `itemNotFound`       | no item matches the query                                |
/// | -25299 | `duplicateItem`      | an item with this service and account already exists     |
/// | -25308 | `keyringLocked`      | the collection (or item) is locked; zoq never prompts    |
/// | -25291 | `serviceUnavailable` | no Secret Service answers on the session bus             |
/// | -25294 | `noSuchCollection`   | the collection (alias or path) does not exist            |
/// | -26900 | `timedOut`           | the keyring did not answer before the deadline; the call |
/// |        |                      | was cancelled and its outcome is unknown                 |
/// | -26901 | `protocolError`      | the keyring answered with something malformed            |
/// | -26902 | `callFailed`         | any other failure of a keyring call (see `detail`)       |
/// | -26903 | `accessDenied`       | the keyring refused the caller                           |
class SecretsError : public std::exception {
public:
    static constexpr std::int32_t itemNotFound = -25300;
    static constexpr std::int32_t duplicateItem = -25299;
    static constexpr std::int32_t keyringLocked = -25308;
    static constexpr std::int32_t serviceUnavailable = -25291;
    static constexpr std::int32_t noSuchCollection = -25294;
    static constexpr std::int32_t timedOut = -26900;
    static constexpr std::int32_t protocolError = -26901;
    static constexpr std::int32_t callFailed = -26902;
    static constexpr std::int32_t accessDenied = -26903;

    static SecretsError osStatus(std::int32_t status, std::string detail = {}) {
        return SecretsError(status, std::move(detail));
    }

    std::int32_t status() const noexcept { return status_; }
    const std::string& detail() const noexcept { return detail_; }
    /// "keyring status -25308: the keyring is locked ... (detail)".
    const char* what() const noexcept override { return text_.c_str(); }

    /// The fixed description of a status code; unknown codes get a generic text.
    static const char* description(std::int32_t status) noexcept;

    friend bool operator==(const SecretsError& a, const SecretsError& b) noexcept {
        return a.status_ == b.status_;
    }

private:
    SecretsError(std::int32_t status, std::string detail);

    std::int32_t status_;
    std::string detail_;
    std::string text_;
};

} // namespace zoq
