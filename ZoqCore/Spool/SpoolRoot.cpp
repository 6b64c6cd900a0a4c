#include "ZoqCore/Spool/SpoolRoot.h"

#include "ZoqCore/Capture/RecorderCore.h"
#include "ZoqCore/Spool/DirectoryLock.h"
#include "ZoqCore/Spool/FileDescriptor.h"
#include "ZoqCore/Support/CoreError.h"

#include <cctype>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace zoq {
namespace {

/// The names zoq itself puts in a root besides the part directories.
bool isRootFileName(std::string_view name) {
    const std::string preferences = RecorderCore::preferencesFileName;
    return name == DirectoryLock::lockFileName || name == preferences || name == preferences + ".next";
}

/// Opens `root` as a directory to read its entries, following a link.
FileDescriptor openDirectory(const std::filesystem::path& root) {
    FileDescriptor fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOTDIR) {
            throw CoreError::invalid("not a directory");
        }
        throw CoreError::io("open directory", errno);
    }
    return fd;
}

bool isMark(int directory, const char* name) {
    struct stat status {};
    return ::fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode);
}

void syncDirectory(int directory) {
    if (::fsync(directory) != 0) {
        throw CoreError::io("fsync", errno);
    }
}

/// Writes the mark into the open directory and makes it durable. One that
/// another process wrote meanwhile is as good as this one.
void mark(int directory) {
    FileDescriptor fd(::openat(directory, SpoolRoot::markerName,
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        if (errno == EEXIST && isMark(directory, SpoolRoot::markerName)) {
            return;
        }
        throw CoreError::io("open", errno);
    }
    const std::string_view text = SpoolRoot::markerText;
    if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw CoreError::io("write", errno);
    }
    if (::fsync(fd.get()) != 0) {
        throw CoreError::io("fsync", errno);
    }
    fd.close();
    syncDirectory(directory);
}

SpoolRoot::Kind kindOf(int directory) {
    // fdopendir takes the descriptor over: give it a copy.
    const int copy = ::dup(directory);
    if (copy < 0) {
        throw CoreError::io("dup", errno);
    }
    DIR* stream = ::fdopendir(copy);
    if (stream == nullptr) {
        const int error = errno;
        ::close(copy);
        throw CoreError::io("fdopendir", error);
    }
    bool empty = true;
    bool zoqsOnly = true;
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if (name == SpoolRoot::markerName && isMark(directory, entry->d_name)) {
            ::closedir(stream);
            return SpoolRoot::Kind::marked;
        }
        empty = false;
        struct stat status {};
        if (::fstatat(directory, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            zoqsOnly = false;
            continue;
        }
        const bool known = S_ISDIR(status.st_mode) ? SpoolRoot::isPartName(name)
                                                   : S_ISREG(status.st_mode) && isRootFileName(name);
        zoqsOnly = zoqsOnly && known;
    }
    const int error = errno;
    ::closedir(stream);
    if (error != 0) {
        throw CoreError::io("readdir", error);
    }
    if (empty) {
        return SpoolRoot::Kind::empty;
    }
    return zoqsOnly ? SpoolRoot::Kind::unmarkedSpool : SpoolRoot::Kind::foreign;
}

/// mkdir for every missing component, each 0700 rather than the umask's mode:
/// the spool and the directories made for it are private.
void createWithParents(const std::filesystem::path& root) {
    std::filesystem::path prefix;
    for (const std::filesystem::path& component : root.lexically_normal()) {
        prefix /= component;
        if (component.empty() || component == prefix.root_path()) {
            continue;
        }
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            throw CoreError::io("mkdir", errno);
        }
    }
}

} // namespace

bool SpoolRoot::isPartName(std::string_view name) noexcept {
    // 8-4-4-4-12 hexadecimal digits, "-", then a decimal part index.
    static constexpr std::string_view uuidShape = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx-";
    if (name.size() <= uuidShape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool fits = i >= uuidShape.size() ? std::isdigit(c) != 0
                          : uuidShape[i] == '-' ? c == '-'
                                                : std::isxdigit(c) != 0;
        if (!fits) {
            return false;
        }
    }
    return true;
}

SpoolRoot::Kind SpoolRoot::inspect(const std::filesystem::path& root) {
    struct stat status {};
    if (::stat(root.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return Kind::missing;
        }
        throw CoreError::io("stat", errno);
    }
    const FileDescriptor directory = openDirectory(root);
    return kindOf(directory.get());
}

void SpoolRoot::prepare(const std::filesystem::path& root) {
    if (inspect(root) == Kind::missing) {
        createWithParents(root);
    }
    // Decided again on the open directory: what is marked is what was
    // looked at, even if the path is replaced meanwhile.
    const FileDescriptor directory = openDirectory(root);
    switch (kindOf(directory.get())) {
    case Kind::foreign:
        throw CoreError::invalid("not a zoq spool");
    case Kind::missing:
    case Kind::empty:
    case Kind::unmarkedSpool:
        mark(directory.get());
        break;
    case Kind::marked:
        break;
    }
    if (::fchmod(directory.get(), 0700) != 0) {
        throw CoreError::io("chmod", errno);
    }
}

void SpoolRoot::refuseForeign(const std::filesystem::path& root) {
    if (inspect(root) == Kind::foreign) {
        throw CoreError::invalid("not a zoq spool");
    }
}

} // namespace zoq
