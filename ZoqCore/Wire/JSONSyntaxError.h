#pragma once

#include <exception>
#include <string>

namespace zoq {

/// Bytes that are not one well-formed JSON text: a syntax error, invalid UTF-8,
/// a number outside the finite doubles, a repeated object key (which would make
/// the document ambiguous) or nesting deeper than `JSONValue::maxDepth`.
///
/// Deliberately not a `CoreError`: callers tell "not JSON at all" apart from
/// "JSON that breaks a rule". `what()` is one printable ASCII line starting
/// with "json: ".
class JSONSyntaxError : public std::exception {
public:
    /// `detail` is sanitised: bytes outside printable ASCII become '?'.
    explicit JSONSyntaxError(const std::string& detail);

    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

} // namespace zoq
