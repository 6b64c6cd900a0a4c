#pragma once

#include <exception>
#include <string>

namespace zoq {

/// A desktop entry or another file in its key-file format (".flatpak-info")
/// that breaks the format's rules. `what()` names the file, the line where
/// known, and the rule: "/usr/share/applications/x.desktop:7: expected
/// Key=Value".
class KeyFileError : public std::exception {
public:
    /// `line` counts from 1; 0 when the fault is not on one line.
    KeyFileError(std::string source, int line, std::string reason);

    const std::string& source() const noexcept { return source_; }
    int line() const noexcept { return line_; }
    const std::string& reason() const noexcept { return reason_; }
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const KeyFileError& a, const KeyFileError& b) noexcept {
        return a.source_ == b.source_ && a.line_ == b.line_ && a.reason_ == b.reason_;
    }

private:
    std::string source_;
    int line_;
    std::string reason_;
    std::string text_;
};

} // namespace zoq
