#include "ZoqCore/Spool/DurableIO.h"

#include "ZoqCore/Support/CoreError.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zoq {
namespace {

std::string nameOf(const std::filesystem::path& path) {
    return path.filename().string();
}

/// Reads from `offset` in chunks of at most `DurableIO::chunkSize` until
/// `count` bytes (or end of file when none), handing each chunk to `consume`.
/// Returns how many bytes were read; fewer than `count` means end of file.
template <typename Consume>
std::int64_t readChunks(int fd, std::int64_t offset, std::optional<std::int64_t> count, const char* operation,
                        Consume&& consume) {
    Bytes buffer(static_cast<std::size_t>(DurableIO::chunkSize));
    std::int64_t done = 0;
    while (!count || done < *count) {
        const std::int64_t wanted =
            count ? std::min(DurableIO::chunkSize, *count - done) : DurableIO::chunkSize;
        const ssize_t n = ::pread(fd, buffer.data(), static_cast<std::size_t>(wanted), offset + done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw CoreError::io(operation, errno);
        }
        if (n == 0) {
            break;
        }
        consume(ByteView(buffer.data(), static_cast<std::size_t>(n)));
        done += n;
    }
    return done;
}

void requireNonNegative(std::int64_t value, const char* tag) {
    if (value < 0) {
        throw CoreError::invalid(tag);
    }
}

void requireValidRange(std::int64_t offset, std::optional<std::int64_t> count) {
    requireNonNegative(offset, "offset");
    if (count) {
        requireNonNegative(*count, "count");
    }
}

} // namespace

DurableIO::DurableIO(std::int64_t maximumWriteSize_, Boundary boundary_)
    : boundary(std::move(boundary_)), maximumWriteSize(maximumWriteSize_) {}

void DurableIO::notify(const char* prefix, const std::string& name) const {
    if (boundary) {
        boundary(prefix + name);
    }
}

FileDescriptor DurableIO::open(const std::filesystem::path& path, int flags) const {
    const std::string name = nameOf(path);
    // O_TRUNC would empty a file before we know it is ours (a second hard link
    // to someone else's data): truncation waits until after the check below.
    const int systemFlags = (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int raw;
    do {
        raw = ::open(path.c_str(), systemFlags, 0600);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) {
        throw CoreError::io("open " + name, errno);
    }
    FileDescriptor fd(raw);

    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        throw CoreError::corrupt("not a private regular file");
    }

    if ((flags & O_TRUNC) != 0) {
        notify("before:truncate:", name);
        if (::ftruncate(fd.get(), 0) != 0) {
            throw CoreError::io("truncate", errno);
        }
        notify("after:truncate:", name);
    }
    return fd;
}

void DurableIO::write(const std::filesystem::path& path, ByteView data, std::int64_t offset, bool create,
                      bool truncate) const {
    // Checked before opening: a bad offset must not truncate or create anything.
    requireNonNegative(offset, "offset");
    if (data.size() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() - offset)) {
        throw CoreError::invalid("offset");
    }

    const std::string name = nameOf(path);
    int flags = create ? (O_WRONLY | O_CREAT | O_EXCL) : O_WRONLY;
    if (truncate) {
        flags |= O_TRUNC;
    }
    FileDescriptor fd = open(path, flags);

    notify("before:write:", name);
    std::size_t written = 0;
    while (written < data.size()) {
        if (maximumWriteSize < 1) {
            throw CoreError::io("write", ENOSPC);
        }
        const std::size_t chunk = static_cast<std::size_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(maximumWriteSize), data.size() - written));
        const ssize_t n =
            ::pwrite(fd.get(), data.data() + written, chunk, offset + static_cast<std::int64_t>(written));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw CoreError::io("write", errno);
        }
        if (n == 0) {
            throw CoreError::io("zero write", EIO);
        }
        written += static_cast<std::size_t>(n);
        notify("after:partial-write:", name);
    }
    notify("after:write:", name);
    fd.close();
}

Bytes DurableIO::read(const std::filesystem::path& path, std::int64_t offset,
                      std::optional<std::int64_t> count) const {
    requireValidRange(offset, count);
    const FileDescriptor fd = open(path, O_RDONLY);
    Bytes result;
    readChunks(fd.get(), offset, count, "read",
               [&](ByteView chunk) { result.insert(result.end(), chunk.begin(), chunk.end()); });
    return result;
}

void DurableIO::hash(const std::filesystem::path& path, std::int64_t offset,
                     std::optional<std::int64_t> count, SHA256& digest) const {
    requireValidRange(offset, count);
    const FileDescriptor fd = open(path, O_RDONLY);
    const std::int64_t done =
        readChunks(fd.get(), offset, count, "hash read", [&](ByteView chunk) { digest.update(chunk); });
    if (count && done < *count) {
        throw CoreError::corrupt("hash truncated");
    }
}

std::string DurableIO::hash(const std::filesystem::path& path, std::int64_t offset,
                            std::optional<std::int64_t> count) const {
    SHA256 digest;
    hash(path, offset, count, digest);
    return digest.hexDigest();
}

std::string DurableIO::hash(ByteView data) {
    return SHA256::hex(data);
}

std::int64_t DurableIO::size(const std::filesystem::path& path) const {
    const FileDescriptor fd = open(path, O_RDONLY);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        throw CoreError::io("stat", errno);
    }
    return status.st_size;
}

bool DurableIO::exists(const std::filesystem::path& path) const noexcept {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

void DurableIO::remove(const std::filesystem::path& path) const {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        // Only a file that is really absent counts as removed; a path we may not
        // examine (EACCES, ELOOP, ...) is a failure, not a success.
        if (errno == ENOENT || errno == ENOTDIR) {
            return;
        }
        throw CoreError::io("unlink", errno);
    }
    const std::string name = nameOf(path);
    notify("before:unlink:", name);
    if (::unlink(path.c_str()) != 0) {
        throw CoreError::io("unlink", errno);
    }
    notify("after:unlink:", name);
}

void DurableIO::rename(const std::filesystem::path& from, const std::filesystem::path& to) const {
    const std::string name = nameOf(to);
    notify("before:rename:", name);
    if (::rename(from.c_str(), to.c_str()) != 0) {
        throw CoreError::io("rename", errno);
    }
    notify("after:rename:", name);
}

void DurableIO::truncate(const std::filesystem::path& path, std::int64_t size) const {
    requireNonNegative(size, "size");
    const std::string name = nameOf(path);
    FileDescriptor fd = open(path, O_WRONLY);
    notify("before:truncate:", name);
    if (::ftruncate(fd.get(), size) != 0) {
        throw CoreError::io("truncate", errno);
    }
    notify("after:truncate:", name);
    fd.close();
}

void DurableIO::sync(const std::filesystem::path& path, bool directory) const {
    FileDescriptor fd;
    std::string label;
    if (directory) {
        const int raw = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
        if (raw < 0) {
            throw CoreError::io("open sync", errno);
        }
        fd = FileDescriptor(raw);
        label = "directory";
    } else {
        fd = open(path, O_RDWR);
        label = nameOf(path);
    }
    notify("before:fsync:", label);
    if (::fsync(fd.get()) != 0) {
        throw CoreError::io("fsync " + label, errno);
    }
    notify("after:fsync:", label);
    fd.close();
}

void DurableIO::atomic(ByteView data, const std::filesystem::path& path) const {
    const std::filesystem::path fileName = path.filename();
    if (fileName.empty() || fileName == "." || fileName == "..") {
        throw CoreError::invalid("path");
    }
    std::filesystem::path next = path;
    next += nextSuffix;
    // A sibling left by a crash in an earlier call would make the exclusive
    // create below fail forever.
    if (exists(next)) {
        remove(next);
    }
    write(next, data, 0, true, false);
    sync(next, false);
    rename(next, path);
    // The rename is durable only once the directory entry is.
    const std::filesystem::path parent = path.parent_path();
    sync(parent.empty() ? std::filesystem::path(".") : parent, true);
}

} // namespace zoq
