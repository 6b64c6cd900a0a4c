#pragma once

#include "ZoqCore/Spool/FileDescriptor.h"

#include <filesystem>

namespace zoq {

/// Exclusive hold on one spool directory, for exactly the lifetime of the
/// object.
///
/// Taken with flock(LOCK_EX | LOCK_NB) on the file ".lock" inside the
/// directory (created 0600 if missing, never deleted). flock locks belong to
/// the open file description, so a second `DirectoryLock` on the same directory
/// fails even inside this process, and the kernel drops the lock when the
/// holder dies, so a crash never leaves a directory locked. Exclusion between
/// processes and between objects is by this lock only.
///
/// Acquired once in the constructor, released only by destruction; movable so
/// an owner can keep it in a member, never copyable.
class DirectoryLock {
public:
    static constexpr const char* lockFileName = ".lock";

    /// Throws io("open directory", errno), io("open lock", errno),
    /// corrupt("not a private regular lock") unless ".lock" is a regular file
    /// with exactly one link, and `CoreError::locked()` when anyone holds it.
    /// Never blocks.
    explicit DirectoryLock(const std::filesystem::path& directory);

    DirectoryLock(DirectoryLock&&) noexcept = default;
    DirectoryLock& operator=(DirectoryLock&&) noexcept = default;

    /// The open descriptor of the lock file; -1 only in a moved-from object.
    int fd() const noexcept { return fd_.get(); }

private:
    FileDescriptor fd_;
};

} // namespace zoq
