#include "ZoqShell/System/XdgLinkOpener.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zoq {

bool XdgLinkOpener::open(const DesktopLink& link) noexcept {
    try {
        if (link.arguments.empty() || link.arguments.front().empty() ||
            (link.kind == DesktopLink::Kind::url && link.arguments.size() != 1)) {
            return false;
        }
        std::vector<std::string> arguments = link.arguments;
        if (link.kind == DesktopLink::Kind::url) {
            // "--" would be taken as a file name by xdg-open; a URL starting
            // with "-" is no URL.
            if (arguments.front().front() == '-') {
                return false;
            }
            arguments.insert(arguments.begin(), "xdg-open");
        }
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        // Its own session: a terminal's hang-up or a signal to zoq's process
        // group does not reach the settings window.
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        pid_t child = 0;
        // glibc reports a failed exec (ENOENT, EACCES) here, synchronously.
        const int spawned = ::posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            return false;
        }
        std::thread([child] {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace zoq
