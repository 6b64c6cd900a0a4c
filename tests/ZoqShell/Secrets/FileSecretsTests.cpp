#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Secrets/FileSecrets.h"
#include "tests/TestSupport/TempDirectory.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zoq {
namespace {

namespace fs = std::filesystem;

Bytes binaryBlob() {
    Bytes blob;
    for (int i = 0; i < 512; ++i) {
        blob.push_back(static_cast<std::uint8_t>(i));
    }
    return blob;
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0);
    return status.st_mode & 07777;
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class FileSecretsTest : public ::testing::Test {
protected:
    test::TempDirectory directory;
    FileSecrets secrets{directory.path()};
};

TEST_F(FileSecretsTest, RoundTripsBinaryBlobsAndErases) {
    EXPECT_EQ(secrets.retrieve(), std::nullopt);
    secrets.store(binaryBlob());
    EXPECT_EQ(secrets.retrieve(), binaryBlob());
    secrets.store(bytesOf("shorter"));
    EXPECT_EQ(secrets.retrieve(), bytesOf("shorter"));
    secrets.store({});
    EXPECT_EQ(secrets.retrieve(), Bytes{});
    secrets.erase();
    EXPECT_EQ(secrets.retrieve(), std::nullopt);
    secrets.erase();
    EXPECT_EQ(fs::directory_iterator(directory.path()), fs::directory_iterator());
}

TEST_F(FileSecretsTest, FileIsPrivateWhateverTheUmaskOrAStaleSibling) {
    const mode_t previous = ::umask(0);
    writeText(directory / (std::string(FileSecrets::defaultFileName) + ".new"), "stale");
    ::chmod((directory / (std::string(FileSecrets::defaultFileName) + ".new")).c_str(), 0666);
    secrets.store(bytesOf("secret"));
    ::umask(previous);
    EXPECT_EQ(modeOf(secrets.path()), 0600u);
    EXPECT_EQ(secrets.retrieve(), bytesOf("secret"));
    EXPECT_FALSE(fs::exists(directory / (std::string(FileSecrets::defaultFileName) + ".new")));
}

TEST_F(FileSecretsTest, ConcurrentWritersEachPublishAWholeBlobAndCrashedOnesLeaveNothing) {
    // A sibling of a writer that died mid-store (no process has that pid).
    const fs::path crashed =
        directory / (std::string(FileSecrets::defaultFileName) + ".new.999999999.0badf00d");
    writeText(crashed, "half");
    constexpr int writers = 4;
    constexpr int storesEach = 25;
    std::atomic<bool> torn = false;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            FileSecrets own(directory.path());
            // Large and distinct per writer, so a blob mixed from two writes shows.
            const Bytes blob(64 * 1024, static_cast<std::uint8_t>('a' + w));
            for (int i = 0; i < storesEach; ++i) {
                own.store(blob);
                const std::optional<Bytes> read = own.retrieve();
                if (!read || read->size() != blob.size() ||
                    std::count(read->begin(), read->end(), read->front()) !=
                        static_cast<long>(read->size())) {
                    torn = true;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(torn);
    EXPECT_FALSE(fs::exists(crashed));
    // Only the blob itself is left: every writer renamed its own sibling.
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path()), fs::directory_iterator()), 1);
}

TEST_F(FileSecretsTest, RefusesASymbolicLinkAndNeverWritesThroughIt) {
    const fs::path target = directory / "elsewhere";
    writeText(target, "not yours");
    ::chmod(target.c_str(), 0600);
    fs::create_symlink(target, secrets.path());
    EXPECT_THROW((void)secrets.retrieve(), CoreError);
    try {
        (void)secrets.retrieve();
    } catch (const CoreError& error) {
        EXPECT_EQ(error, CoreError::invalid("unsafe secrets file"));
    }
    // A store replaces the link itself; the file it pointed at is untouched.
    secrets.store(bytesOf("secret"));
    EXPECT_EQ(readText(target), "not yours");
    EXPECT_FALSE(fs::is_symlink(secrets.path()));
    EXPECT_EQ(secrets.retrieve(), bytesOf("secret"));
}

TEST_F(FileSecretsTest, RefusesFilesOthersCanReadOrThatAreNotRegular) {
    secrets.store(bytesOf("secret"));
    ::chmod(secrets.path().c_str(), 0640);
    EXPECT_THROW((void)secrets.retrieve(), CoreError);
    ::chmod(secrets.path().c_str(), 0604);
    EXPECT_THROW((void)secrets.retrieve(), CoreError);
    fs::remove(secrets.path());

    ASSERT_EQ(::mkfifo(secrets.path().c_str(), 0600), 0);
    EXPECT_THROW((void)secrets.retrieve(), CoreError); // and does not block
    fs::remove(secrets.path());

    fs::create_directory(secrets.path());
    EXPECT_THROW((void)secrets.retrieve(), CoreError);
}

TEST_F(FileSecretsTest, FailsClearlyWithoutItsDirectory) {
    FileSecrets missing(directory / "absent");
    try {
        missing.store(bytesOf("secret"));
        ADD_FAILURE() << "store succeeded";
    } catch (const CoreError& error) {
        EXPECT_EQ(error, CoreError::io("open", ENOENT));
    }
    EXPECT_THROW(FileSecrets(directory.path(), "../escape"), CoreError);
}

} // namespace
} // namespace zoq
