// Device authentication over real HTTP: libcurl against a loopback server.
#include "ZoqCore/Support/Bytes.h"
#include "ZoqShell/Auth/DeviceAuth.h"
#include "ZoqShell/Transport/CurlWireTransport.h"
#include "ZoqShell/Transport/PortalOrigin.h"
#include "tests/TestSupport/CredentialTestSupport.h"
#include "tests/TestSupport/MemoryCredentialPersistence.h"
#include "tests/ZoqShell/Auth/AuthTestSupport.h"
#include "tests/ZoqShell/LoopbackHttpServer.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <thread>

namespace zoq {
namespace {

using test::accessTokenOf;
using test::RecordedRequest;
using test::ScriptedReply;

constexpr int callers = 32;
// Only a safety net against a hang: the test never asserts how long anything took.
constexpr std::chrono::seconds giveUpAfter{30};

// A portal that refuses the first credentials ("r0") and accepts the rotated
// ones ("r1"). Every request carrying the old token is held until all
// `callers` have arrived, so every call holds a 401 at the same moment.
class RotatingPortal {
public:
    explicit RotatingPortal(test::LoopbackHttpServer& server) : server_(server) {}

    // The refresh answers: each a status (200 sends the "r1" credentials), or 0
    // for a reply the server applies and then cuts off.
    void serve(std::vector<int> refreshStatuses) {
        refreshStatuses_ = std::move(refreshStatuses);
        for (int i = 0; i < 2 * callers + static_cast<int>(refreshStatuses_.size()); ++i) {
            ScriptedReply reply;
            reply.custom = [this](const RecordedRequest& request, httplib::Response& response) {
                answer(request, response);
            };
            server_.enqueue(std::move(reply));
        }
    }

    std::vector<RecordedRequest> refreshes() const { return withPath(true); }
    std::vector<RecordedRequest> apiRequests() const { return withPath(false); }

private:
    std::vector<RecordedRequest> withPath(bool refresh) const {
        std::vector<RecordedRequest> found;
        for (const RecordedRequest& request : server_.requests()) {
            if ((request.path == "/api/v1/devices/token/refresh") == refresh) {
                found.push_back(request);
            }
        }
        return found;
    }

    void answer(const RecordedRequest& request, httplib::Response& response) {
        if (request.path == "/api/v1/devices/token/refresh") {
            int status = 0;
            {
                const std::lock_guard lock(mutex_);
                status = refreshStatuses_.at(refreshesSeen_++);
            }
            const std::string rotated =
                textOf(test::sampleCredentials(test::authDevice, "r1").document().encoded());
            if (status == 0) {
                response.status = 200;
                response.set_content_provider(rotated.size(), "application/json",
                                              [](std::size_t, std::size_t, httplib::DataSink& sink) {
                                                  sink.write("{", 1);
                                                  return false; // the connection drops mid-body
                                              });
            } else {
                response.status = status;
                response.set_content(status == 200 ? rotated : "{}", "application/json");
            }
            return;
        }
        const std::string authorization = request.header("authorization").value_or("");
        if (authorization == "Bearer " + accessTokenOf("r0")) {
            std::unique_lock lock(mutex_);
            ++oldTokenArrivals_;
            arrived_.notify_all();
            arrived_.wait_for(lock, giveUpAfter, [this] { return oldTokenArrivals_ >= callers; });
            response.status = 401;
        } else {
            response.status = authorization == "Bearer " + accessTokenOf("r1") ? 200 : 403;
        }
    }

    test::LoopbackHttpServer& server_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    int oldTokenArrivals_ = 0;      // guarded by mutex_
    std::size_t refreshesSeen_ = 0; // guarded by mutex_
    std::vector<int> refreshStatuses_;
};

class DeviceAuthHttpTest : public ::testing::Test {
protected:
    // Makes `callers` authenticated calls at once and returns their outcomes.
    std::vector<AuthenticatedOutcome> callTogether() {
        std::vector<std::optional<AuthenticatedOutcome>> outcomes(callers);
        std::vector<std::thread> threads;
        for (int i = 0; i < callers; ++i) {
            threads.emplace_back([&, i] {
                const TransportRequest request{
                    "GET", server.url("/api/v1/uploads/" + std::to_string(i)), {}, {}};
                outcomes[static_cast<std::size_t>(i)] = auth.authorizedCall(request);
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        std::vector<AuthenticatedOutcome> result;
        for (auto& outcome : outcomes) {
            result.push_back(*outcome);
        }
        return result;
    }

    test::LoopbackHttpServer server;
    RotatingPortal portal{server};
    CurlWireTransport transport;
    test::MemoryCredentialPersistence persistence{
        test::issuedBy(test::snapshotOf("r0"), *PortalOrigin::of(server.url("/")))};
    HostClock clock;
    DeviceAuth auth{transport, persistence, server.url("/portal/"), clock};
};

TEST_F(DeviceAuthHttpTest, ConcurrentRejectionsShareOneRefreshAndEachResendsOnce) {
    portal.serve({200});
    for (const AuthenticatedOutcome& outcome : callTogether()) {
        ASSERT_EQ(outcome.kind(), AuthenticatedOutcome::Kind::response);
        EXPECT_EQ(outcome.transportResponse().status, 200);
    }
    EXPECT_EQ(portal.refreshes().size(), 1u);
    std::map<std::string, int> sendsByPath;
    int withNewToken = 0;
    for (const RecordedRequest& request : portal.apiRequests()) {
        ++sendsByPath[request.path];
        withNewToken += request.header("authorization") == "Bearer " + accessTokenOf("r1") ? 1 : 0;
    }
    EXPECT_EQ(withNewToken, callers);
    EXPECT_EQ(sendsByPath.size(), static_cast<std::size_t>(callers));
    for (const auto& [path, sends] : sendsByPath) {
        EXPECT_EQ(sends, 2) << path;
    }
    EXPECT_EQ(persistence.stored()->generation, 1);
}

TEST_F(DeviceAuthHttpTest, ARefreshAnswered500BlocksEveryWaitingCall) {
    portal.serve({500});
    for (const AuthenticatedOutcome& outcome : callTogether()) {
        EXPECT_EQ(outcome, AuthenticatedOutcome::blockedAuth());
    }
    EXPECT_EQ(portal.refreshes().size(), 1u);
    EXPECT_EQ(portal.apiRequests().size(), static_cast<std::size_t>(callers));
    EXPECT_TRUE(persistence.stored()->blocked);
}

TEST_F(DeviceAuthHttpTest, ARefreshReplyCutOffIsResentWithTheSameRequestId) {
    portal.serve({0, 200});
    for (const AuthenticatedOutcome& outcome : callTogether()) {
        ASSERT_EQ(outcome.kind(), AuthenticatedOutcome::Kind::response);
        EXPECT_EQ(outcome.transportResponse().status, 200);
    }
    const std::vector<RecordedRequest> refreshes = portal.refreshes();
    ASSERT_EQ(refreshes.size(), 2u);
    EXPECT_EQ(refreshes[0].body, refreshes[1].body);
    EXPECT_EQ(*JSONValue::parse(refreshes[0].body).find("refreshToken")->string(), "r0");
    EXPECT_EQ(persistence.stored()->generation, 1);
}

} // namespace
} // namespace zoq
