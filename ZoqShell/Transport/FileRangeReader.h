#pragma once

#include "ZoqShell/Transport/FileRange.h"

#include <cstdint>
#include <span>

namespace zoq {

/// Reads a `FileRange` for sending, from an open descriptor it owns.
///
/// The file is opened like the spool opens its files: the last path component
/// must not be a symbolic link (O_NOFOLLOW) and the file must be a regular file
/// (a FIFO or device is refused without blocking on it). The whole range must
/// exist when the reader is made, and every later read must still find its
/// bytes: a file that shrinks while it is sent fails the read instead of
/// yielding a short body under a content-length that promised more.
///
/// Every failure throws `TransportUnavailable::network` with a reason that
/// starts "file range:". Not thread-safe; one reader serves one request.
class FileRangeReader {
public:
    explicit FileRangeReader(const FileRange& range);
    ~FileRangeReader();
    FileRangeReader(const FileRangeReader&) = delete;
    FileRangeReader& operator=(const FileRangeReader&) = delete;

    std::int64_t count() const noexcept { return count_; }

    /// Fills `buffer` with the range's bytes from `position` (0 is the range's
    /// first byte), as many as fit and remain; returns how many. Returns 0 only
    /// at the end of the range.
    std::size_t read(std::int64_t position, std::span<std::uint8_t> buffer);

private:
    int descriptor_ = -1;
    std::int64_t offset_;
    std::int64_t count_;
};

} // namespace zoq
