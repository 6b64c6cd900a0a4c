#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace zoq {

/// The one error type of ZoqCore.
///
/// Its reason text (`reason()`, also `what()`) is what manifests store and what
/// the user sees for a quarantined recording: the kind's name followed by its
/// values in parentheses, strings in double quotes, for example
/// `corrupt("manifest checksum")`, `io("rename", 2)` or `locked`.
class CoreError : public std::exception {
public:
    /// The kinds, in their fixed order.
    enum class Kind : std::uint8_t {
        invalid,       ///< input that breaks a rule; message is a short fixed tag
        io,            ///< a system call failed; message is the operation, code is errno
        corrupt,       ///< stored data no longer matches what was recorded
        processFailed, ///< a child process ended badly; code is its status
        locked,        ///< a directory lock is held elsewhere
        staleLease,    ///< an out-of-date lease, generation or request identifier
        invalidState,  ///< not allowed in the current state
        deadline,      ///< a child process ran past its deadline
    };

    static CoreError invalid(std::string message) { return {Kind::invalid, std::move(message), 0}; }
    static CoreError io(std::string operation, std::int32_t error) {
        return {Kind::io, std::move(operation), error};
    }
    static CoreError corrupt(std::string message) { return {Kind::corrupt, std::move(message), 0}; }
    static CoreError processFailed(std::int32_t status) { return {Kind::processFailed, {}, status}; }
    static CoreError locked() { return {Kind::locked, {}, 0}; }
    static CoreError staleLease() { return {Kind::staleLease, {}, 0}; }
    static CoreError invalidState() { return {Kind::invalidState, {}, 0}; }
    static CoreError deadline() { return {Kind::deadline, {}, 0}; }

    Kind kind() const noexcept { return kind_; }
    /// The string payload of `invalid`, `io` and `corrupt`; empty for the others.
    const std::string& message() const noexcept { return message_; }
    /// The errno of `io` or the status of `processFailed`; 0 for the others.
    std::int32_t code() const noexcept { return code_; }

    /// The reason text, e.g. `io("rename", 2)`.
    const std::string& reason() const noexcept { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }

    friend bool operator==(const CoreError& a, const CoreError& b) noexcept {
        return a.kind_ == b.kind_ && a.message_ == b.message_ && a.code_ == b.code_;
    }

    /// The name of a kind as it appears in reason texts ("invalidState").
    static const char* name(Kind kind) noexcept;

private:
    CoreError(Kind kind, std::string message, std::int32_t code);

    Kind kind_;
    std::string message_;
    std::int32_t code_;
    std::string reason_;
};

} // namespace zoq
