#include "ZoqShell/System/NetlinkNetwork.h"
#include "tests/TestSupport/TempDirectory.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zoq {
namespace {

namespace fs = std::filesystem;

// Exit codes of the child that runs in its own network namespace.
constexpr int cannotUnshare = 77;
constexpr int cannotCreateLinks = 78;
constexpr int crashed = 99;

std::string ipExecutable() {
    for (const char* candidate : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

/// Runs `ip` with `arguments` quietly; true when it exits 0.
bool ip(const std::string& executable, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), executable);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, executable.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return spawned == 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

/// Polls until the observer reports `expected`; the bound only keeps a broken
/// observer from hanging the test, nothing is measured.
bool becomes(const NetlinkNetwork& network, NetworkTransport expected) {
    for (int attempt = 0; attempt < 3000; ++attempt) {
        if (network.currentTransport() == expected) {
            return true;
        }
        ::usleep(5'000);
    }
    return false;
}

/// A link that carries traffic as soon as it is up: a dummy device where the
/// kernel has the module, otherwise one end of a veth pair (with its peer up).
bool addLink(const std::string& executable, const std::string& name) {
    if (ip(executable, {"link", "add", name, "type", "dummy"})) {
        return ip(executable, {"link", "set", name, "up"});
    }
    return ip(executable, {"link", "add", name, "type", "veth", "peer", "name", name + "p"}) &&
           ip(executable, {"link", "set", name + "p", "up"}) && ip(executable, {"link", "set", name, "up"});
}

/// The body of the forked child; returns its exit code (0, a skip code or the
/// number of the step that failed).
int followRouteChangesInPrivateNamespace(const fs::path& sysfs, const std::string& ipPath) {
    if (::unshare(CLONE_NEWNET) != 0) {
        return cannotUnshare;
    }
    NetlinkNetwork network(sysfs);
    if (network.currentTransport() != NetworkTransport::none) {
        return 1; // a fresh namespace has only a loopback that is down
    }
    if (!addLink(ipPath, "e0") || !addLink(ipPath, "w0")) {
        return cannotCreateLinks;
    }
    if (!ip(ipPath, {"addr", "add", "10.77.0.2/24", "dev", "e0"}) ||
        !ip(ipPath, {"addr", "add", "10.78.0.2/24", "dev", "w0"})) {
        return 2;
    }
    if (network.currentTransport() != NetworkTransport::none) {
        return 3; // addresses alone give no default route
    }
    if (!ip(ipPath, {"route", "add", "default", "via", "10.77.0.1", "dev", "e0", "metric", "200"}) ||
        !becomes(network, NetworkTransport::ethernet)) {
        return 4;
    }
    // w0 is marked wireless in the fake sysfs; its lower metric takes over.
    if (!ip(ipPath, {"route", "add", "default", "via", "10.78.0.1", "dev", "w0", "metric", "100"}) ||
        !becomes(network, NetworkTransport::wifi)) {
        return 5;
    }
    if (!ip(ipPath, {"link", "set", "w0", "down"}) || !becomes(network, NetworkTransport::ethernet)) {
        return 6;
    }
    if (!ip(ipPath, {"route", "del", "default", "via", "10.77.0.1", "dev", "e0"}) ||
        !becomes(network, NetworkTransport::none)) {
        return 7;
    }
    // An IPv6-only default route counts too (skipped where IPv6 is disabled).
    if (ip(ipPath, {"-6", "addr", "add", "fd77::2/64", "dev", "e0", "nodad"})) {
        if (!ip(ipPath, {"-6", "route", "add", "default", "via", "fd77::1", "dev", "e0"}) ||
            !becomes(network, NetworkTransport::ethernet)) {
            return 8;
        }
    }
    return 0;
}

TEST(NetlinkNetwork, FollowsDefaultRouteChangesInAPrivateNamespace) {
    const std::string ipPath = ipExecutable();
    if (ipPath.empty()) {
        GTEST_SKIP() << "iproute2's ip is not installed";
    }
    test::TempDirectory sysfs;
    fs::create_directories(sysfs / "class" / "net" / "w0" / "wireless");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = crashed;
        try {
            code = followRouteChangesInPrivateNamespace(sysfs.path(), ipPath);
        } catch (...) {
        }
        ::_exit(code); // no gtest or static teardown in the child
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == cannotUnshare) {
        GTEST_SKIP() << "no permission to create a network namespace (needs root or CAP_SYS_ADMIN)";
    }
    if (WEXITSTATUS(status) == cannotCreateLinks) {
        GTEST_SKIP() << "the kernel offers neither dummy nor veth links";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step " << WEXITSTATUS(status);
}

TEST(NetlinkNetwork, AgreesWithAFreshDumpAndShutsDownPromptly) {
    // Whatever this machine's network is, the running observer and a direct
    // dump must agree, and tearing the thread down must not hang.
    for (int round = 0; round < 3; ++round) {
        const NetlinkNetwork network;
        EXPECT_EQ(network.currentTransport(), NetlinkNetwork::snapshot("/sys").transport());
    }
}

} // namespace
} // namespace zoq
