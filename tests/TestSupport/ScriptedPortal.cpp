#include "tests/TestSupport/ScriptedPortal.h"

#include "ZoqCore/Wire/Wire.h"
#include "ZoqCore/Wire/WireTimestamp.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <type_traits>
#include <variant>

namespace zoq::test {
namespace {

using Object = JSONValue::Object;
using Array = JSONValue::Array;

std::int64_t integerAt(const JSONValue& object, std::string_view key) {
    const JSONValue* member = object.find(key);
    return member != nullptr && member->integer() ? *member->integer() : -1;
}

std::string textAt(const JSONValue& object, std::string_view key) {
    const JSONValue* member = object.find(key);
    return member != nullptr && member->string() != nullptr ? *member->string() : std::string();
}

} // namespace

ScriptedPortal::ScriptedPortal(const UploadCreateRequest& metadata, Mode mode, const CoreClock& clock)
    : sha256_(metadata.sha256()), byteSize_(metadata.byteSize()), mode_(mode), clock_(clock) {}

std::string ScriptedPortal::timestamp(double secondsFromNow) const {
    const double unix = (clock_.wallDate() + secondsFromNow).unixSeconds();
    const auto millis = static_cast<std::int64_t>(std::floor(unix * 1000));
    const auto seconds = static_cast<std::time_t>(millis / 1000);
    std::tm civil{};
    ::gmtime_r(&seconds, &civil);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", civil.tm_year + 1900,
                  civil.tm_mon + 1, civil.tm_mday, civil.tm_hour, civil.tm_min, civil.tm_sec,
                  static_cast<int>(millis % 1000));
    return text;
}

std::int64_t ScriptedPortal::partCount() const {
    return announcedPartCount.value_or((byteSize_ + partSize - 1) / partSize);
}

std::string ScriptedPortal::partURL(std::int64_t number) const {
    return "https://storage.example.com/upload/" + attemptId_ + "/" + std::to_string(number);
}

JSONValue ScriptedPortal::transfer() const {
    if (mode_ == Mode::multipart) {
        return Object{{"mode", "multipart"}, {"partSizeBytes", partSize}, {"partCount", partCount()}};
    }
    return Object{{"mode", "single"},
                  {"method", "PUT"},
                  {"url", partURL(0)},
                  {"headers", Object{{"content-type", "audio/flac"}}},
                  {"urlExpiresAt", timestamp(urlLifetime)}};
}

JSONValue ScriptedPortal::receipt() const {
    return Object{{"sha256", sha256_}, {"byteSize", byteSize_}, {"storedAt", timestamp(0)}};
}

JSONValue ScriptedPortal::statusDocument(std::string_view state, const JSONValue& error) const {
    Object document{{"uploadId", uploadId},
                    {"recordingId", recordingId},
                    {"state", state},
                    {"stored", state == "stored" ? receipt() : JSONValue(nullptr)},
                    {"error", error}};
    if (!attemptId_.empty()) {
        document.emplace("attemptId", attemptId_);
    }
    if (state == "pending") {
        document.emplace("expiresAt", timestamp(86'400));
        document.emplace("transfer", transfer());
    }
    return Wire::validate(document, WireSchema::uploadStatusResponse);
}

HTTPReply ScriptedPortal::reply(int status, const JSONValue& body, std::optional<std::string> etag,
                                std::optional<double> retryAfterSeconds) {
    return HTTPReply{status, body.isNull() ? Bytes{} : body.canonicalBytes(), std::move(etag),
                     retryAfterSeconds};
}

JSONValue ScriptedPortal::errorObject(std::string_view code, std::string_view recovery, bool retryable,
                                      std::optional<std::int64_t> retryAfterMs) {
    return Object{{"code", code},
                  {"message", "scripted"},
                  {"retryable", retryable},
                  {"recovery", recovery},
                  {"requestId", "3f2a1b0c-9d8e-4f7a-8b6c-5d4e3f2a1b0c"},
                  {"retryAfterMs", retryAfterMs ? JSONValue(*retryAfterMs) : JSONValue(nullptr)}};
}

HTTPReply ScriptedPortal::errorReply(int status, std::string_view code) {
    const JSONValue envelope =
        Wire::validate(Object{{"error", errorObject(code, "none", false)}}, WireSchema::errorEnvelope);
    return reply(status, envelope);
}

void ScriptedPortal::hold(std::int64_t number) {
    if (attemptId_.empty()) {
        newAttempt();
        phase_ = Phase::pending;
    }
    held_[number] = "\"held-" + std::to_string(number) + "\"";
}

void ScriptedPortal::newAttempt() {
    ++attempts_;
    char text[64];
    std::snprintf(text, sizeof text, "9a8b7c6d-5e4f-4a3b-8c2d-%012d", attempts_);
    attemptId_ = text;
    held_.clear();
    wholeFileHeld_ = false;
}

HTTPReply ScriptedPortal::problem(std::string text, HTTPReply answer) {
    problems_.push_back(std::move(text));
    return answer;
}

HTTPReply ScriptedPortal::pendingReply(int status) const {
    return reply(status, statusDocument("pending"));
}

HTTPReply ScriptedPortal::answer(const UploadCommand& command) {
    if (!scripted.empty()) {
        HTTPReply next = std::move(scripted.front());
        scripted.pop_front();
        return next;
    }
    return honestAnswer(command);
}

HTTPReply ScriptedPortal::honestAnswer(const UploadCommand& command) {
    return std::visit(
        [&](const auto& operation) -> HTTPReply {
            using Kind = std::decay_t<decltype(operation)>;
            if constexpr (std::is_same_v<Kind, UploadCommand::Create>) {
                log_.push_back("create");
                if (operation.metadata.sha256() != sha256_ || operation.metadata.byteSize() != byteSize_) {
                    return problem("create for another recording", errorReply(409, "metadata_conflict"));
                }
                if (phase_ == Phase::none) {
                    if (attemptId_.empty()) {
                        newAttempt();
                    }
                    phase_ = Phase::pending;
                }
                if (phase_ == Phase::pending) {
                    return pendingReply(201);
                }
                return reply(200, statusDocument(phase_ == Phase::stored ? "stored" : "verifying"));
            } else {
                if constexpr (std::is_same_v<Kind, UploadCommand::Put>) {
                    log_.push_back(operation.partNumber ? "put " + std::to_string(*operation.partNumber)
                                                        : "put");
                } else if constexpr (std::is_same_v<Kind, UploadCommand::SignPart>) {
                    log_.push_back("signPart " + std::to_string(operation.number));
                } else if constexpr (std::is_same_v<Kind, UploadCommand::Status>) {
                    log_.push_back("status");
                } else if constexpr (std::is_same_v<Kind, UploadCommand::Replacement>) {
                    log_.push_back("replacement");
                } else if constexpr (std::is_same_v<Kind, UploadCommand::ObservedParts>) {
                    log_.push_back("observedParts");
                } else {
                    log_.push_back("complete");
                }
                if (phase_ == Phase::none) {
                    return problem(log_.back() + " before create", errorReply(404, "not_found"));
                }
                return answerExisting(operation);
            }
        },
        command.operation);
}

HTTPReply ScriptedPortal::answerExisting(const UploadCommand::Operation& any) {
    if (const auto* status = std::get_if<UploadCommand::Status>(&any)) {
        if (status->uploadId != uploadId) {
            return problem("status of another upload", errorReply(404, "not_found"));
        }
        if (phase_ == Phase::verifying) {
            if (pollsLeft_ > 0) {
                --pollsLeft_;
                return reply(200, statusDocument("verifying"));
            }
            phase_ = Phase::stored;
        }
        return phase_ == Phase::stored ? reply(200, statusDocument("stored")) : pendingReply(200);
    }
    if (const auto* replacement = std::get_if<UploadCommand::Replacement>(&any)) {
        if (replacement->uploadId != uploadId) {
            return problem("replacement of another upload", errorReply(404, "not_found"));
        }
        if (phase_ != Phase::pending) {
            return reply(200, statusDocument(phase_ == Phase::stored ? "stored" : "verifying"));
        }
        newAttempt();
        return pendingReply(201);
    }
    if (const auto* observed = std::get_if<UploadCommand::ObservedParts>(&any)) {
        if (observed->attemptId != attemptId_ || mode_ != Mode::multipart) {
            return problem("parts of another attempt", errorReply(400, "upload_expired"));
        }
        Array parts;
        for (const auto& [number, etag] : held_) {
            const std::int64_t size = number < partCount() ? partSize : byteSize_ - (number - 1) * partSize;
            parts.push_back(Object{{"partNumber", number}, {"byteSize", size}, {"etag", etag}});
        }
        return reply(200, Wire::validate(Object{{"parts", std::move(parts)}},
                                         WireSchema::uploadObservedPartsResponse));
    }
    if (const auto* sign = std::get_if<UploadCommand::SignPart>(&any)) {
        if (sign->attemptId != attemptId_ || phase_ != Phase::pending) {
            return problem("signing for another attempt", errorReply(400, "upload_expired"));
        }
        if (sign->number < 1 || sign->number > partCount() || held_.contains(sign->number)) {
            return problem("signing part " + std::to_string(sign->number), errorReply(400, "invalid_json"));
        }
        const JSONValue part = Object{{"partNumber", sign->number},
                                      {"url", partURL(sign->number)},
                                      {"headers", Object{}},
                                      {"urlExpiresAt", timestamp(urlLifetime)}};
        return reply(200, Wire::validate(Object{{"parts", Array{part}}}, WireSchema::uploadPartsResponse));
    }
    if (const auto* put = std::get_if<UploadCommand::Put>(&any)) {
        const std::int64_t number = put->partNumber.value_or(0);
        if (textAt(put->target, "url") != partURL(number) || phase_ != Phase::pending) {
            // Storage refuses a URL it did not sign for this attempt.
            return problem("put to a foreign URL", reply(403, nullptr));
        }
        if (WireTimestamp(textAt(put->target, "urlExpiresAt")).date() <= clock_.wallDate()) {
            return reply(403, nullptr);
        }
        const std::int64_t offset = number == 0 ? 0 : (number - 1) * partSize;
        const std::int64_t count = number == 0 ? byteSize_ : std::min(partSize, byteSize_ - offset);
        if (put->offset != offset || put->count != count || put->file.filename() != "audio.flac") {
            return problem("put of the wrong bytes", reply(400, nullptr));
        }
        const std::string etag = "\"e" + std::to_string(++etags_) + "\"";
        if (number == 0) {
            wholeFileHeld_ = true;
        } else {
            held_[number] = etag;
        }
        return reply(200, nullptr, etag);
    }
    const auto& complete = std::get<UploadCommand::Complete>(any);
    if (phase_ != Phase::pending) {
        return reply(200, statusDocument("verifying"));
    }
    bool whole = complete.uploadId == uploadId && textAt(complete.body, "attemptId") == attemptId_;
    if (mode_ == Mode::single) {
        whole = whole && wholeFileHeld_ && complete.body.find("parts") == nullptr;
    } else {
        const JSONValue* parts = complete.body.find("parts");
        whole = whole && parts != nullptr && parts->array() != nullptr &&
                static_cast<std::int64_t>(parts->array()->size()) == partCount();
        std::int64_t expected = 1;
        for (const JSONValue& part : whole ? *parts->array() : Array{}) {
            const auto found = held_.find(expected);
            whole = whole && integerAt(part, "partNumber") == expected && found != held_.end() &&
                    textAt(part, "etag") == found->second;
            ++expected;
        }
    }
    if (!whole) {
        return problem("complete of an unfinished attempt", errorReply(409, "upload_incomplete"));
    }
    phase_ = Phase::verifying;
    pollsLeft_ = verifyingPolls;
    return reply(200, statusDocument("verifying"));
}

} // namespace zoq::test
