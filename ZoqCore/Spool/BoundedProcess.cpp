#include "ZoqCore/Spool/BoundedProcess.h"

#include "ZoqCore/Spool/FileDescriptor.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/CoreError.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zoq::BoundedProcess {
namespace {

/// RAII for the spawn attribute and file-action objects of posix_spawn.
struct SpawnSetup {
    posix_spawnattr_t attributes{};
    posix_spawn_file_actions_t actions{};

    SpawnSetup() {
        if (const int error = posix_spawnattr_init(&attributes); error != 0) {
            throw CoreError::io("spawn", error);
        }
        if (const int error = posix_spawn_file_actions_init(&actions); error != 0) {
            posix_spawnattr_destroy(&attributes);
            throw CoreError::io("spawn", error);
        }
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

void check(int error) {
    if (error != 0) {
        throw CoreError::io("spawn", error);
    }
}

/// Waits for `fd` to become readable (the child has ended) for at most
/// `seconds`. Returns false on time-out.
bool waitReadable(int fd, double seconds) {
    const std::uint64_t start = HostClock::nanos();
    const double limitNanos = seconds * 1e9;
    for (;;) {
        const double elapsed = static_cast<double>(HostClock::nanos() - start);
        const double remaining = limitNanos - elapsed;
        if (remaining <= 0) {
            return false;
        }
        // Round up so a sub-millisecond remainder still waits instead of spinning.
        const int timeout =
            static_cast<int>(std::min(std::ceil(remaining / 1e6), static_cast<double>(INT_MAX)));
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            throw CoreError::io("poll", errno);
        }
    }
}

/// Owns a started child until it has been reaped. If the owner unwinds before
/// that (an exception while waiting), the child is killed and reaped so it can
/// neither outlive its purpose nor stay a zombie.
class Child {
public:
    explicit Child(pid_t pid) noexcept : pid_(pid) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            reapBlocking();
        }
    }

    pid_t pid() const noexcept { return pid_; }

    /// Reaps the ended child and returns its wait status.
    int reap() {
        int status = 0;
        pid_t result;
        do {
            result = ::waitpid(pid_, &status, 0);
        } while (result < 0 && errno == EINTR);
        if (result < 0) {
            const int error = errno;
            pid_ = 0; // not ours to wait for any more (ECHILD: someone else reaped it)
            throw CoreError::io("waitpid", error);
        }
        pid_ = 0;
        return status;
    }

    /// Gives the killed child to a background reaper when it does not die in
    /// time (a process stuck in an uninterruptible wait): the caller must not
    /// block past its promise, and the child must not become a zombie.
    void abandonToReaper() noexcept {
        const pid_t pid = pid_;
        pid_ = 0;
        try {
            std::thread([pid] {
                int status = 0;
                while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        } catch (...) {
            // No thread to spare: the zombie is reaped by init when we exit.
        }
    }

private:
    void reapBlocking() noexcept {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = 0;
    }

    pid_t pid_;
};

pid_t spawn(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
            int stdoutFd) {
    SpawnSetup setup;
    // The child starts with the defaults a fresh program expects, whatever
    // signals the calling thread blocks or the application handles.
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    check(posix_spawnattr_setsigmask(&setup.attributes, &none));
    check(posix_spawnattr_setsigdefault(&setup.attributes, &all));
    check(posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    // stdout first: if the caller's descriptor is 0 or 2 it must be copied
    // before those are replaced by /dev/null.
    check(posix_spawn_file_actions_adddup2(&setup.actions, stdoutFd, STDOUT_FILENO));
    check(posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0));
    check(posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0));
    // Nothing else reaches the child, even a descriptor someone opened without
    // O_CLOEXEC: an inherited directory lock would stay held by the child.
    check(posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1));

    std::vector<std::string> storage;
    storage.reserve(arguments.size() + 1);
    storage.push_back(executable.string());
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(storage.size() + 1);
    for (std::string& argument : storage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    pid_t pid = 0;
    // glibc reports a failed exec here (and reaps that child itself).
    check(posix_spawn(&pid, executable.c_str(), &setup.actions, &setup.attributes, argv.data(), environ));
    return pid;
}

} // namespace

void run(const std::filesystem::path& executable, const std::vector<std::string>& arguments, double deadline,
         int stdoutFd) {
    if (!std::isfinite(deadline) || deadline <= 0) {
        throw CoreError::invalid("deadline");
    }
    Child child(spawn(executable, arguments, stdoutFd));

    // A pidfd turns "wait for exit, with a time-out" into a poll, with no
    // SIGCHLD handler and no race with pid reuse (the child is unreaped, so its
    // pid cannot be reused before we wait for it).
    const FileDescriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child.pid(), 0)));
    if (!pidfd) {
        throw CoreError::io("pidfd_open", errno);
    }

    if (!waitReadable(pidfd.get(), deadline)) {
        ::kill(child.pid(), SIGKILL);
        if (waitReadable(pidfd.get(), reapGrace)) {
            child.reap();
        } else {
            child.abandonToReaper();
        }
        throw CoreError::deadline();
    }

    const int status = child.reap();
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) != 0) {
            throw CoreError::processFailed(WEXITSTATUS(status));
        }
        return;
    }
    if (WIFSIGNALED(status)) {
        throw CoreError::processFailed(-WTERMSIG(status));
    }
    // Neither exited nor signalled cannot happen without WUNTRACED; report the
    // raw status rather than claim success.
    throw CoreError::processFailed(status);
}

} // namespace zoq::BoundedProcess
