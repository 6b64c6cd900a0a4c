#include "ZoqCaptureEngine/AudioBackendError.h"
#include "ZoqCaptureEngine/LibpulseBackend.h"
#include "ZoqCaptureEngine/ProcessScanner.h"
#include "ZoqCaptureEngine/ScannerError.h"
#include "ZoqCaptureEngine/TapError.h"
#include "ZoqCaptureEngine/TapSession.h"
#include "tests/SoundServer/SoundServerSupport.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <sstream>

// Each of these breaks the server it runs against, so each gets a server of
// its own (see tests/CMakeLists.txt).

namespace zoq {
namespace {

using test::eventually;

struct Running {
    Running()
        : backend(std::make_unique<LibpulseBackend>()), scanner(*backend, AttributionResolver()),
          session(*backend) {
        scanner.installListeners([this] { ++deviceChanges; }, [] {});
        session.start();
        EXPECT_TRUE(eventually([&] { return !session.pump().system.empty(); }));
    }

    /// Failures (or with `ended`, streams whose device went away) the
    /// session reports until `wanted` are all there.
    std::vector<std::string> failuresUntil(std::size_t wanted, bool ended = false) {
        std::vector<std::string> failures;
        eventually([&] {
            TapSession::Drained drained = session.pump();
            for (std::string& failure : ended ? drained.ended : drained.failures) {
                failures.push_back(std::move(failure));
            }
            return failures.size() >= wanted;
        });
        return failures;
    }

    std::unique_ptr<LibpulseBackend> backend;
    ProcessScanner scanner;
    TapSession session;
    std::atomic<int> deviceChanges = 0;
};

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

TEST(SoundServerFault, ServerKilledMidStream) {
    ASSERT_FALSE(test::soundServerKind().empty());
    Running running;
    for (const pid_t pid : test::soundServerPids()) {
        ::kill(pid, SIGKILL);
    }
    const std::vector<std::string> failures = running.failuresUntil(2);
    ASSERT_EQ(failures.size(), 2u);
    for (const std::string& failure : failures) {
        EXPECT_TRUE(startsWith(failure, "streamEnded(")) << failure;
    }
    EXPECT_TRUE(eventually([&] { return running.deviceChanges > 0; }));

    // Everything after fails at once with a clear text; nothing hangs.
    try {
        running.scanner.hardwareSignature();
        ADD_FAILURE() << "a signature without a server";
    } catch (const ScannerError& error) {
        EXPECT_TRUE(startsWith(error.text(), "graph: ")) << error.what();
    }
    EXPECT_EQ(running.scanner.scan(true), ProcessObservation{});
    running.session.teardown();
    try {
        running.session.start();
        ADD_FAILURE() << "started without a server";
    } catch (const TapError& error) {
        EXPECT_EQ(error.kind(), TapError::Kind::tapCreationDeniedOwnProcessUnknown) << error.what();
    }
    EXPECT_THROW(running.scanner.installListeners([] {}, [] {}), ScannerError);
}

TEST(SoundServerFault, DefaultSinkRemoved) {
    ASSERT_FALSE(test::soundServerKind().empty());
    Running running;
    const std::vector<std::uint64_t> signature = running.scanner.hardwareSignature();
    std::string module;
    std::istringstream modules(test::pactl({"list", "short", "modules"}));
    for (std::string line; std::getline(modules, line);) {
        if (line.find("sink_name=speakers") != std::string::npos) {
            module = line.substr(0, line.find('\t'));
        }
    }
    ASSERT_FALSE(module.empty());
    test::pactl({"unload-module", module});

    // Not a failure of the connection: a stream whose device went away.
    const std::vector<std::string> failures = running.failuresUntil(1, true);
    EXPECT_TRUE(running.session.pump().failures.empty());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_TRUE(startsWith(failures.front(), "streamEnded(")) << failures.front();
    EXPECT_NE(failures.front().find("system mix"), std::string::npos) << failures.front();
    EXPECT_TRUE(eventually([&] { return running.deviceChanges > 0; }));
    // The devices changed under the engine: another default sink, or none.
    EXPECT_TRUE(eventually([&] {
        try {
            return running.scanner.hardwareSignature() != signature;
        } catch (const ScannerError&) {
            return true;
        }
    }));
    running.session.teardown();
    try {
        running.session.start();
        EXPECT_NE(running.session.monitorSourceName(), "speakers.monitor");
    } catch (const TapError& error) {
        EXPECT_EQ(error.kind(), TapError::Kind::missingDefaultOutput) << error.what();
    }
}

} // namespace
} // namespace zoq
