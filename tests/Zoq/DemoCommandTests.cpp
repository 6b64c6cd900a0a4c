#include "Zoq/zoq/CommandLine.h"

#include <gtest/gtest.h>
#include <sstream>

namespace zoq::cli {
namespace {

TEST(DemoCommand, NarratesASimulatedCallFromDebounceToFinish) {
    std::istringstream in;
    std::ostringstream out, err;
    ASSERT_EQ(run({"demo"}, {in, out, err}), exitSuccess) << err.str();
    const std::string text = out.str();

    EXPECT_NE(text.find("sha256(\"zoq\")"), std::string::npos) << "the building blocks are still shown";
    std::size_t at = 0;
    for (const char* line :
         {"t=  0.00 s  state ARMED -> DEBOUNCING", "t=  3.00 s  state DEBOUNCING -> RECORDING",
          "t=  3.00 s  begin{session ", "append x89: 400000 frames (25.00 s of audio)",
          "t= 25.00 s  state RECORDING -> IDLE_GRACE", "t= 40.00 s  state IDLE_GRACE -> FINALISING",
          "finish(interrupted: false, endedAt: 800000040.000)", "state FINALISING -> ARMED",
          "final state: ARMED"}) {
        const std::size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << text;
        at = found;
    }
}

} // namespace
} // namespace zoq::cli
