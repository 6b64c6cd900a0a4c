// The built programs answering the slips a person makes on the command line,
// and a recording run with no sound server to record from: each says what
// went wrong in words, with the next step, and ends with the documented
// status.

#include "tests/TestSupport/ChildProcess.h"
#include "tests/TestSupport/TempDirectory.h"
#include "tests/e2e/PortalProcess.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

namespace zoq {
namespace {

TEST(CommandLineSlips, EachSlipIsAnsweredInWordsWithItsStatus) {
    test::TempDirectory temp;
    std::filesystem::create_directories(temp / "runtime");
    // No sound server to be found: an empty runtime directory, no server
    // named, nothing listening at the one that is.
    const std::vector<std::string> environment{
        "XDG_CONFIG_HOME=" + (temp / "config").string(), "XDG_DATA_HOME=" + (temp / "data").string(),
        "XDG_RUNTIME_DIR=" + (temp / "runtime").string(),
        "PULSE_SERVER=unix:" + (temp / "runtime" / "no-server").string(),
        "PULSE_RUNTIME_PATH=" + (temp / "runtime").string()};
    const std::string version = std::string(" ") + ZOQ_VERSION + "\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> said;
    } cases[] = {
        {{"zoq", "--version"}, 0, {"zoq" + version}},
        {{"zoq-dev-portal", "--version"}, 0, {"zoq-dev-portal" + version}},
        {{"zoq", "recrod"},
         2,
         {"there is no command \"recrod\"; the commands are: ", "pair", "upload", "status", "record",
          "daemon", "Run 'zoq --help'"}},
        {{"zoq", "record", "--max-seconds", "abc"}, 2, {"--max-seconds", "a number of seconds"}},
        {{"zoq", "upload", "--watch", "--interval", "soon"}, 2, {"--interval", "a number of seconds"}},
        {{"zoq", "record", "--root", (temp / "spool").string(), "--device-id",
          "7c9e6679-7425-40de-944b-e07fc1f90ae7", "--max-seconds", "5"},
         1,
         {"zoq: no sound server is running (PulseAudio or PipeWire with pipewire-pulse) — start one"}},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::filesystem::path output = temp / ("output-" + std::to_string(++index));
        std::vector<std::string> args = c.args;
        args.front() = test::PortalProcess::program(args.front()).string();
        test::ChildProcess child(args, environment, output);
        EXPECT_EQ(child.exitCode(), c.status) << c.args[1];
        std::ifstream in(output);
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        for (const std::string& part : c.said) {
            EXPECT_NE(text.find(part), std::string::npos) << c.args[1] << ": \"" << part << "\" in\n" << text;
        }
    }
    const std::filesystem::path tray = test::PortalProcess::program("zoq-tray");
    if (std::filesystem::exists(tray)) {
        test::ChildProcess child({tray.string(), "--version"}, environment, temp / "tray");
        EXPECT_EQ(child.exitCode(), 0);
        std::ifstream in(temp / "tray");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "zoq-tray" + version);
    }
}

} // namespace
} // namespace zoq
