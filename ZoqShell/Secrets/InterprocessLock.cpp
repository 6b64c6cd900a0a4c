#include "ZoqShell/Secrets/InterprocessLock.h"

#include "ZoqCore/Support/CoreError.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zoq {
namespace {

int openLockFile(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw CoreError::io("open lock", errno);
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        ::close(fd);
        throw CoreError::corrupt("not a private regular lock");
    }
    return fd;
}

} // namespace

InterprocessLock::InterprocessLock(std::filesystem::path file, Clock::duration deadline)
    : file_(std::move(file)), deadline_(deadline) {}

InterprocessLock::~InterprocessLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void InterprocessLock::acquire() {
    const Clock::time_point giveUp = Clock::now() + deadline_;
    if (!threads_.try_lock_until(giveUp)) {
        throw CoreError::deadline();
    }
    if (depth_ > 0) {
        ++depth_;
        return;
    }
    try {
        if (fd_ < 0) {
            fd_ = openLockFile(file_);
        }
        for (;;) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                break;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) {
                throw CoreError::io("flock", errno);
            }
            const Clock::time_point now = Clock::now();
            if (now >= giveUp) {
                throw CoreError::deadline();
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(pollInterval, giveUp - now));
        }
    } catch (...) {
        threads_.unlock();
        throw;
    }
    depth_ = 1;
}

void InterprocessLock::release() noexcept {
    if (--depth_ == 0) {
        ::flock(fd_, LOCK_UN);
    }
    threads_.unlock();
}

InterprocessLock::Hold::Hold(InterprocessLock& lock) : lock_(lock) {
    lock_.acquire();
}

InterprocessLock::Hold::~Hold() {
    lock_.release();
}

} // namespace zoq
