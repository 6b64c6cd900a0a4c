#include "ZoqCore/Spool/DirectoryLock.h"
#include "ZoqCore/Support/CoreError.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/TestSupport/TempDirectory.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zoq {
namespace {

namespace fs = std::filesystem;
using test::caughtError;
using test::TempDirectory;

TEST(DirectoryLock, SecondLockInTheSameProcessFailsAtOnceUntilTheFirstGoes) {
    const TempDirectory dir;
    {
        const DirectoryLock first(dir.path());
        EXPECT_GE(first.fd(), 0);
        EXPECT_EQ(caughtError([&] { DirectoryLock second(dir.path()); }), CoreError::locked());
    }
    const DirectoryLock again(dir.path());
    struct stat status {};
    ASSERT_EQ(::stat((dir / ".lock").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(DirectoryLock, MovedLockKeepsHoldingIt) {
    const TempDirectory dir;
    DirectoryLock first(dir.path());
    const DirectoryLock moved(std::move(first));
    EXPECT_EQ(caughtError([&] { DirectoryLock second(dir.path()); }), CoreError::locked());
}

TEST(DirectoryLock, LockHeldByAnotherProcessIsLockedAndFreedByItsDeath) {
    const TempDirectory dir;
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        char byte = 1;
        try {
            const DirectoryLock held(dir.path());
            if (::write(ready[1], &byte, 1) != 1) {
                ::_exit(1);
            }
            // Hold the lock until the parent closes its end.
            [[maybe_unused]] const ssize_t ignored = ::read(release[0], &byte, 1);
        } catch (...) {
            byte = 0;
            [[maybe_unused]] const ssize_t ignored = ::write(ready[1], &byte, 1);
        }
        ::_exit(byte == 1 ? 0 : 1);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);

    EXPECT_EQ(caughtError([&] { DirectoryLock mine(dir.path()); }), CoreError::locked());

    ::close(release[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(ready[0]);
    EXPECT_NO_THROW(DirectoryLock mine(dir.path()));
}

TEST(DirectoryLock, RefusesLockFilesThatAreNotPrivate) {
    const TempDirectory dir;
    fs::create_directory(dir / "linked");
    std::ofstream(dir / "elsewhere") << "";
    fs::create_symlink(dir / "elsewhere", dir / "linked" / ".lock");
    EXPECT_EQ(caughtError([&] { DirectoryLock lock(dir / "linked"); }), CoreError::io("open lock", ELOOP));

    fs::create_directory(dir / "hard");
    ASSERT_EQ(::link((dir / "elsewhere").c_str(), (dir / "hard" / ".lock").c_str()), 0);
    EXPECT_EQ(caughtError([&] { DirectoryLock lock(dir / "hard"); }),
              CoreError::corrupt("not a private regular lock"));

    fs::create_directory(dir / "dir");
    fs::create_directory(dir / "dir" / ".lock");
    EXPECT_EQ(caughtError([&] { DirectoryLock lock(dir / "dir"); }).kind(), CoreError::Kind::io);
}

TEST(DirectoryLock, DirectoryMustExistAndNotBeALink) {
    const TempDirectory dir;
    EXPECT_EQ(caughtError([&] { DirectoryLock lock(dir / "absent"); }),
              CoreError::io("open directory", ENOENT));
    fs::create_directory(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "alias");
    EXPECT_EQ(caughtError([&] { DirectoryLock lock(dir / "alias"); }),
              CoreError::io("open directory", ENOTDIR));
    EXPECT_FALSE(fs::exists(dir / "real" / ".lock"));
}

} // namespace
} // namespace zoq
