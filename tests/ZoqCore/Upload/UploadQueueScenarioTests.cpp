// Whole upload runs of a published recording against the scripted portal.
#include "tests/ZoqCore/Upload/UploadQueueTestSupport.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace zoq::test {
namespace {

using Log = std::vector<std::string>;
constexpr std::int64_t mib16 = ScriptedPortal::partSize;

struct Scenario {
    const char* name;
    ScriptedPortal::Mode mode;
    std::int64_t flacBytes;
    /// Drives the run; returns the last effect.
    std::function<UploadEffect(UploadQueueTest&, ScriptedPortal&)> drive;
    UploadEffect effect;
    /// The manifest's error afterwards (quarantine message), or "".
    const char* error;
    Log log;
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

UploadEffect runAll(UploadQueueTest& test, ScriptedPortal& portal) {
    return test.run(portal);
}

UploadEffect steps(UploadQueueTest& test, ScriptedPortal& portal, int count) {
    UploadEffect effect = UploadEffect::progressed;
    for (int i = 0; i < count; ++i) {
        effect = test.step(portal);
    }
    return effect;
}

JSONValue withWrongHash(JSONValue status) {
    JSONValue::Object object = *status.object();
    JSONValue::Object stored = *object.at("stored").object();
    stored["sha256"] = std::string(64, 'a');
    object["stored"] = stored;
    return object;
}

const Scenario scenarios[] = {
    {"Single",
     ScriptedPortal::Mode::single,
     0,
     [](auto& test, auto& portal) { return runAll(test, portal); },
     UploadEffect::stored,
     "",
     {"create", "put", "complete", "status", "status"}},
    {"MultipartWithPartTwoHeld",
     ScriptedPortal::Mode::multipart,
     2 * mib16 + 1000,
     [](auto& test, auto& portal) {
         portal.hold(2);
         return runAll(test, portal);
     },
     UploadEffect::stored,
     "",
     {"create", "observedParts", "signPart 1", "put 1", "signPart 3", "put 3", "complete", "status",
      "status"}},
    {"RestartOnUploadExpired",
     ScriptedPortal::Mode::single,
     0,
     [](auto& test, auto& portal) {
         EXPECT_EQ(test.step(portal), UploadEffect::progressed);
         portal.scripted.push_back(ScriptedPortal::errorReply(400, "upload_expired"));
         EXPECT_EQ(test.step(portal), UploadEffect::retryScheduled);
         EXPECT_TRUE(test.queue->record().replaceAttempt);
         return runAll(test, portal);
     },
     UploadEffect::stored,
     "",
     {"create", "replacement", "put", "complete", "status", "status"}},
    {"UnauthorizedBlocksUntilResumed",
     ScriptedPortal::Mode::single,
     0,
     [](auto& test, auto& portal) {
         portal.scripted.push_back(ScriptedPortal::errorReply(401, "token_expired"));
         EXPECT_EQ(runAll(test, portal), UploadEffect::refreshRequired);
         EXPECT_EQ(test.artifact->manifest().state, ArtifactState::blockedAuth);
         EXPECT_FALSE(test.queue->claim(NetworkTransport::wifi, false));
         test.queue->resumeAuthenticated();
         EXPECT_EQ(test.queue->record().stage, QueueStage::creating);
         return runAll(test, portal);
     },
     UploadEffect::stored,
     "",
     {"create", "put", "complete", "status", "status"}},
    {"ForbiddenPutTurnsIntoStatusPoll",
     ScriptedPortal::Mode::single,
     0,
     [](auto& test, auto& portal) {
         EXPECT_EQ(test.step(portal), UploadEffect::progressed);
         portal.scripted.push_back(ScriptedPortal::reply(403, nullptr));
         EXPECT_EQ(test.step(portal), UploadEffect::retryScheduled);
         EXPECT_EQ(test.queue->record().resumeStage, QueueStage::verifying);
         return runAll(test, portal);
     },
     UploadEffect::stored,
     "",
     {"create", "status", "put", "complete", "status", "status"}},
    {"NotFoundQuarantines",
     ScriptedPortal::Mode::single,
     0,
     [](auto& test, auto& portal) {
         portal.scripted.push_back(ScriptedPortal::errorReply(404, "not_found"));
         return runAll(test, portal);
     },
     UploadEffect::blocked,
     "HTTP 404",
     {}},
    {"ReceiptOfOtherBytesQuarantines",
     ScriptedPortal::Mode::single,
     0,
     [](auto& test, auto& portal) {
         EXPECT_EQ(steps(test, portal, 3), UploadEffect::retryScheduled); // complete: verifying
         portal.scripted.push_back(
             ScriptedPortal::reply(200, withWrongHash(portal.statusDocument("stored"))));
         return runAll(test, portal);
     },
     UploadEffect::blocked,
     "invalid upload reply",
     {"create", "put", "complete"}},
    {"PartCountInconsistentWithBytes",
     ScriptedPortal::Mode::multipart,
     mib16 + 1,
     [](auto& test, auto& portal) {
         portal.announcedPartCount = 1;
         return runAll(test, portal);
     },
     UploadEffect::blocked,
     "invalid upload reply",
     {"create"}},
    {"URLExpiresBetweenClaimAndCommand",
     ScriptedPortal::Mode::single,
     0,
     [](auto& test, auto& portal) {
         EXPECT_EQ(test.step(portal), UploadEffect::progressed);
         const WorkerLease lease{test.queue->record().generation};
         test.clock.advance(portal.urlLifetime);
         const UploadCommand poll = test.queue->command(lease);
         EXPECT_TRUE(std::holds_alternative<UploadCommand::Status>(poll.operation));
         EXPECT_EQ(test.queue->receive(poll, portal.answer(poll)), UploadEffect::progressed);
         return runAll(test, portal);
     },
     UploadEffect::stored,
     "",
     {"create", "status", "put", "complete", "status", "status"}},
};

class UploadQueueScenario : public UploadQueueTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(UploadQueueScenario, RunsToItsEnd) {
    const Scenario& scenario = GetParam();
    publish(scenario.flacBytes);
    ScriptedPortal portal(metadata(), scenario.mode, clock);
    EXPECT_EQ(scenario.drive(*this, portal), scenario.effect);
    EXPECT_EQ(portal.problems(), Log{});
    EXPECT_EQ(portal.log(), scenario.log);
    EXPECT_EQ(manifest().error.value_or(""), scenario.error);
    EXPECT_FALSE(manifest().queue.leased);

    if (scenario.effect == UploadEffect::stored) {
        EXPECT_EQ(manifest().state, ArtifactState::stored);
        EXPECT_EQ(manifest().queue.identity->attemptId, portal.attemptId());
        EXPECT_TRUE(Artifact::matches(*manifest().receipt, manifest()));
        artifact->cleanup(false);
        EXPECT_FALSE(std::filesystem::exists(artifact->flac()));
    } else {
        // Quarantined: final, survives recovery, and the audio is kept.
        EXPECT_EQ(manifest().state, ArtifactState::quarantined);
        EXPECT_FALSE(manifest().receipt);
        EXPECT_TRUE(std::filesystem::exists(artifact->flac()));
        EXPECT_EQ(reopen(), scenario.error);
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, UploadQueueScenario, ::testing::ValuesIn(scenarios),
                         [](const ::testing::TestParamInfo<Scenario>& run) {
                             return std::string(run.param.name);
                         });

} // namespace
} // namespace zoq::test
