#include "ZoqShell/Secrets/FileSecrets.h"

#include "ZoqCore/Support/CoreError.h"

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace zoq {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    int get() const noexcept { return fd_; }
    /// Closes now, reporting the error (a close may report a deferred write error).
    int close() noexcept {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    void reset() noexcept {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int fd_;
};

[[noreturn]] void fail(const char* operation) {
    throw CoreError::io(operation, errno);
}

Descriptor openDirectory(const std::filesystem::path& directory) {
    // The directory may be reached through links like any other path the user
    // configures; only the file itself is never followed.
    Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        fail("open");
    }
    return dir;
}

void checkPrivate(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        fail("fstat");
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
        throw CoreError::invalid("unsafe secrets file");
    }
}

void writeAll(int fd, ByteView data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t count = ::write(fd, data.data() + written, data.size() - written);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("write");
        }
        written += static_cast<std::size_t>(count);
    }
}

} // namespace

FileSecrets::FileSecrets(std::filesystem::path directory, std::string fileName)
    : directory_(std::move(directory)), fileName_(std::move(fileName)) {
    if (fileName_.empty() || fileName_.find('/') != std::string::npos || fileName_ == "." ||
        fileName_ == "..") {
        throw CoreError::invalid("secrets file name");
    }
}

void FileSecrets::store(ByteView data) {
    const Descriptor dir = openDirectory(directory_);
    const std::string sibling = fileName_ + ".new";

    // A sibling left by a crashed store may have any mode: start afresh so the
    // new file is created with 0600 and nothing else can hold it open.
    if (::unlinkat(dir.get(), sibling.c_str(), 0) != 0 && errno != ENOENT) {
        fail("unlink");
    }
    Descriptor file(::openat(dir.get(), sibling.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             S_IRUSR | S_IWUSR));
    if (file.get() < 0) {
        fail("open");
    }
    // The umask can only narrow the mode; set it exactly.
    if (::fchmod(file.get(), S_IRUSR | S_IWUSR) != 0) {
        fail("fchmod");
    }
    writeAll(file.get(), data);
    if (::fsync(file.get()) != 0) {
        fail("fsync");
    }
    if (file.close() != 0) {
        fail("close");
    }
    if (::renameat(dir.get(), sibling.c_str(), dir.get(), fileName_.c_str()) != 0) {
        fail("rename");
    }
    // The rename is durable only once the directory is.
    if (::fsync(dir.get()) != 0) {
        fail("fsync");
    }
}

std::optional<Bytes> FileSecrets::retrieve() {
    const Descriptor dir = openDirectory(directory_);
    // O_NONBLOCK: a FIFO planted under the name must not block the open.
    const Descriptor file(
        ::openat(dir.get(), fileName_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        if (errno == ELOOP) {
            throw CoreError::invalid("unsafe secrets file");
        }
        fail("open");
    }
    checkPrivate(file.get());

    Bytes bytes;
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("read");
        }
        if (count == 0) {
            return bytes;
        }
        bytes.insert(bytes.end(), buffer, buffer + count);
    }
}

void FileSecrets::erase() {
    const Descriptor dir = openDirectory(directory_);
    for (const std::string& name : {fileName_ + ".new", fileName_}) {
        if (::unlinkat(dir.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
            fail("unlink");
        }
    }
    if (::fsync(dir.get()) != 0) {
        fail("fsync");
    }
}

} // namespace zoq
