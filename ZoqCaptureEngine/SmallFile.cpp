#include "ZoqCaptureEngine/SmallFile.h"

#include "ZoqCore/Spool/FileDescriptor.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zoq::smallfile {
namespace {

std::optional<std::string> fail(ReadFailure* failure, int error) {
    if (failure != nullptr) {
        failure->error = error;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> read(const std::filesystem::path& path, std::size_t limit, ReadFailure* failure) {
    // O_NONBLOCK: opening a FIFO planted where a file should be must not wait
    // for a writer.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        return fail(failure, errno);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        return fail(failure, errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return fail(failure, EINVAL);
    }
    // The files of /proc report a size of 0: read until the end, not by size.
    std::string text;
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(failure, errno);
        }
        if (count == 0) {
            return text;
        }
        if (text.size() + static_cast<std::size_t>(count) > limit) {
            return fail(failure, EFBIG);
        }
        text.append(buffer.data(), static_cast<std::size_t>(count));
    }
}

std::optional<std::string> readLink(const std::filesystem::path& path) {
    std::array<char, PATH_MAX> buffer{};
    const ssize_t count = ::readlink(path.c_str(), buffer.data(), buffer.size());
    // A result that fills the buffer may have been cut short.
    if (count <= 0 || static_cast<std::size_t>(count) >= buffer.size()) {
        return std::nullopt;
    }
    return std::string(buffer.data(), static_cast<std::size_t>(count));
}

} // namespace zoq::smallfile
