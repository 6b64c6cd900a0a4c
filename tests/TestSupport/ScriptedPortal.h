#pragma once

#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Upload/HTTPReply.h"
#include "ZoqCore/Upload/UploadCommand.h"
#include "ZoqCore/Wire/JSONValue.h"
#include "ZoqCore/Wire/UploadCreateRequest.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zoq::test {

/// The portal (and its storage) for the upload of one recording, as a test
/// double that answers `UploadCommand`s directly with `HTTPReply`s built from
/// valid wire documents. It keeps the state a real portal keeps (the upload,
/// its attempts, the parts it holds, verification) and answers idempotently,
/// so a device that repeats a step after a crash gets a sensible answer.
///
/// Replies pushed onto `scripted` are given first, one per command, without
/// touching the portal's state: that is how a test injects faults.
///
/// Whatever the device sends that a real portal would have to refuse (a part
/// of the wrong size, a complete of an unfinished attempt, an expired or
/// foreign URL, a request for another attempt) is answered the way a portal
/// would and also listed in `problems()`, so tests can demand it stays empty.
class ScriptedPortal {
public:
    enum class Mode { single, multipart };

    static constexpr const char* uploadId = "0c7e9d4a-5a52-4f6e-9a4e-2d3b7c1a9e01";
    static constexpr const char* recordingId = "5f1d2c3b-4a59-4687-9b6c-7d8e9fa0b1c2";
    static constexpr std::int64_t partSize = 16'777'216;

    /// The clock is borrowed: URL expiry and `storedAt` follow its wall date.
    ScriptedPortal(const UploadCreateRequest& metadata, Mode mode, const CoreClock& clock);

    /// Replies given instead of the portal's own, front first.
    std::deque<HTTPReply> scripted;
    /// "verifying" answers to status polls after a complete, before "stored".
    int verifyingPolls = 1;
    /// Lifetime of every URL the portal signs, in seconds.
    double urlLifetime = 3600;
    /// A part count to announce instead of the right one.
    std::optional<std::int64_t> announcedPartCount;

    /// The portal already holds part `number` of the current attempt.
    void hold(std::int64_t number);
    /// The next scripted reply, or the portal's own answer.
    HTTPReply answer(const UploadCommand& command);
    /// The portal's own answer, ignoring `scripted`.
    HTTPReply honestAnswer(const UploadCommand& command);

    const std::string& attemptId() const noexcept { return attemptId_; }
    /// Parts held for the current attempt, by number, with their entity tags.
    const std::map<std::int64_t, std::string>& heldParts() const noexcept { return held_; }
    bool isStored() const noexcept { return phase_ == Phase::stored; }
    const std::vector<std::string>& problems() const noexcept { return problems_; }
    /// What was asked, in order: "create", "status", "replacement",
    /// "observedParts", "signPart 2", "put", "put 2", "complete".
    const std::vector<std::string>& log() const noexcept { return log_; }

    /// A status document of the current upload in `state` ("pending",
    /// "verifying", "stored" or "failed"); a pending one carries the attempt
    /// and a fresh transfer, a stored one the receipt of the recording, a
    /// failed one `error`.
    JSONValue statusDocument(std::string_view state, const JSONValue& error = nullptr) const;
    /// The receipt of the recording the portal was asked to store.
    JSONValue receipt() const;

    static HTTPReply reply(int status, const JSONValue& body, std::optional<std::string> etag = std::nullopt,
                           std::optional<double> retryAfterSeconds = std::nullopt);
    /// An error object of the portal.
    static JSONValue errorObject(std::string_view code, std::string_view recovery, bool retryable,
                                 std::optional<std::int64_t> retryAfterMs = std::nullopt);
    /// An `errorEnvelope` reply.
    static HTTPReply errorReply(int status, std::string_view code);

private:
    enum class Phase { none, pending, verifying, stored };

    JSONValue transfer() const;
    std::string timestamp(double secondsFromNow) const;
    std::int64_t partCount() const;
    std::string partURL(std::int64_t number) const;
    HTTPReply pendingReply(int status) const;
    HTTPReply answerExisting(const UploadCommand::Operation& operation);
    HTTPReply problem(std::string text, HTTPReply reply);
    void newAttempt();

    std::string sha256_;
    std::int64_t byteSize_;
    Mode mode_;
    const CoreClock& clock_;
    Phase phase_ = Phase::none;
    int attempts_ = 0;
    std::string attemptId_;
    std::map<std::int64_t, std::string> held_;
    bool wholeFileHeld_ = false;
    int pollsLeft_ = 0;
    int etags_ = 0;
    std::vector<std::string> problems_;
    std::vector<std::string> log_;
};

} // namespace zoq::test
