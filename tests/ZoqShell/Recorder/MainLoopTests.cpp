#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Recorder/MainLoop.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace zoq {
namespace {

// The headless service's loop is the boundary of every step of the model: a
// step that fails (a settings file that cannot be read) ends that step only.
TEST(MainLoop, AStepThatThrowsEndsOnlyThatStep) {
    MainLoop loop;
    int ran = 0;
    loop.post([] { throw CoreError::io("open settings", EACCES); });
    loop.post([&ran] { ++ran; });
    EXPECT_EQ(loop.runPending(), 2);
    loop.post([] { throw std::runtime_error("a step failed"); });
    loop.post([&] {
        ++ran;
        loop.quit();
    });
    loop.run();
    EXPECT_EQ(ran, 2);
}

} // namespace
} // namespace zoq
