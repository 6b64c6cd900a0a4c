#pragma once

#include <exception>
#include <string>

namespace zoq {

/// A request produced no HTTP response: the name could not be resolved, the
/// connection was refused or broke, TLS failed, nothing moved for the idle
/// timeout, the reply was cut off, the URL is not http or https, or the body
/// could not be read from its file. `reason` says which in English for people
/// (it never carries header values or bodies); callers decide on the kind
/// alone. `problem` sorts the failure for the person (see `PlainWords`); it
/// carries no text, so it may travel where the reason must not.
class TransportUnavailable : public std::exception {
public:
    enum class Kind { network };

    /// What went wrong, as far as the transport can tell.
    enum class Problem : unsigned char {
        unknown,
        refused,                 ///< nothing listens at the address (connection refused)
        hostNotFound,            ///< the name does not resolve
        timedOut,                ///< nothing moved for the idle timeout, or no connection in time
        broken,                  ///< the connection broke, or the reply was cut off
        certificateSelfSigned,   ///< the portal's certificate signs itself
        certificateUntrusted,    ///< no trusted authority signed the portal's certificate
        certificateNameMismatch, ///< the certificate is for another name
        certificateExpired,      ///< the certificate is out of its dates
        tls,                     ///< any other failure of the secure connection
    };

    static TransportUnavailable network(std::string reason, Problem problem = Problem::unknown) {
        return {Kind::network, std::move(reason), problem};
    }

    Kind kind() const noexcept { return kind_; }
    Problem problem() const noexcept { return problem_; }
    const std::string& reason() const noexcept { return reason_; }
    /// network("reason").
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const TransportUnavailable& a, const TransportUnavailable& b) noexcept {
        return a.kind_ == b.kind_ && a.reason_ == b.reason_;
    }

private:
    TransportUnavailable(Kind kind, std::string reason, Problem problem)
        : kind_(kind), problem_(problem), reason_(std::move(reason)), text_("network(\"" + reason_ + "\")") {}

    Kind kind_;
    Problem problem_;
    std::string reason_;
    std::string text_;
};

} // namespace zoq
