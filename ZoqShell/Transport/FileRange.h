#pragma once

#include <cstdint>
#include <filesystem>

namespace zoq {

/// `count` bytes of a file starting at `offset`: a request body that is
/// streamed from disk when it is sent, so an upload never holds the file in
/// memory. The file is opened only when the request is sent; what is sent is
/// exactly `count` bytes or nothing (see `CurlWireTransport`).
class FileRange {
public:
    /// Throws `CoreError::invalid("file range")` when `offset` or `count` is
    /// negative or their sum overflows.
    FileRange(std::filesystem::path file, std::int64_t offset, std::int64_t count);

    const std::filesystem::path& file() const noexcept { return file_; }
    std::int64_t offset() const noexcept { return offset_; }
    std::int64_t count() const noexcept { return count_; }

    friend bool operator==(const FileRange&, const FileRange&) = default;

private:
    std::filesystem::path file_;
    std::int64_t offset_;
    std::int64_t count_;
};

} // namespace zoq
