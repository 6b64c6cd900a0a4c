#include "ZoqCore/Spool/BoundedProcess.h"
#include "ZoqCore/Support/CoreError.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/TestSupport/TempDirectory.h"

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace zoq {
namespace {

using test::caughtError;
using test::TempDirectory;

std::string contentOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// True when this process has no child left, running or zombie.
bool noChildren() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

class BoundedProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        output = ::open((dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(output, 0);
    }
    void TearDown() override { ::close(output); }

    void shell(const std::string& script, double deadline = 30) {
        BoundedProcess::run("/bin/sh", {"-c", script}, deadline, output);
    }
    std::string captured() const { return contentOf(dir / "stdout"); }

    TempDirectory dir;
    int output = -1;
};

TEST_F(BoundedProcessTest, CapturesStdoutWithStdinAndStderrOnTheNullDevice) {
    // `read` sees end of input at once (stdin is /dev/null, never the
    // caller's), and nothing written to stderr reaches the captured output.
    shell(R"(read line; echo "in:[$line]"; echo noise >&2; printf 'out %s\n' "$0")");
    EXPECT_EQ(captured(), "in:[]\nout /bin/sh\n");
    EXPECT_TRUE(noChildren());
}

TEST_F(BoundedProcessTest, PassesArgumentsExactly) {
    BoundedProcess::run("/usr/bin/printf", {"<%s>", "a b", "", "$HOME", "-v"}, 30, output);
    EXPECT_EQ(captured(), "<a b><><$HOME><-v>");
}

TEST_F(BoundedProcessTest, NonZeroExitIsProcessFailedWithTheExitCode) {
    EXPECT_EQ(caughtError([&] { shell("exit 3"); }), CoreError::processFailed(3));
    EXPECT_EQ(caughtError([&] { shell("exit 255"); }), CoreError::processFailed(255));
    EXPECT_TRUE(noChildren());
}

TEST_F(BoundedProcessTest, DeathBySignalIsTheNegatedSignalNumber) {
    EXPECT_EQ(caughtError([&] { shell("kill -TERM $$"); }), CoreError::processFailed(-SIGTERM));
    EXPECT_EQ(caughtError([&] { shell("kill -KILL $$"); }), CoreError::processFailed(-SIGKILL));
    EXPECT_TRUE(noChildren());
}

TEST_F(BoundedProcessTest, ChildPastItsDeadlineIsKilledAndReaped) {
    // `exec` so the child itself sleeps; the deadline has no business with
    // grandchildren. On a busy machine the deadline may strike before the
    // shell even got to its `echo`: what it wrote is its line or nothing.
    EXPECT_EQ(caughtError([&] { shell("echo started; exec sleep 60", 0.3); }), CoreError::deadline());
    const std::string written = captured();
    EXPECT_TRUE(written == "started\n" || written.empty()) << written;
    EXPECT_TRUE(noChildren());
}

TEST_F(BoundedProcessTest, ChildIgnoringTermStillDies) {
    EXPECT_EQ(caughtError([&] { shell("trap '' TERM INT HUP; while :; do :; done", 0.2); }),
              CoreError::deadline());
    EXPECT_TRUE(noChildren());
}

TEST_F(BoundedProcessTest, BadDeadlineStartsNothing) {
    // A started child would fail with io("spawn", ENOENT) instead.
    for (const double deadline : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(caughtError([&] { BoundedProcess::run("/nonexistent/tool", {}, deadline, output); }),
                  CoreError::invalid("deadline"));
    }
}

TEST_F(BoundedProcessTest, SpawnFailureIsAnIOErrorAndLeavesNoZombie) {
    EXPECT_EQ(caughtError([&] { BoundedProcess::run(dir / "absent", {}, 30, output); }),
              CoreError::io("spawn", ENOENT));
    std::ofstream(dir / "not-executable") << "#!/bin/sh\n";
    EXPECT_EQ(caughtError([&] { BoundedProcess::run(dir / "not-executable", {}, 30, output); }),
              CoreError::io("spawn", EACCES));
    EXPECT_EQ(caughtError([&] { BoundedProcess::run("/bin/true", {}, 30, -1); }),
              CoreError::io("spawn", EBADF));
    EXPECT_TRUE(noChildren());
}

TEST_F(BoundedProcessTest, ChildInheritsNoOtherDescriptor) {
    // Opened without O_CLOEXEC on purpose: a lock descriptor inherited by a
    // long-running child would keep its directory locked.
    const int stray = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 3);
    shell("if [ -e /proc/self/fd/" + std::to_string(stray) + " ]; then echo leaked; else echo clean; fi");
    ::close(stray);
    EXPECT_EQ(captured(), "clean\n");
}

} // namespace
} // namespace zoq
