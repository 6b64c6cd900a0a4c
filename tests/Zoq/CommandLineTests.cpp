#include "Zoq/zoq/CommandLine.h"
#include "tests/TestSupport/TempDirectory.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
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

// A limit that is not a number of seconds above zero is a usage error, said
// in a line a person can read: no number written out to hundreds of digits.
TEST(CommandLine, MaxSecondsThatAreNoPositiveNumberAreAUsageError) {
    for (const char* value : {"nan", "NaN", "inf", "-inf", "1e400", "-1", "0", "-0", "ten", ""}) {
        SCOPED_TRACE(value);
        const Result result = runZoq({"record", "--max-seconds", value, "--device-id",
                                      "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b", "--root", "/nonexistent/zoq"});
        EXPECT_EQ(result.code, exitUsage) << result.err;
        EXPECT_NE(result.err.find("--max-seconds"), std::string::npos) << result.err;
        EXPECT_LT(result.err.size(), 200u) << result.err;
        EXPECT_EQ(result.err.find("00000000"), std::string::npos) << result.err;
    }
}

/// Sets an environment variable for one test, restoring it afterwards.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(CommandLine, PairingWithAnotherPortalIsRefusedWhereThePolicyFixesTheAddress) {
    const test::TempDirectory temp;
    std::filesystem::create_directories(temp / "etc" / "zoq");
    std::ofstream(temp / "etc" / "zoq" / "policy.json") << R"({"apiBaseURL": "https://portal.example.org/"})";
    const ScopedVariable configDirs("XDG_CONFIG_DIRS", (temp / "etc").string());
    const ScopedVariable configHome("XDG_CONFIG_HOME", (temp / "home").string());
    const ScopedVariable bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    const Result result = runZoq({"pair", "7KQ4-M2XD-9TRB", "--portal", "https://elsewhere.example.org"});
    EXPECT_EQ(result.code, exitUsage);
    EXPECT_EQ(result.err, "zoq: the portal address is set by your administrator; pair without --portal\n");
    EXPECT_FALSE(std::filesystem::exists(temp / "home")) << "nothing written";
}

} // namespace
} // namespace zoq::cli
