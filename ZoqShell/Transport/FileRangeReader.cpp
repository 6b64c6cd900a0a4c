#include "ZoqShell/Transport/FileRangeReader.h"

#include "ZoqShell/Transport/TransportUnavailable.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace zoq {

namespace {

TransportUnavailable failure(const char* what, int error) {
    return TransportUnavailable::network(std::string("file range: ") + what + " failed: " +
                                         std::strerror(error) + " (errno " + std::to_string(error) + ")");
}

} // namespace

FileRangeReader::FileRangeReader(const FileRange& range) : offset_(range.offset()), count_(range.count()) {
    // O_NONBLOCK keeps a FIFO planted under the file's name from blocking the
    // open; it has no effect on reads of the regular file this must be.
    do {
        descriptor_ = ::open(range.file().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    } while (descriptor_ < 0 && errno == EINTR);
    if (descriptor_ < 0) {
        throw failure("open", errno);
    }
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0) {
        const int error = errno;
        ::close(descriptor_);
        throw failure("fstat", error);
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(descriptor_);
        throw TransportUnavailable::network("file range: not a regular file");
    }
    if (status.st_size - offset_ < count_) {
        ::close(descriptor_);
        throw TransportUnavailable::network("file range: past end of file");
    }
    ::posix_fadvise(descriptor_, offset_, count_, POSIX_FADV_SEQUENTIAL);
}

FileRangeReader::~FileRangeReader() {
    ::close(descriptor_);
}

std::size_t FileRangeReader::read(std::int64_t position, std::span<std::uint8_t> buffer) {
    if (position < 0 || position >= count_) {
        return 0;
    }
    const auto wanted = static_cast<std::size_t>(
        std::min<std::int64_t>(count_ - position, static_cast<std::int64_t>(buffer.size())));
    std::size_t done = 0;
    while (done < wanted) {
        const ssize_t got = ::pread(descriptor_, buffer.data() + done, wanted - done,
                                    static_cast<off_t>(offset_ + position + static_cast<std::int64_t>(done)));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw failure("read", errno);
        }
        if (got == 0) {
            throw TransportUnavailable::network("file range: file shrank while it was sent");
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

} // namespace zoq
