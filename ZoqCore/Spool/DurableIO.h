#pragma once

#include "ZoqCore/Spool/FileDescriptor.h"
#include "ZoqCore/Support/Bytes.h"
#include "ZoqCore/Support/SHA256.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <string>

namespace zoq {

/// Every byte the spool keeps on disk goes through this class.
///
/// Guarantees the rest of the spool relies on:
/// - files are opened without following symbolic links, never block (a FIFO
///   planted in the spool is refused, not waited on), and are refused unless
///   they are private regular files with exactly one link;
/// - writes are positional and loop until every byte is written, in chunks of
///   at most `maximumWriteSize` bytes;
/// - every mutating step is bracketed by calls to `boundary` with a fixed step
///   name ("before:write:" + the file's last path component, and so on). In
///   production the hook does nothing; a test installs one that throws, which
///   stops the operation at exactly that point and so simulates a crash there.
///   An exception from the hook propagates unchanged, after every descriptor
///   the operation opened has been closed.
///
/// Shared (`std::shared_ptr`) by an artifact, its recorder and its uploader.
/// Keeps no per-call state; the two fields are set up before use. Use from one
/// thread at a time. Every failure is a thrown `CoreError`.
class DurableIO {
public:
    using Boundary = std::function<void(const std::string&)>;

    /// Reads and hashes stream through one buffer of this size, so files of any
    /// size are processed without being loaded.
    static constexpr std::int64_t chunkSize = 65'536;
    /// Suffix of the sibling that `atomic` stages its content in.
    static constexpr const char* nextSuffix = ".next";

    explicit DurableIO(std::int64_t maximumWriteSize = std::numeric_limits<std::int64_t>::max(),
                       Boundary boundary = {});

    /// Called with a step name before and after each mutating step; may throw.
    /// Empty means "do nothing".
    Boundary boundary;
    /// Largest byte count handed to one pwrite. Below 1, every write fails as
    /// if the disk were full (`io("write", 28)`).
    std::int64_t maximumWriteSize;

    /// Opens `path` with `flags` (O_RDONLY/O_WRONLY/O_RDWR, O_CREAT, O_EXCL,
    /// O_TRUNC) plus O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode 0600. O_TRUNC is
    /// done afterwards by ftruncate, between "before:truncate:" and
    /// "after:truncate:" boundaries, and only once the file has been checked.
    /// Throws io("open " + name, errno), corrupt("not a private regular file")
    /// unless it is a regular file with exactly one link, io("truncate", errno).
    FileDescriptor open(const std::filesystem::path& path, int flags) const;

    /// Writes all of `data` at `offset`. `create` demands that the file does not
    /// exist yet (O_EXCL); `truncate` empties it first. Does not flush: callers
    /// call `sync`. A negative offset, or one that would overflow with the data,
    /// is refused with invalid("offset") before the file is touched.
    void write(const std::filesystem::path& path, ByteView data, std::int64_t offset, bool create,
               bool truncate) const;

    /// Up to `count` bytes from `offset` (to end of file when none). A short file
    /// yields fewer bytes without error. Throws invalid("offset"/"count") for
    /// negative values, io("read", errno).
    Bytes read(const std::filesystem::path& path, std::int64_t offset,
               std::optional<std::int64_t> count = std::nullopt) const;

    /// SHA-256 (64 lower-case hex digits) of the bytes from `offset`: to end of
    /// file when `count` is none, otherwise exactly `count` bytes, and reaching
    /// end of file first throws corrupt("hash truncated"). io("hash read", errno).
    std::string hash(const std::filesystem::path& path, std::int64_t offset,
                     std::optional<std::int64_t> count = std::nullopt) const;
    /// As above, but feeds the bytes into `digest`, so a caller can extend the
    /// running digest of a growing file with only its new bytes. On a throw,
    /// `digest` may have taken part of the bytes; discard it.
    void hash(const std::filesystem::path& path, std::int64_t offset, std::optional<std::int64_t> count,
              SHA256& digest) const;
    /// The same digest form for an in-memory buffer.
    static std::string hash(ByteView data);

    /// The file's size (opened like any file, so links and non-regular files are
    /// refused). io("stat", errno).
    std::int64_t size(const std::filesystem::path& path) const;
    /// True when anything exists at `path` (lstat: a symbolic link counts,
    /// nothing is followed).
    bool exists(const std::filesystem::path& path) const noexcept;

    /// Unlinks `path`. An absent file is success and fires no boundary.
    /// io("unlink", errno), also when `path` cannot even be examined.
    void remove(const std::filesystem::path& path) const;
    /// rename(2); the boundary names carry the destination's name.
    /// io("rename", errno).
    void rename(const std::filesystem::path& from, const std::filesystem::path& to) const;
    /// Sets the file's size. invalid("size") if negative, io("truncate", errno).
    void truncate(const std::filesystem::path& path, std::int64_t size) const;

    /// fsync of a file (label: its name) or of a directory (label "directory").
    /// Never retried: after a failed fsync the kernel may have dropped the dirty
    /// pages, so a second success would prove nothing. io("open sync", errno)
    /// for a directory that cannot be opened, io("fsync " + label, errno).
    void sync(const std::filesystem::path& path, bool directory) const;

    /// Durably replaces the whole file at `path` with `data`: write the sibling
    /// `path` + ".next" (removing a stale one first), fsync it, rename it over
    /// `path`, fsync the parent directory. A crash at any step leaves either the
    /// old content or the new, never a mix; a stale sibling left by a crash is
    /// removed by the next call. invalid("path") when `path` names no file.
    void atomic(ByteView data, const std::filesystem::path& path) const;

private:
    void notify(const char* prefix, const std::string& name) const;
};

} // namespace zoq
