#pragma once

namespace zoq {

/// Sole owner of one open file descriptor; closes it when destroyed.
///
/// Every descriptor the spool opens lives in one of these from the moment the
/// system call returns, so an exception at any later step (a failed check, a
/// boundary hook simulating a crash) can never leak it.
class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    /// Takes ownership of `fd` (-1 for none).
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    /// Closes quietly: a destructor cannot report a close error. Callers that
    /// must know (a file whose content matters) call `close()` first.
    ~FileDescriptor() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    /// Gives up ownership without closing; the caller now closes it.
    int release() noexcept;
    /// Closes the descriptor (if any), ignoring errors.
    void reset() noexcept;
    /// Closes the descriptor and reports a failure as `CoreError::io("close",
    /// errno)`. The descriptor is gone either way (Linux never leaves it open,
    /// so retrying close would be wrong). Closing an empty object does nothing.
    void close();

private:
    int fd_ = -1;
};

} // namespace zoq
