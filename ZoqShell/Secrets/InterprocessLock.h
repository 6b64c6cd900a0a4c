#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>

namespace zoq {

/// An exclusive lock shared by every process (and every object) that names the
/// same lock file, taken with a deadline and reentrant within a thread.
///
/// Between processes and between objects: flock(LOCK_EX) on the lock file,
/// created 0600 if missing and never deleted. flock belongs to the open file
/// description, so two objects over one file exclude each other even in one
/// process, and the kernel drops the lock when its holder dies: a crash never
/// leaves it held. Between the threads of this object: a timed recursive
/// mutex, so one thread may take it again while it holds it (the file lock is
/// taken once, by the outermost hold).
///
/// `acquire` waits at most `deadline` in all and then throws
/// `CoreError::deadline()` rather than hang; the file lock is polled (it has
/// no timed form), every `pollInterval` at most. Throws
/// `CoreError::io("open lock", errno)` when the file cannot be opened and
/// `CoreError::corrupt("not a private regular lock")` for a file that is not a
/// regular file with one link (it is never followed as a symbolic link).
///
/// Thread-safe. The object must outlive every `Hold`.
class InterprocessLock {
public:
    using Clock = std::chrono::steady_clock;

    InterprocessLock(std::filesystem::path file, Clock::duration deadline);
    ~InterprocessLock();
    InterprocessLock(const InterprocessLock&) = delete;
    InterprocessLock& operator=(const InterprocessLock&) = delete;

    /// Holds the lock for exactly its lifetime.
    class Hold {
    public:
        explicit Hold(InterprocessLock& lock);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        InterprocessLock& lock_;
    };

    const std::filesystem::path& file() const noexcept { return file_; }

private:
    static constexpr std::chrono::milliseconds pollInterval{20};

    void acquire();
    void release() noexcept;

    const std::filesystem::path file_;
    const Clock::duration deadline_;
    std::recursive_timed_mutex threads_;
    // Owned by the thread holding `threads_`.
    int fd_ = -1;
    int depth_ = 0;
};

} // namespace zoq
