// Crash-resume property: seeded scripts of hostile portal replies, transport
// failures, failed commits and crashes, with recovery after every crash.
#include "tests/ZoqCore/Upload/UploadQueueTestSupport.h"

#include <random>
#include <set>
#include <string>
#include <vector>

namespace zoq::test {
namespace {

using Mode = ScriptedPortal::Mode;

/// Thrown by the boundary hook: the process "dies" in the middle of a commit.
struct SimulatedCrash {};

enum class Fault {
    none,
    transport,     ///< no HTTP status at all
    lostReply,     ///< the portal acted, the answer never arrived
    serverError,   ///< 5xx or 429, with a delay that may be invalid
    unauthorized,  ///< 401
    forbidden,     ///< 403
    uploadExpired, ///< 400 "upload_expired"
    accepted,      ///< 202 with an empty body
    noEntityTag,   ///< the honest answer without its ETag
    failedStatus,  ///< a "failed" status asking to retry or restart
    verifying,     ///< a "verifying" status with a server delay
    terminal,      ///< a reply that must quarantine: 404, not JSON, a foreign receipt
};

bool statusLike(const UploadCommand& command) {
    return std::holds_alternative<UploadCommand::Create>(command.operation) ||
           std::holds_alternative<UploadCommand::Status>(command.operation) ||
           std::holds_alternative<UploadCommand::Replacement>(command.operation) ||
           std::holds_alternative<UploadCommand::Complete>(command.operation);
}

bool fixedMessage(const std::string& reason) {
    return reason == "malformed upload reply" || reason == "invalid upload reply" ||
           reason.starts_with("HTTP 4") || reason == "checksum_mismatch";
}

class UploadQueueCrashResume : public UploadQueueTest {
public:
    std::mt19937_64 random;
    bool terminalSent = false;

    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; }
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

    Fault chooseFault(const UploadCommand& command, const ScriptedPortal& portal) {
        if (!chance(0.35)) {
            return Fault::none;
        }
        if (chance(0.03)) {
            return Fault::terminal;
        }
        const bool isPut = std::holds_alternative<UploadCommand::Put>(command.operation);
        // A status of an upload the portal never created would be a terminal fault.
        const bool statusReply = statusLike(command) && !portal.attemptId().empty();
        switch (pick(10)) {
        case 0:
            return Fault::transport;
        case 1:
            return Fault::lostReply;
        case 2:
            return Fault::serverError;
        case 3:
            return Fault::unauthorized;
        case 4:
            return Fault::forbidden;
        case 5:
            return Fault::uploadExpired;
        case 6:
            return isPut ? Fault::accepted : Fault::serverError;
        case 7:
            return isPut ? Fault::noEntityTag : Fault::transport;
        case 8:
            // A complete is answered "verifying" or not at all: "failed" breaks its schema.
            return statusReply && !std::holds_alternative<UploadCommand::Complete>(command.operation)
                       ? Fault::failedStatus
                       : Fault::lostReply;
        default:
            return statusReply ? Fault::verifying : Fault::transport;
        }
    }

    HTTPReply faultyReply(Fault fault, const UploadCommand& command, ScriptedPortal& portal) {
        switch (fault) {
        case Fault::serverError:
            return ScriptedPortal::reply(chance(0.2) ? 429 : 503, nullptr, std::nullopt,
                                         chance(0.5) ? std::optional<double>(pick(400) - 20) : std::nullopt);
        case Fault::unauthorized:
            return ScriptedPortal::errorReply(401, "token_expired");
        case Fault::forbidden:
            return ScriptedPortal::errorReply(403, "scope_denied");
        case Fault::uploadExpired:
            return ScriptedPortal::errorReply(400, "upload_expired");
        case Fault::accepted:
            return ScriptedPortal::reply(202, nullptr);
        case Fault::noEntityTag: {
            const HTTPReply honest = portal.honestAnswer(command);
            return HTTPReply{honest.status, honest.body, std::nullopt, honest.retryAfterSeconds};
        }
        case Fault::failedStatus:
            return ScriptedPortal::reply(
                200,
                portal.statusDocument("failed", ScriptedPortal::errorObject(
                                                    "storage_unavailable",
                                                    chance(0.5) ? "restart_upload" : "retry", true, 1500)));
        case Fault::verifying:
            return ScriptedPortal::reply(statusLike(command) && chance(0.5) ? 202 : 200,
                                         portal.statusDocument("verifying"), std::nullopt, pick(600));
        default:
            terminalSent = true;
            switch (pick(3)) {
            case 0:
                return ScriptedPortal::errorReply(404, "not_found");
            case 1:
                return HTTPReply{200, bytesOf("<html>"), std::nullopt, std::nullopt};
            default: {
                JSONValue::Object status = *portal.statusDocument("stored").object();
                status["recordingId"] = "00000000-0000-0000-0000-000000000000";
                return ScriptedPortal::reply(200, status);
            }
            }
        }
    }

    /// What must hold after every step, whatever happened.
    void checkInvariants(const ScriptedPortal& portal) {
        const ArtifactManifest onDisk = Artifact::readManifest(directory, *io);
        if (artifact && !artifact->poisoned()) {
            EXPECT_EQ(onDisk, manifest());
        }
        std::set<std::int64_t> numbers;
        for (const JSONValue& part : onDisk.queue.completedParts) {
            EXPECT_TRUE(numbers.insert(*part.find("partNumber")->integer()).second)
                << "a part recorded twice";
        }
        if (!std::filesystem::exists(directory / "audio.flac")) {
            ASSERT_TRUE(onDisk.receipt) << "audio removed without a receipt";
            EXPECT_TRUE(Artifact::matches(*onDisk.receipt, onDisk));
            EXPECT_TRUE(portal.isStored());
        }
        EXPECT_EQ(portal.problems(), std::vector<std::string>{});
    }

    /// One whole run; true when it ended stored, false when quarantined.
    bool runScript(std::uint64_t seed) {
        random.seed(seed);
        terminalSent = false;
        const Mode mode = seed % 3 == 0 ? Mode::single : Mode::multipart;
        directory = scratch.path() / std::to_string(seed);
        publish(seed % 3 == 2 ? 2 * ScriptedPortal::partSize + 777 : 0, static_cast<std::uint32_t>(seed));
        jitterValue = 0;
        ScriptedPortal portal(metadata(), mode, clock);
        portal.verifyingPolls = pick(3);
        if (mode == Mode::multipart && chance(0.5)) {
            portal.hold(1);
        }
        queue = std::make_unique<UploadQueue>(
            *artifact, clock, [this] { return std::uniform_real_distribution<double>(0, 1)(random); });

        for (int stepIndex = 0; stepIndex < 600; ++stepIndex) {
            const bool hostile = stepIndex < 80;
            checkInvariants(portal);
            if (!artifact || artifact->poisoned() || (hostile && chance(0.15))) {
                if (const std::string reason = reopen(); !reason.empty()) {
                    EXPECT_TRUE(fixedMessage(reason)) << reason;
                    EXPECT_TRUE(terminalSent) << reason;
                    return false;
                }
                queue = std::make_unique<UploadQueue>(*artifact, clock, [this] {
                    return std::uniform_real_distribution<double>(0, 1)(random);
                });
                checkInvariants(portal);
            }
            const ArtifactManifest& current = manifest();
            if (current.state == ArtifactState::stored || current.state == ArtifactState::cleaned) {
                artifact->cleanup(false);
                checkInvariants(portal);
                return true;
            }
            if (current.state == ArtifactState::quarantined) {
                continue; // recovery reports it next
            }
            if (current.queue.stage == QueueStage::blockedAuth) {
                queue->resumeAuthenticated();
                continue;
            }
            if (current.queue.stage == QueueStage::blockedPermission) {
                queue->permissionRestored();
                continue;
            }
            std::optional<WorkerLease> lease;
            if (current.queue.leased) {
                lease = WorkerLease{current.queue.generation};
            } else {
                lease = queue->claim(hostile && chance(0.1) ? NetworkTransport::none : NetworkTransport::wifi,
                                     false);
            }
            if (!lease) {
                if (const auto at = queue->record().retryAt; at && clock.wallDate() < *at) {
                    clock.setWallDate(*at);
                }
                continue;
            }
            const UploadCommand command = queue->command(*lease);
            if (hostile && chance(0.05)) {
                clock.advance(portal.urlLifetime * 0.75); // a URL may expire in flight
            }
            const Fault fault = hostile ? chooseFault(command, portal) : Fault::none;
            if (hostile && chance(0.04)) {
                io->boundary = [](const std::string& name) {
                    if (name.starts_with("before:manifest-commit:")) {
                        throw SimulatedCrash{};
                    }
                };
            }
            try {
                if (fault == Fault::transport) {
                    queue->transportFailed(command);
                } else if (fault == Fault::lostReply) {
                    portal.honestAnswer(command);
                    queue->transportFailed(command);
                } else {
                    queue->receive(command, fault == Fault::none ? portal.answer(command)
                                                                 : faultyReply(fault, command, portal));
                }
            } catch (const SimulatedCrash&) {
            } catch (const CoreError& error) {
                // Only a server delay the queue cannot honour propagates; the
                // lease stays held until recovery releases it.
                EXPECT_EQ(error, CoreError::invalid("retry timing"));
                artifact.reset();
                queue.reset();
            }
            io->boundary = {};
            if (artifact && manifest().state == ArtifactState::quarantined) {
                EXPECT_EQ(fault, Fault::terminal)
                    << "quarantined (" << manifest().error.value_or("") << ") by a reply it should survive";
            }
            // A new queue object after every step: only the record carries on.
            if (artifact) {
                queue = std::make_unique<UploadQueue>(*artifact, clock, [this] {
                    return std::uniform_real_distribution<double>(0, 1)(random);
                });
            }
        }
        ADD_FAILURE() << "seed " << seed << " did not finish";
        return false;
    }
};

TEST_F(UploadQueueCrashResume, EveryScriptEndsStoredOrQuarantinedWithAFixedMessage) {
    int stored = 0;
    constexpr int seeds = 24;
    for (std::uint64_t seed = 1; seed <= seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        stored += runScript(seed) ? 1 : 0;
        if (HasFatalFailure()) {
            return;
        }
    }
    // The scripts are hostile only for a while; most recordings get through.
    EXPECT_GE(stored, seeds / 2);
}

} // namespace
} // namespace zoq::test
