#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace zoq {

/// Reads small text files whole: the files of /proc, desktop entries and
/// sandbox metadata.
///
/// These files are read many times a second and most reads are expected to
/// fail (a process without a sandbox has no ".flatpak-info"), so failure is an
/// answer here, not an exception.
namespace smallfile {

/// Why the last read failed: an errno value (EFBIG when the file holds more
/// than the limit, EINVAL when it is not a regular file).
struct ReadFailure {
    int error = 0;
};

/// The whole content of the regular file at `path` (symbolic links are
/// followed), or nothing when it cannot be opened or read, is not a regular
/// file, or holds more than `limit` bytes; `failure`, when given, then tells
/// why. Never blocks on a FIFO or a device. Thread-safe.
std::optional<std::string> read(const std::filesystem::path& path, std::size_t limit,
                                ReadFailure* failure = nullptr);

/// The target of the symbolic link at `path`, or nothing when it is not a
/// readable link.
std::optional<std::string> readLink(const std::filesystem::path& path);

} // namespace smallfile
} // namespace zoq
