#pragma once

#include "ZoqCore/Support/Bytes.h"
#include "ZoqShell/Transport/FileRange.h"

#include <cstdint>
#include <variant>

namespace zoq {

/// What a request sends after its headers: nothing, bytes held in memory (the
/// portal's JSON documents), or a range of a file streamed from disk (the
/// upload PUTs). An empty `Bytes` body is a body of length 0, which differs
/// from no body at all: it is sent with "content-length: 0".
class RequestBody {
public:
    using Value = std::variant<std::monostate, Bytes, FileRange>;

    RequestBody() = default;
    RequestBody(Bytes bytes) : value_(std::move(bytes)) {}
    RequestBody(FileRange range) : value_(std::move(range)) {}

    static RequestBody none() { return {}; }

    bool isNone() const noexcept { return std::holds_alternative<std::monostate>(value_); }
    /// The in-memory bytes, or null when the body is not a byte buffer.
    const Bytes* bytes() const noexcept { return std::get_if<Bytes>(&value_); }
    /// The file range, or null when the body is not streamed from a file.
    const FileRange* fileRange() const noexcept { return std::get_if<FileRange>(&value_); }
    /// The number of bytes the body sends: 0 for none.
    std::int64_t size() const noexcept;

    const Value& value() const noexcept { return value_; }

    friend bool operator==(const RequestBody&, const RequestBody&) = default;

private:
    Value value_;
};

} // namespace zoq
