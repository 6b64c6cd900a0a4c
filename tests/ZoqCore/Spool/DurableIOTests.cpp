#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Support/CoreError.h"
#include "tests/TestSupport/BoundaryRecorder.h"
#include "tests/TestSupport/CaughtError.h"
#include "tests/TestSupport/TempDirectory.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zoq {
namespace {

namespace fs = std::filesystem;
using test::BoundaryRecorder;
using test::caughtError;
using test::SimulatedCrash;
using test::TempDirectory;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void plant(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

/// A planted FIFO must never block: if `open` waited for a peer, SIGALRM would
/// end the test process instead of letting it hang until the suite's timeout.
class HangGuard {
public:
    HangGuard() { ::alarm(30); }
    ~HangGuard() { ::alarm(0); }
};

class DurableIOTest : public ::testing::Test {
protected:
    TempDirectory dir;
    BoundaryRecorder recorder;
    DurableIO io{std::numeric_limits<std::int64_t>::max(), recorder.hook()};
};

TEST_F(DurableIOTest, WriteCreatesAPrivateFileAndBracketsTheWrite) {
    io.write(dir / "audio.wav", bytesOf("hello"), 0, true, false);
    EXPECT_EQ(contentOf(dir / "audio.wav"), "hello");
    struct stat status {};
    ASSERT_EQ(::stat((dir / "audio.wav").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(recorder.names(),
              (std::vector<std::string>{"before:write:audio.wav", "after:partial-write:audio.wav",
                                        "after:write:audio.wav"}));
}

TEST_F(DurableIOTest, WriteAtOffsetAndTruncateTakeEffectInOrder) {
    plant(dir / "f", "0123456789");
    io.write(dir / "f", bytesOf("ab"), 4, false, false);
    EXPECT_EQ(contentOf(dir / "f"), "0123ab6789");
    recorder.clear();
    io.write(dir / "f", bytesOf("xy"), 1, false, true);
    // Truncated first, then written at offset 1: the gap reads as a zero byte.
    EXPECT_EQ(contentOf(dir / "f"), std::string("\0xy", 3));
    EXPECT_EQ(recorder.names(),
              (std::vector<std::string>{"before:truncate:f", "after:truncate:f", "before:write:f",
                                        "after:partial-write:f", "after:write:f"}));
}

TEST_F(DurableIOTest, EmptyWriteStillCreatesAndFiresItsBoundaries) {
    io.write(dir / "empty", {}, 0, true, false);
    EXPECT_TRUE(fs::exists(dir / "empty"));
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"before:write:empty", "after:write:empty"}));
}

TEST_F(DurableIOTest, SmallMaximumWriteSizeSplitsIntoPositionalChunks) {
    io.maximumWriteSize = 3;
    plant(dir / "f", "..");
    io.write(dir / "f", bytesOf("0123456789"), 2, false, false);
    EXPECT_EQ(contentOf(dir / "f"), "..0123456789");
    EXPECT_EQ(recorder.countWithPrefix("after:partial-write:"), 4u);
}

TEST_F(DurableIOTest, NonPositiveMaximumWriteSizeFailsLikeAFullDisk) {
    io.maximumWriteSize = 0;
    EXPECT_EQ(caughtError([&] { io.write(dir / "f", bytesOf("x"), 0, true, false); }),
              CoreError::io("write", 28));
    io.maximumWriteSize = -5;
    EXPECT_EQ(caughtError([&] { io.write(dir / "f", bytesOf("x"), 0, false, false); }),
              CoreError::io("write", 28));
    EXPECT_EQ(contentOf(dir / "f"), "");
}

TEST_F(DurableIOTest, CreateRefusesAnExistingFileAndKeepsItsContent) {
    plant(dir / "manifest.json", "old");
    EXPECT_EQ(caughtError([&] { io.write(dir / "manifest.json", bytesOf("new"), 0, true, true); }),
              CoreError::io("open manifest.json", EEXIST));
    EXPECT_EQ(contentOf(dir / "manifest.json"), "old");
    EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(DurableIOTest, SymbolicLinksAreNeverFollowed) {
    plant(dir / "target", "precious");
    fs::create_symlink(dir / "target", dir / "link");
    EXPECT_EQ(caughtError([&] { io.write(dir / "link", bytesOf("x"), 0, false, true); }),
              CoreError::io("open link", ELOOP));
    EXPECT_EQ(caughtError([&] { io.read(dir / "link", 0); }), CoreError::io("open link", ELOOP));
    EXPECT_EQ(contentOf(dir / "target"), "precious");
    EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(DurableIOTest, SecondHardLinkIsRefusedBeforeTruncating) {
    plant(dir / "other", "someone else's data");
    ASSERT_EQ(::link((dir / "other").c_str(), (dir / "audio.wav").c_str()), 0);
    const CoreError notPrivate = CoreError::corrupt("not a private regular file");
    EXPECT_EQ(caughtError([&] { io.write(dir / "audio.wav", bytesOf("x"), 0, false, true); }), notPrivate);
    EXPECT_EQ(caughtError([&] { io.truncate(dir / "audio.wav", 0); }), notPrivate);
    EXPECT_EQ(caughtError([&] { io.hash(dir / "audio.wav", 0); }), notPrivate);
    EXPECT_EQ(caughtError([&] { io.size(dir / "audio.wav"); }), notPrivate);
    EXPECT_EQ(contentOf(dir / "other"), "someone else's data");
    EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(DurableIOTest, DirectoryIsNotAFile) {
    fs::create_directory(dir / "sub");
    EXPECT_EQ(caughtError([&] { io.read(dir / "sub", 0); }),
              CoreError::corrupt("not a private regular file"));
    EXPECT_EQ(caughtError([&] { io.write(dir / "sub", bytesOf("x"), 0, false, false); }),
              CoreError::io("open sub", EISDIR));
}

TEST_F(DurableIOTest, FifoIsRefusedWithoutBlocking) {
    const HangGuard guard;
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    // Read-only: a blocking open would wait for a writer forever.
    EXPECT_EQ(caughtError([&] { io.read(dir / "pipe", 0); }),
              CoreError::corrupt("not a private regular file"));
    EXPECT_EQ(caughtError([&] { io.sync(dir / "pipe", false); }),
              CoreError::corrupt("not a private regular file"));
    // Write-only: a blocking open would wait for a reader forever.
    EXPECT_EQ(caughtError([&] { io.write(dir / "pipe", bytesOf("x"), 0, false, false); }),
              CoreError::io("open pipe", ENXIO));
}

TEST_F(DurableIOTest, ReadStopsAtEndOfFileButHashDemandsEveryByte) {
    plant(dir / "f", "abcdef");
    EXPECT_EQ(textOf(io.read(dir / "f", 2)), "cdef");
    EXPECT_EQ(textOf(io.read(dir / "f", 2, 3)), "cde");
    EXPECT_EQ(textOf(io.read(dir / "f", 4, 10)), "ef");
    EXPECT_EQ(textOf(io.read(dir / "f", 10)), "");
    EXPECT_EQ(io.hash(dir / "f", 2, 3), SHA256::hex("cde"));
    EXPECT_EQ(io.hash(dir / "f", 0), SHA256::hex("abcdef"));
    EXPECT_EQ(io.hash(dir / "f", 6, 0), SHA256::hex(""));
    EXPECT_EQ(caughtError([&] { io.hash(dir / "f", 4, 10); }), CoreError::corrupt("hash truncated"));
}

TEST_F(DurableIOTest, LargeFilesStreamAcrossChunkBoundaries) {
    Bytes data(static_cast<std::size_t>(3 * DurableIO::chunkSize + 123));
    std::uint32_t state = 12345;
    for (auto& byte : data) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    io.write(dir / "big", data, 0, true, false);
    EXPECT_EQ(io.size(dir / "big"), static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(io.read(dir / "big", 0), data);
    EXPECT_EQ(io.hash(dir / "big", 0), DurableIO::hash(data));
    const std::int64_t offset = DurableIO::chunkSize - 7;
    const std::int64_t count = 2 * DurableIO::chunkSize;
    EXPECT_EQ(io.hash(dir / "big", offset, count),
              SHA256::hex(
                  ByteView(data).subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(count))));
}

TEST_F(DurableIOTest, StreamingHashExtendsARunningDigest) {
    plant(dir / "f", "hello, world");
    SHA256 digest;
    io.hash(dir / "f", 0, 5, digest);
    io.hash(dir / "f", 5, std::nullopt, digest);
    EXPECT_EQ(digest.hexDigest(), SHA256::hex("hello, world"));
}

TEST_F(DurableIOTest, NegativeNumbersAreRefusedBeforeAnythingChanges) {
    plant(dir / "f", "keep me");
    EXPECT_EQ(caughtError([&] { io.write(dir / "f", bytesOf("x"), -1, false, true); }),
              CoreError::invalid("offset"));
    EXPECT_EQ(caughtError([&] {
                  io.write(dir / "f", bytesOf("xy"), std::numeric_limits<std::int64_t>::max() - 1, false,
                           true);
              }),
              CoreError::invalid("offset"));
    EXPECT_EQ(caughtError([&] { io.truncate(dir / "f", -1); }), CoreError::invalid("size"));
    EXPECT_EQ(caughtError([&] { io.read(dir / "f", -1); }), CoreError::invalid("offset"));
    EXPECT_EQ(caughtError([&] { io.hash(dir / "f", 0, -1); }), CoreError::invalid("count"));
    EXPECT_EQ(contentOf(dir / "f"), "keep me");
    EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(DurableIOTest, RemoveOfAnAbsentFileIsSilent) {
    io.remove(dir / "absent");
    io.remove(dir / "absent-dir" / "absent");
    EXPECT_EQ(recorder.count(), 0u);
    plant(dir / "f", "x");
    io.remove(dir / "f");
    EXPECT_FALSE(fs::exists(dir / "f"));
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"before:unlink:f", "after:unlink:f"}));
}

TEST_F(DurableIOTest, RemoveThatCannotLookIsAFailureNotSuccess) {
    // A path that cannot even be examined is not proof that the file is gone.
    fs::create_symlink("loop", dir / "loop");
    EXPECT_EQ(caughtError([&] { io.remove(dir / "loop" / "f"); }), CoreError::io("unlink", ELOOP));
    EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(DurableIOTest, ExistsSeesDanglingLinksWithoutFollowing) {
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_TRUE(io.exists(dir / "dangling"));
    EXPECT_FALSE(io.exists(dir / "nowhere"));
}

TEST_F(DurableIOTest, RenameTruncateAndSyncNameTheirBoundaries) {
    plant(dir / "a", "abcdef");
    io.truncate(dir / "a", 2);
    io.sync(dir / "a", false);
    io.rename(dir / "a", dir / "b");
    io.sync(dir.path(), true);
    EXPECT_EQ(contentOf(dir / "b"), "ab");
    EXPECT_EQ(recorder.names(),
              (std::vector<std::string>{"before:truncate:a", "after:truncate:a", "before:fsync:a",
                                        "after:fsync:a", "before:rename:b", "after:rename:b",
                                        "before:fsync:directory", "after:fsync:directory"}));
    EXPECT_EQ(caughtError([&] { io.rename(dir / "a", dir / "c"); }), CoreError::io("rename", ENOENT));
    EXPECT_EQ(caughtError([&] { io.sync(dir / "absent", true); }), CoreError::io("open sync", ENOENT));
}

TEST_F(DurableIOTest, AtomicReplacesTheWholeFileThroughASibling) {
    plant(dir / "manifest.json", "old and longer");
    io.atomic(bytesOf("new"), dir / "manifest.json");
    EXPECT_EQ(contentOf(dir / "manifest.json"), "new");
    EXPECT_FALSE(fs::exists(dir / "manifest.json.next"));
    EXPECT_EQ(recorder.names(),
              (std::vector<std::string>{
                  "before:write:manifest.json.next", "after:partial-write:manifest.json.next",
                  "after:write:manifest.json.next", "before:fsync:manifest.json.next",
                  "after:fsync:manifest.json.next", "before:rename:manifest.json",
                  "after:rename:manifest.json", "before:fsync:directory", "after:fsync:directory"}));
}

TEST_F(DurableIOTest, AtomicRefusesAPathWithoutAFileName) {
    EXPECT_EQ(caughtError([&] { io.atomic(bytesOf("x"), dir.path() / ""); }), CoreError::invalid("path"));
    EXPECT_EQ(recorder.count(), 0u);
}

// A crash at any step of `atomic` must leave the old content or the new one,
// never a mix and never nothing; the next `atomic` must then succeed despite
// whatever sibling the crash left behind.
TEST_F(DurableIOTest, CrashAtEveryAtomicStepLeavesOldOrNewAndRecovers) {
    const auto run = [&](const TempDirectory& where, bool staleSibling) {
        plant(where / "manifest.json", "old content");
        if (staleSibling) {
            plant(where / "manifest.json.next", "half-written garb");
        }
        io.atomic(bytesOf("new content!"), where / "manifest.json");
    };
    for (const bool staleSibling : {false, true}) {
        std::vector<std::string> steps;
        {
            const TempDirectory probe;
            recorder.clear();
            run(probe, staleSibling);
            steps = recorder.names();
        }
        ASSERT_EQ(steps.size(), staleSibling ? 11u : 9u);
        bool renamed = false;
        for (std::size_t k = 0; k < steps.size(); ++k) {
            SCOPED_TRACE(steps[k]);
            const TempDirectory where;
            recorder.clear();
            recorder.failAtCall(k);
            EXPECT_THROW(run(where, staleSibling), SimulatedCrash);
            renamed = renamed || steps[k] == "after:rename:manifest.json";
            EXPECT_EQ(contentOf(where / "manifest.json"), renamed ? "new content!" : "old content");

            io.atomic(bytesOf("third"), where / "manifest.json");
            EXPECT_EQ(contentOf(where / "manifest.json"), "third");
            EXPECT_FALSE(fs::exists(where / "manifest.json.next"));
        }
        EXPECT_TRUE(renamed);
    }
}

TEST_F(DurableIOTest, ErrorFromTheHookPropagatesUnchangedAndClosesDescriptors) {
    const auto openDescriptors = [] {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            ++count;
        }
        return count;
    };
    plant(dir / "f", "abc");
    const std::size_t before = openDescriptors();
    recorder.failAtName("after:partial-write:f", 1, std::make_exception_ptr(CoreError::staleLease()));
    EXPECT_EQ(caughtError([&] { io.write(dir / "f", bytesOf("xyz"), 0, false, false); }),
              CoreError::staleLease());
    recorder.failAtName("after:truncate:f");
    EXPECT_THROW(io.write(dir / "f", bytesOf("q"), 0, false, true), SimulatedCrash);
    recorder.failAtName("before:fsync:f");
    EXPECT_THROW(io.sync(dir / "f", false), SimulatedCrash);
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
} // namespace zoq
