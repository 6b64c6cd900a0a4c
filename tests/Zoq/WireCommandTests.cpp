#include "Zoq/zoq/CommandLine.h"
#include "tests/TestSupport/TempDirectory.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace zoq::cli {
namespace {

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result runZoq(const std::vector<std::string>& args, const std::string& input = {}) {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = run(args, {in, out, err});
    return {code, out.str(), err.str()};
}

constexpr const char* credentials =
    R"({"deviceId":"3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b","accessToken":"a/b","accessExpiresAt":"2025-03-01T10:00:00+01:00",
        "refreshToken":"r","refreshExpiresAt":"2025-04-01T10:00:00Z","scopes":["devices:self"]})";

TEST(WireCheckCommand, PrintsTheNormalisedDocumentOnOneLine) {
    const Result result = runZoq({"wire", "check", "DeviceCredentialsResponse"}, credentials);
    EXPECT_EQ(result.code, exitSuccess) << result.err;
    EXPECT_EQ(
        result.out,
        R"({"accessExpiresAt":"2025-03-01T09:00:00.000Z","accessToken":"a/b","deviceId":"3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b",)"
        R"("refreshExpiresAt":"2025-04-01T10:00:00.000Z","refreshToken":"r","scopes":["devices:self"]})"
        "\n");
    EXPECT_EQ(result.err, "");
}

TEST(WireCheckCommand, ReadsAFileOrStandardInput) {
    const test::TempDirectory directory;
    const auto path = directory.path() / "pairing.json";
    std::ofstream(path) << R"({"platform":"mac","name":"Laptop"})";
    const Result fromFile = runZoq({"wire", "check", "PairingCreateRequest", path.string()});
    EXPECT_EQ(fromFile.code, exitSuccess) << fromFile.err;
    EXPECT_EQ(fromFile.out, "{\"name\":\"Laptop\",\"platform\":\"mac\"}\n");
    const Result fromDash =
        runZoq({"wire", "check", "PairingCreateRequest", "-"}, "{\"platform\":\"mac\",\"name\":\"L\"}");
    EXPECT_EQ(fromDash.code, exitSuccess) << fromDash.err;
}

TEST(WireCheckCommand, RefusalsPrintTheReasonAndExitOne) {
    const Result invalid = runZoq({"wire", "check", "UploadAttemptsRequest"}, R"({"extra":1})");
    EXPECT_EQ(invalid.code, exitFailure);
    EXPECT_EQ(invalid.err, "invalid(\"closed object\")\n");
    EXPECT_EQ(invalid.out, "");

    const Result syntax = runZoq({"wire", "check", "UploadAttemptsRequest"}, "{\"a\":1,\"a\":1}");
    EXPECT_EQ(syntax.code, exitFailure);
    EXPECT_TRUE(syntax.err.starts_with("json: ")) << syntax.err;
    EXPECT_EQ(syntax.err.find('\n'), syntax.err.size() - 1);

    EXPECT_EQ(runZoq({"wire", "check", "UploadAttemptsRequest"}, "").code, exitFailure);
}

TEST(WireCheckCommand, UnknownSchemaIsAUsageErrorListingTheNames) {
    const Result result = runZoq({"wire", "check", "uploadStatusResponse"}, "{}");
    EXPECT_EQ(result.code, exitUsage);
    EXPECT_NE(result.err.find("UploadStatusResponse"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("IdempotencyKey"), std::string::npos) << result.err;
    EXPECT_EQ(runZoq({"wire", "check"}).code, exitUsage);
    EXPECT_EQ(runZoq({"wire"}).code, exitUsage);
}

TEST(WireCheckCommand, UnreadableFilesAreClearErrors) {
    const test::TempDirectory directory;
    const Result missing =
        runZoq({"wire", "check", "ErrorEnvelope", (directory.path() / "absent.json").string()});
    EXPECT_EQ(missing.code, exitFailure);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("No such file"), std::string::npos) << missing.err;
    const Result folder = runZoq({"wire", "check", "ErrorEnvelope", directory.path().string()});
    EXPECT_EQ(folder.code, exitFailure);
    EXPECT_NE(folder.err.find("Is a directory"), std::string::npos) << folder.err;
}

} // namespace
} // namespace zoq::cli
