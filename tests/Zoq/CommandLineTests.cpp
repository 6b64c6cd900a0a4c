#include "Zoq/zoq/CommandLine.h"

#include <gtest/gtest.h>

#include <sstream>

namespace zoq::cli {
namespace {

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result runZoq(const std::vector<std::string>& args) {
    std::istringstream in;
    std::ostringstream out, err;
    const int code = run(args, {in, out, err});
    return {code, out.str(), err.str()};
}

TEST(CommandLine, HelpListsCommandsAndSucceeds) {
    const Result result = runZoq({"--help"});
    EXPECT_EQ(result.code, exitSuccess);
    EXPECT_NE(result.out.find("demo"), std::string::npos);
}

TEST(CommandLine, UnknownCommandOrNoneIsAUsageError) {
    EXPECT_EQ(runZoq({"frobnicate"}).code, exitUsage);
    const Result none = runZoq({});
    EXPECT_EQ(none.code, exitUsage);
    EXPECT_NE(none.err.find("zoq --help"), std::string::npos);
}

TEST(CommandLine, SubcommandHelpDescribesThatCommand) {
    const Result result = runZoq({"demo", "--help"});
    EXPECT_EQ(result.code, exitSuccess);
    EXPECT_NE(result.out.find("what this build of zoq can do"), std::string::npos);
}

} // namespace
} // namespace zoq::cli
