#include "ZoqCore/Spool/FileDescriptor.h"

#include "ZoqCore/Support/CoreError.h"

#include <cerrno>
#include <unistd.h>

namespace zoq {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileDescriptor::reset() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void FileDescriptor::close() {
    const int fd = release();
    // EINTR from close still means the descriptor is released on Linux.
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
        throw CoreError::io("close", errno);
    }
}

} // namespace zoq
