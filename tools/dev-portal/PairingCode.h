#pragma once

#include <string>
#include <string_view>

namespace zoq::portal {

/// A pairing code: twelve symbols of the Crockford base-32 alphabet
/// "0123456789ABCDEFGHJKMNPQRSTVWXYZ" (no I, L, O, U).
class PairingCode {
public:
    static constexpr std::string_view alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    static constexpr std::size_t length = 12;

    /// Accepts the code in either case with dashes anywhere and blanks around
    /// it, the way the device normalises what the user typed. Throws
    /// `PortalError` for anything else.
    explicit PairingCode(std::string_view text);
    /// A fresh code from secure random bytes.
    static PairingCode random();

    /// "ABCDEFGHJKMN": the form the device sends.
    const std::string& normalized() const noexcept { return normalized_; }
    /// "ABCD-EFGH-JKMN": the form shown to people.
    std::string display() const;

private:
    std::string normalized_;
};

} // namespace zoq::portal
