#include "ZoqShell/Secrets/MemorySecrets.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace zoq {
namespace {

TEST(MemorySecrets, StoresRetrievesAndErases) {
    MemorySecrets secrets(bytesOf("initial"));
    EXPECT_EQ(secrets.retrieve(), bytesOf("initial"));
    secrets.store(bytesOf("next"));
    EXPECT_EQ(secrets.retrieve(), bytesOf("next"));
    secrets.erase();
    EXPECT_EQ(secrets.retrieve(), std::nullopt);
}

// Readers racing writers only ever see a whole blob (run under TSan to check
// the locking itself).
TEST(MemorySecrets, ConcurrentReadersSeeWholeBlobs) {
    MemorySecrets secrets;
    const Bytes a(4096, 0xAA);
    const Bytes b(4096, 0xBB);
    std::vector<std::thread> threads;
    for (int writer = 0; writer < 2; ++writer) {
        threads.emplace_back([&, writer] {
            for (int i = 0; i < 500; ++i) {
                secrets.store(writer == 0 ? a : b);
            }
        });
    }
    bool torn = false;
    threads.emplace_back([&] {
        for (int i = 0; i < 1000; ++i) {
            const auto seen = secrets.retrieve();
            if (seen && *seen != a && *seen != b) {
                torn = true;
            }
        }
    });
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(torn);
}

} // namespace
} // namespace zoq
