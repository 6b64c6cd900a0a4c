#pragma once

#include <exception>
#include <string>

namespace zoq {

/// A request produced no HTTP response: the name could not be resolved, the
/// connection was refused or broke, TLS failed, nothing moved for the idle
/// timeout, the reply was cut off, the URL is not http or https, or the body
/// could not be read from its file. `reason` says which in English for people
/// (it never carries header values or bodies); callers decide on the kind
/// alone.
class TransportUnavailable : public std::exception {
public:
    enum class Kind { network };

    static TransportUnavailable network(std::string reason) { return {Kind::network, std::move(reason)}; }

    Kind kind() const noexcept { return kind_; }
    const std::string& reason() const noexcept { return reason_; }
    /// network("reason").
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const TransportUnavailable& a, const TransportUnavailable& b) noexcept {
        return a.kind_ == b.kind_ && a.reason_ == b.reason_;
    }

private:
    TransportUnavailable(Kind kind, std::string reason)
        : kind_(kind), reason_(std::move(reason)), text_("network(\"" + reason_ + "\")") {}

    Kind kind_;
    std::string reason_;
    std::string text_;
};

} // namespace zoq
