#include "ZoqShell/Secrets/FileSecrets.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/Identifier.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zoq {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
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
    removeAbandonedSiblings(dir.get(), false);

    // A sibling of this writer's own: two processes storing at once each
    // rename a whole file of their own, never one the other is still writing.
    // O_EXCL also refuses anything planted under the name.
    std::string sibling;
    Descriptor file(-1);
    for (int attempt = 0; file.get() < 0; ++attempt) {
        sibling = siblingPrefix() + std::to_string(::getpid()) + "." + makeUUID().substr(0, 8);
        file = Descriptor(::openat(dir.get(), sibling.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
        if (file.get() < 0 && (errno != EEXIST || attempt == 3)) {
            fail("open");
        }
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

std::string FileSecrets::siblingPrefix() const {
    return fileName_ + ".new.";
}

void FileSecrets::removeAbandonedSiblings(int dir, bool all) const {
    // Siblings are named "<file>.new.<pid>.<random>". One whose writer is no
    // longer running was left by a crash in the middle of a store; it holds
    // secret bytes nobody will ever rename, so it goes.
    const std::string prefix = siblingPrefix();
    std::vector<std::string> abandoned;
    {
        const int listing = ::dup(dir);
        DIR* entries = listing >= 0 ? ::fdopendir(listing) : nullptr;
        if (entries == nullptr) {
            if (listing >= 0) {
                ::close(listing);
            }
            fail("opendir");
        }
        ::rewinddir(entries);
        while (const dirent* entry = ::readdir(entries)) {
            const std::string_view name(entry->d_name);
            if (name == fileName_ + ".new") {
                // The one shared sibling name of earlier versions.
                abandoned.emplace_back(name);
                continue;
            }
            if (!name.starts_with(prefix)) {
                continue;
            }
            const std::string_view rest = name.substr(prefix.size());
            const std::string pid(rest.substr(0, rest.find('.')));
            const long writer = std::strtol(pid.c_str(), nullptr, 10);
            if (all || writer <= 0 || (::kill(static_cast<pid_t>(writer), 0) != 0 && errno == ESRCH)) {
                abandoned.emplace_back(name);
            }
        }
        ::closedir(entries);
    }
    for (const std::string& name : abandoned) {
        if (::unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) {
            fail("unlink");
        }
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
    removeAbandonedSiblings(dir.get(), true);
    if (::unlinkat(dir.get(), fileName_.c_str(), 0) != 0 && errno != ENOENT) {
        fail("unlink");
    }
    if (::fsync(dir.get()) != 0) {
        fail("fsync");
    }
}

} // namespace zoq
