#include "ZoqCore/Spool/DirectoryLock.h"

#include "ZoqCore/Support/CoreError.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <utility>

namespace zoq {

DirectoryLock::DirectoryLock(const std::filesystem::path& directory) {
    // Both descriptors are owned from the moment they exist, so every failure
    // below closes them; the directory descriptor goes in every case.
    const FileDescriptor directoryFd(
        ::open(directory.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
    if (!directoryFd) {
        throw CoreError::io("open directory", errno);
    }
    FileDescriptor lockFd(::openat(directoryFd.get(), lockFileName,
                                   O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!lockFd) {
        throw CoreError::io("open lock", errno);
    }
    struct stat status {};
    if (::fstat(lockFd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        throw CoreError::corrupt("not a private regular lock");
    }
    int result;
    do {
        result = ::flock(lockFd.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        throw CoreError::locked();
    }
    fd_ = std::move(lockFd);
}

} // namespace zoq
