#include "ZoqCore/Spool/Artifact.h"

#include "ZoqCore/Spool/ManifestCodec.h"
#include "ZoqCore/Spool/WAVHeader.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Wire/JSONSyntaxError.h"
#include "ZoqCore/Wire/UnicodeText.h"
#include "ZoqCore/Wire/Wire.h"
#include "ZoqCore/Wire/WireFields.h"
#include "ZoqCore/Wire/WirePattern.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace zoq {
namespace {

using Object = JSONValue::Object;

constexpr std::int64_t multipartSize = 16'777'216;
/// Every integer of the manifest is a JSON number, exact only up to 2^53 - 1:
/// that is the largest generation that can be stored.
constexpr std::int64_t largestGeneration = JSONValue::maxExactInteger;
constexpr std::int64_t maximumFailures = 1'000'000;

bool isIdentifier(const std::string& text) {
    return WirePattern::uuid().matches(text);
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return text;
}

std::int64_t floorDivide(std::int64_t value, std::int64_t divisor) {
    return value / divisor - ((value % divisor) < 0 ? 1 : 0);
}

/// `date` as the wire's canonical timestamp, "YYYY-MM-DDTHH:MM:SS.mmmZ"
/// (milliseconds truncated, after rounding to the microsecond so that a date
/// read back from its decimal text gives the same millisecond). Throws
/// invalid("UTC year") outside the years 0000-9999.
std::string timestampText(Date date) {
    const double since = date.sinceReferenceDate;
    // Beyond this the year is out of range anyway; checked before converting.
    if (!std::isfinite(since) || std::fabs(since) > 4e11) {
        throw CoreError::invalid("UTC year");
    }
    const auto micros = static_cast<std::int64_t>(std::llround(since * 1e6));
    const std::int64_t unixMillis = floorDivide(micros, 1000) + 978'307'200'000;
    const std::int64_t days = floorDivide(unixMillis, 86'400'000);
    const std::int64_t millisOfDay = unixMillis - days * 86'400'000;
    // Days since 1970-01-01 to a civil date (proleptic Gregorian).
    const std::int64_t z = days + 719'468;
    const std::int64_t era = floorDivide(z, 146'097);
    const std::int64_t dayOfEra = z - era * 146'097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const std::int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    if (year < 0 || year > 9999) {
        throw CoreError::invalid("UTC year");
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<int>(year),
                  static_cast<int>(month), static_cast<int>(day), static_cast<int>(millisOfDay / 3'600'000),
                  static_cast<int>(millisOfDay / 60'000 % 60), static_cast<int>(millisOfDay / 1000 % 60),
                  static_cast<int>(millisOfDay % 1000));
    return buffer;
}

bool textEquals(const JSONValue& object, std::string_view key, const std::string& expected) {
    const JSONValue* member = object.find(key);
    return member != nullptr && member->string() != nullptr && *member->string() == expected;
}

/// The minimum length is a rule for calls, not for the pieces of one: a part
/// that ended by interruption (a break in the audio, a device change, sleep, a
/// crash) or that follows another of its session is kept however short, as
/// long as it holds any audio.
bool keptWhenShort(const ArtifactManifest& manifest) {
    return manifest.durableFrames > 0 && (manifest.interrupted || manifest.capture.partIndex > 0);
}

bool longEnoughToPublish(const ArtifactManifest& manifest) {
    return manifest.durableFrames >= pcm::minimumPartFrames || keptWhenShort(manifest);
}

bool metadataBound(const ArtifactManifest& manifest) {
    const JSONValue& metadata = manifest.metadata->json();
    const JSONValue* partIndex = metadata.find("partIndex");
    const JSONValue* interrupted = metadata.find("interrupted");
    if (!textEquals(metadata, "deviceId", manifest.deviceId) ||
        !textEquals(metadata, "captureSessionId", manifest.capture.captureSessionId) ||
        partIndex == nullptr || partIndex->integer() != manifest.capture.partIndex ||
        !textEquals(metadata, "app", unicode::nfc(manifest.capture.app)) ||
        !textEquals(metadata, "mediaType", "audio/flac") ||
        !textEquals(metadata, "channelLayout", "split_local_remote") ||
        !textEquals(metadata, "source", "mac") || interrupted == nullptr ||
        interrupted->boolean() != manifest.interrupted || !manifest.endedAt) {
        return false;
    }
    try {
        return textEquals(metadata, "startedAt", timestampText(manifest.capture.startedAt)) &&
               textEquals(metadata, "endedAt", timestampText(*manifest.endedAt));
    } catch (const CoreError&) {
        return false;
    }
}

bool isUploadState(ArtifactState state) {
    switch (state) {
    case ArtifactState::ready:
    case ArtifactState::uploading:
    case ArtifactState::verifyingRemote:
    case ArtifactState::retryWait:
    case ArtifactState::blockedAuth:
    case ArtifactState::stored:
    case ArtifactState::cleaned:
        return true;
    default:
        return false;
    }
}

/// The rules a decoded manifest must satisfy, in their fixed order; the first
/// failing one decides the error. Shared by reading and committing, so no
/// manifest is ever written that would be refused when read back.
void validate(const ArtifactManifest& manifest) {
    const CaptureSegment& capture = manifest.capture;
    const QueueRecord& queue = manifest.queue;
    if (manifest.version != ArtifactManifest::currentVersion || manifest.sampleRate != pcm::sampleRate ||
        manifest.channels != pcm::channels || manifest.bitsPerSample != pcm::bytesPerSample * 8 ||
        manifest.wavPath != Artifact::wavName || manifest.flacPath != Artifact::flacName ||
        manifest.durableFrames < 0 || manifest.durableFrames > pcm::maximumPartFrames ||
        capture.firstFrame < 0 || capture.partIndex < 0 || queue.generation < 0 || queue.failures < 0 ||
        queue.failures > maximumFailures || !std::isfinite(capture.startedAt.sinceReferenceDate) ||
        (manifest.endedAt && !(*manifest.endedAt >= capture.startedAt))) {
        throw CoreError::corrupt("manifest invariants");
    }
    if (!WirePattern::sha256Hex().matches(manifest.durablePCMHash) || !isIdentifier(manifest.deviceId) ||
        !isIdentifier(capture.captureSessionId)) {
        throw CoreError::invalid("format");
    }
    if (manifest.metadata && !metadataBound(manifest)) {
        throw CoreError::corrupt("metadata binding");
    }
    if (queue.identity) {
        const UploadIdentity& identity = *queue.identity;
        if (!isIdentifier(identity.uploadId) || !isIdentifier(identity.recordingId) ||
            (identity.attemptId && !isIdentifier(*identity.attemptId))) {
            throw CoreError::invalid("format");
        }
    }
    if (queue.transfer) {
        const JSONValue transfer = Wire::validate(*queue.transfer, WireSchema::uploadTransfer);
        if (textEquals(transfer, "mode", "multipart") && manifest.metadata) {
            const std::int64_t bytes = manifest.metadata->byteSize();
            const std::int64_t expected = (bytes + multipartSize - 1) / multipartSize;
            if (transfer.find("partCount")->integer() != expected) {
                throw CoreError::corrupt("manifest part count");
            }
        }
    }
    if (queue.signedPart) {
        Wire::validate(Object{{"parts", JSONValue::Array{*queue.signedPart}}},
                       WireSchema::uploadPartsResponse);
    }
    if (!queue.completedParts.empty()) {
        if (!queue.identity || !queue.identity->attemptId) {
            throw CoreError::corrupt("parts without attempt");
        }
        const std::string& attempt = *queue.identity->attemptId;
        for (const JSONValue& part : queue.completedParts) {
            Wire::validate(Object{{"attemptId", attempt}, {"parts", JSONValue::Array{part}}},
                           WireSchema::uploadCompleteRequest);
        }
        JSONValue::Array sorted = queue.completedParts;
        std::stable_sort(sorted.begin(), sorted.end(), [](const JSONValue& a, const JSONValue& b) {
            return *a.find("partNumber")->integer() < *b.find("partNumber")->integer();
        });
        Wire::validate(Object{{"attemptId", attempt}, {"parts", std::move(sorted)}},
                       WireSchema::uploadCompleteRequest);
    }
    if (isUploadState(manifest.state) && (!longEnoughToPublish(manifest) || !manifest.metadata)) {
        throw CoreError::corrupt("upload state without finalized metadata");
    }
    if ((queue.stage == QueueStage::transferring || queue.stage == QueueStage::completing) &&
        (!queue.identity || !queue.identity->attemptId || !queue.transfer)) {
        throw CoreError::corrupt("transfer state without identity");
    }
    if (queue.stage == QueueStage::verifying && !queue.identity) {
        throw CoreError::corrupt("verify state without identity");
    }
    if (!manifest.receipt &&
        (manifest.state == ArtifactState::stored || manifest.state == ArtifactState::cleaned)) {
        throw CoreError::corrupt("missing stored receipt");
    }
    if (manifest.receipt && !Artifact::matches(*manifest.receipt, manifest)) {
        throw CoreError::corrupt("receipt binding");
    }
    if (manifest.state == ArtifactState::discardedShort &&
        (manifest.durableFrames >= pcm::minimumPartFrames || manifest.metadata)) {
        throw CoreError::corrupt("invalid short discard");
    }
}

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

/// "decode-" + a UUID text (any case, any version) + ".pcm": a scratch file of
/// FLAC verification left by a crash.
bool isScratchName(std::string_view name) {
    constexpr std::string_view prefix = "decode-", suffix = ".pcm";
    if (name.size() != prefix.size() + 36 + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix)) {
        return false;
    }
    const std::string_view uuid = name.substr(prefix.size(), 36);
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? uuid[i] != '-' : !isHex(uuid[i])) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> listDirectory(const std::filesystem::path& directory) {
    DIR* stream = ::opendir(directory.c_str());
    if (stream == nullptr) {
        throw CoreError::io("list directory", errno);
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        names.emplace_back(entry->d_name);
    }
    const int error = errno;
    ::closedir(stream);
    if (error != 0) {
        throw CoreError::io("list directory", error);
    }
    return names;
}

} // namespace

// MARK: Construction

Artifact::Artifact(std::filesystem::path directory, DirectoryLock lock, ArtifactManifest manifest,
                   const CoreClock& clock, std::shared_ptr<DurableIO> io)
    : directory_(std::move(directory)), lock_(std::move(lock)), manifest_(std::move(manifest)),
      clock_(&clock), io_(std::move(io)), lastFlush_(clock.now()) {
    if (io_ == nullptr) {
        throw CoreError::invalid("io");
    }
}

Artifact::~Artifact() = default;

std::string Artifact::reasonOf(const std::exception& error) {
    if (const auto* core = dynamic_cast<const CoreError*>(&error)) {
        return core->reason();
    }
    return error.what();
}

void Artifact::requireUsable() const {
    if (poisoned_) {
        throw CoreError::invalidState();
    }
}

template <typename Step>
void Artifact::poisoning(Step&& step) {
    try {
        step();
    } catch (...) {
        poisoned_ = true;
        throw;
    }
}

std::unique_ptr<Artifact> Artifact::create(const std::filesystem::path& directory,
                                           const CaptureSegment& capture, const std::string& deviceId,
                                           const CoreClock& clock, std::shared_ptr<DurableIO> io) {
    if (!isIdentifier(deviceId) || !isIdentifier(capture.captureSessionId)) {
        throw CoreError::invalid("format");
    }
    if (capture.partIndex < 0 || capture.firstFrame < 0 ||
        !std::isfinite(capture.startedAt.sinceReferenceDate)) {
        throw CoreError::invalid("capture");
    }
    try {
        // A start the portal cannot express would make the part impossible
        // to publish, after hours of recording; refuse it up front.
        timestampText(capture.startedAt);
    } catch (const CoreError&) {
        throw CoreError::invalid("capture");
    }
    WireFields::string(JSONValue(capture.app), 1, 128, true);
    if (io == nullptr) {
        throw CoreError::invalid("io");
    }

    if (::mkdir(directory.c_str(), 0700) != 0) {
        throw CoreError::io("mkdir capture", errno);
    }
    const std::filesystem::path parent = directory.parent_path();
    io->sync(parent.empty() ? std::filesystem::path(".") : parent, true);
    DirectoryLock lock(directory);

    ArtifactManifest initial;
    initial.capture = capture;
    initial.deviceId = deviceId;
    initial.state = ArtifactState::allocated;
    initial.durablePCMHash = SHA256().hexDigest();
    initial.queue = QueueRecord::fresh();
    std::unique_ptr<Artifact> artifact(
        new Artifact(directory, std::move(lock), initial, clock, std::move(io)));
    artifact->commit(initial);

    // The header is durable before any manifest names the WAV as written.
    artifact->io_->write(artifact->wav(), pcm::wavHeader(0), 0, true, false);
    artifact->io_->sync(artifact->wav(), false);
    artifact->io_->sync(directory, true);

    ArtifactManifest writing = artifact->manifest_;
    writing.state = ArtifactState::writingWAV;
    artifact->commit(writing);
    return artifact;
}

// MARK: Manifest

Bytes Artifact::encode(const ArtifactManifest& manifest) {
    return ManifestCodec::encode(manifest).canonicalBytes();
}

ArtifactManifest Artifact::parseManifest(ByteView bytes) {
    if (bytes.size() > static_cast<std::size_t>(maximumManifestBytes)) {
        throw CoreError::corrupt("manifest too large");
    }
    const JSONValue envelope = JSONValue::parse(bytes);
    const JSONValue::Object* object = envelope.object();
    if (object == nullptr || object->size() != 2 || envelope.find("checksum") == nullptr ||
        envelope.find("checksum")->string() == nullptr || envelope.find("manifest") == nullptr) {
        throw CoreError::corrupt("manifest decoding");
    }
    ArtifactManifest manifest = ManifestCodec::decodeManifest(*envelope.find("manifest"));
    if (SHA256::hex(encode(manifest)) != *envelope.find("checksum")->string()) {
        throw CoreError::corrupt("manifest checksum");
    }
    validate(manifest);
    return manifest;
}

ArtifactManifest Artifact::readManifest(const std::filesystem::path& directory, const DurableIO& io) {
    // One byte past the cap tells "too large" apart from "exactly at the cap".
    return parseManifest(io.read(directory / manifestName, 0, maximumManifestBytes + 1));
}

bool Artifact::matches(const UploadStatusResponse& receipt, const ArtifactManifest& manifest) {
    if (receipt.state() != "stored" || !manifest.queue.identity || !manifest.metadata) {
        return false;
    }
    const UploadIdentity& identity = *manifest.queue.identity;
    if (receipt.uploadId() != identity.uploadId || receipt.recordingId() != identity.recordingId) {
        return false;
    }
    const JSONValue* stored = receipt.json().find("stored");
    if (stored == nullptr || !textEquals(*stored, "sha256", manifest.metadata->sha256()) ||
        stored->find("byteSize") == nullptr ||
        stored->find("byteSize")->integer() != manifest.metadata->byteSize()) {
        return false;
    }
    if (const auto attempt = receipt.attemptId()) {
        return identity.attemptId && lowercase(*identity.attemptId) == lowercase(*attempt);
    }
    return true;
}

void Artifact::commit(const ArtifactManifest& manifest, bool rebindingUploadIntent) {
    requireUsable();
    if (manifest_.metadata && !rebindingUploadIntent &&
        (!manifest.metadata || !(*manifest.metadata == *manifest_.metadata))) {
        throw CoreError::invalid("immutable metadata");
    }
    // Refused before anything is touched: a manifest that reading would reject
    // must never reach the disk, where it would quarantine the recording.
    validate(manifest);
    poisoning([&] {
        const Bytes body = encode(manifest);
        const JSONValue envelope =
            Object{{"checksum", SHA256::hex(body)}, {"manifest", ManifestCodec::encode(manifest)}};
        const std::string state(rawValue(manifest.state));
        if (io_->boundary) {
            io_->boundary("before:manifest-commit:" + state);
        }
        io_->atomic(envelope.canonicalBytes(), directory_ / manifestName);
        manifest_ = manifest;
        if (io_->boundary) {
            io_->boundary("after:manifest-commit:" + state);
        }
    });
}

// MARK: Writing

void Artifact::append(ByteView data) {
    const auto frames = static_cast<std::int64_t>(data.size() / pcm::bytesPerFrame);
    if (poisoned_ || manifest_.state != ArtifactState::writingWAV || data.size() % pcm::bytesPerFrame != 0 ||
        frames > pcm::maximumPartFrames - writtenFrames_) {
        throw CoreError::invalidState();
    }
    poisoning([&] {
        io_->write(wav(), data,
                   static_cast<std::int64_t>(pcm::wavHeaderSize) + writtenFrames_ * pcm::bytesPerFrame, false,
                   false);
        writtenFrames_ += frames;
        tick();
    });
}

void Artifact::tick() {
    requireUsable();
    if (manifest_.state == ArtifactState::writingWAV && clock_->now() - lastFlush_ >= flushInterval) {
        flush();
    }
}

void Artifact::flush() {
    if (poisoned_ || manifest_.state != ArtifactState::writingWAV) {
        throw CoreError::invalidState();
    }
    poisoning([&] {
        io_->write(wav(), pcm::wavHeader(writtenFrames_), 0, false, false);
        io_->sync(wav(), false);
        // Only the bytes written since the last flush are read back, after the
        // fsync, so the digest describes what is on stable storage and a flush
        // costs the same at minute one and at hour three.
        SHA256 digest = durableDigest_;
        const std::int64_t durableBytes = manifest_.durableFrames * pcm::bytesPerFrame;
        io_->hash(wav(), static_cast<std::int64_t>(pcm::wavHeaderSize) + durableBytes,
                  writtenFrames_ * pcm::bytesPerFrame - durableBytes, digest);
        ArtifactManifest next = manifest_;
        next.durableFrames = writtenFrames_;
        next.durablePCMHash = digest.hexDigest();
        commit(next);
        durableDigest_ = std::move(digest);
        lastFlush_ = clock_->now();
    });
}

void Artifact::finalise(const FLACEncoder& encoder, Date endedAt, bool interrupted) {
    if (seal(endedAt, interrupted)) {
        publish(encoder);
    }
}

bool Artifact::seal(Date endedAt, bool interrupted) {
    if (poisoned_ || manifest_.state != ArtifactState::writingWAV ||
        !std::isfinite(endedAt.sinceReferenceDate) || endedAt < manifest_.capture.startedAt) {
        throw CoreError::invalidState();
    }
    bool publishing = false;
    poisoning([&] {
        flush();
        ArtifactManifest next = manifest_;
        next.endedAt = endedAt;
        next.interrupted = interrupted;
        publishing = longEnoughToPublish(next);
        if (publishing) {
            next.state = ArtifactState::finalisingFLAC;
            commit(next);
        } else {
            next.state = ArtifactState::discardedShort;
            commit(next);
            removeAudio();
        }
    });
    return publishing;
}

void Artifact::publish(const FLACEncoder& encoder) {
    if (poisoned_ || manifest_.state != ArtifactState::finalisingFLAC) {
        throw CoreError::invalidState();
    }
    publishFLAC(encoder);
}

// MARK: Publishing

void Artifact::verify(const std::filesystem::path& flacFile, const FLACEncoder& encoder) const {
    const DecodedAudio decoded = encoder.inspect(flacFile);
    if (decoded.frames != manifest_.durableFrames || decoded.sampleRate != pcm::sampleRate ||
        decoded.channels != pcm::channels || decoded.bitsPerSample != pcm::bytesPerSample * 8 ||
        decoded.pcmSHA256 != manifest_.durablePCMHash) {
        throw CoreError::corrupt("FLAC decode mismatch");
    }
}

void Artifact::publishFLAC(const FLACEncoder& encoder) {
    poisoning([&] {
        const std::filesystem::path temporary = directory_ / temporaryFLACName;
        if (io_->exists(flac())) {
            throw CoreError::corrupt("conflicting published FLAC");
        }
        if (io_->exists(temporary)) {
            io_->remove(temporary);
        }
        encoder.encode(wav(), temporary);
        verify(temporary, encoder);
        io_->sync(temporary, false);
        io_->rename(temporary, flac());
        io_->sync(directory_, true);
        markReady();
        // Only now, with READY committed, is the WAV no longer the durable copy.
        io_->remove(wav());
        io_->sync(directory_, true);
    });
}

void Artifact::markReady() {
    ArtifactManifest next = manifest_;
    next.metadata = uploadMetadata(next.deviceId);
    next.state = ArtifactState::ready;
    next.queue = QueueRecord::fresh();
    commit(next);
}

UploadCreateRequest Artifact::uploadMetadata(const std::string& deviceId) const {
    if (!manifest_.endedAt) {
        throw CoreError::corrupt("missing end");
    }
    const CaptureSegment& capture = manifest_.capture;
    const Object document{
        {"schemaVersion", 1},
        {"deviceId", deviceId},
        {"source", "mac"},
        {"startedAt", timestampText(capture.startedAt)},
        {"endedAt", timestampText(*manifest_.endedAt)},
        {"app", capture.app},
        {"direction", "unknown"},
        {"contactLabel", nullptr},
        {"sha256", io_->hash(flac(), 0)},
        {"byteSize", io_->size(flac())},
        {"mediaType", "audio/flac"},
        {"channelLayout", "split_local_remote"},
        {"captureSessionId", capture.captureSessionId},
        {"partIndex", capture.partIndex},
        {"interrupted", manifest_.interrupted},
    };
    return UploadCreateRequest::fromJSON(document);
}

void Artifact::removeAudio() {
    io_->remove(wav());
    io_->remove(flac());
    io_->remove(directory_ / temporaryFLACName);
    for (const std::string& name : listDirectory(directory_)) {
        if (isScratchName(name)) {
            io_->remove(directory_ / name);
        }
    }
    io_->sync(directory_, true);
}

// MARK: Upload side

void Artifact::cleanup(bool retainLocal) {
    if (poisoned_ ||
        (manifest_.state != ArtifactState::stored && manifest_.state != ArtifactState::cleaned) ||
        !manifest_.receipt || !matches(*manifest_.receipt, manifest_)) {
        throw CoreError::invalidState();
    }
    if (retainLocal) {
        return;
    }
    poisoning([&] {
        ArtifactManifest next = manifest_;
        next.queue.stage = QueueStage::cleanup;
        commit(next);
        removeAudio();
        next = manifest_;
        next.state = ArtifactState::cleaned;
        next.queue.stage = QueueStage::done;
        next.queue.leased = false;
        commit(next);
    });
}

void Artifact::rebaseUploadIntent(const std::string& deviceId) {
    const QueueRecord& queue = manifest_.queue;
    if (poisoned_ || manifest_.state != ArtifactState::blockedAuth ||
        queue.stage != QueueStage::blockedAuth || queue.leased || manifest_.receipt) {
        throw CoreError::invalidState();
    }
    if (!isIdentifier(deviceId)) {
        throw CoreError::invalid("format");
    }
    if (!manifest_.metadata || io_->hash(flac(), 0) != manifest_.metadata->sha256() ||
        io_->size(flac()) != manifest_.metadata->byteSize()) {
        throw CoreError::corrupt("retained bytes changed before rebase");
    }
    ArtifactManifest next = manifest_;
    next.deviceId = deviceId;
    next.metadata = uploadMetadata(deviceId);
    next.queue = QueueRecord::fresh();
    next.state = ArtifactState::ready;
    commit(next, true);
}

// MARK: Recovery

namespace {

// A child process that could not be started, was killed by a signal, or ran
// past its deadline says nothing about the recording: ffmpeg is missing or the
// machine is overloaded. Quarantine is for proven inconsistencies only, so such
// a failure leaves the directory as it is for a later recovery instead of
// stranding a good recording for ever.
bool saysNothingAboutTheRecording(const CoreError& error) {
    switch (error.kind()) {
    case CoreError::Kind::deadline:
        return true;
    case CoreError::Kind::processFailed:
        return error.code() < 0;
    case CoreError::Kind::io:
        return error.message() == "spawn" || error.message() == "pidfd_open" || error.message() == "poll" ||
               error.message() == "waitpid" || error.message() == "open /dev/null";
    default:
        return false;
    }
}

} // namespace

RecoveryResult Artifact::recover(const std::filesystem::path& directory, const CoreClock& clock,
                                 const FLACEncoder& encoder, std::shared_ptr<DurableIO> io) {
    if (io == nullptr) {
        throw CoreError::invalid("io");
    }
    DirectoryLock lock(directory);
    ArtifactManifest manifest;
    try {
        manifest = readManifest(directory, *io);
    } catch (const std::exception& error) {
        const std::string reason = reasonOf(error);
        // The unreadable manifest stays as it is, for whoever investigates.
        io->atomic(viewOf(std::string_view(quarantineMarker)), directory / quarantineName);
        return RecoveryResult::quarantined(reason);
    }
    if (manifest.state == ArtifactState::quarantined) {
        return RecoveryResult::quarantined(manifest.error.value_or("quarantined"));
    }

    std::unique_ptr<Artifact> artifact(
        new Artifact(directory, std::move(lock), manifest, clock, std::move(io)));
    artifact->writtenFrames_ = manifest.durableFrames;
    if (manifest.state == ArtifactState::cleaned || manifest.state == ArtifactState::discardedShort) {
        artifact->removeAudio();
        return RecoveryResult::recovered(std::move(artifact));
    }
    std::string reason;
    std::exception_ptr failure;
    try {
        artifact->recoverByState(encoder);
        return RecoveryResult::recovered(std::move(artifact));
    } catch (const CoreError& error) {
        if (saysNothingAboutTheRecording(error)) {
            throw;
        }
        reason = error.reason();
        failure = std::current_exception();
    } catch (const JSONSyntaxError& error) {
        reason = error.what();
        failure = std::current_exception();
    }
    // Anything else (a simulated crash, an exhausted allocator) propagates:
    // only a proven inconsistency is worth a quarantine. A poisoned artifact
    // failed part-way through a mutation; its directory is left for a later
    // attempt rather than judged from a half-finished step.
    if (artifact->poisoned_) {
        std::rethrow_exception(failure);
    }
    ArtifactManifest quarantined = artifact->manifest_;
    quarantined.state = ArtifactState::quarantined;
    quarantined.queue.stage = QueueStage::quarantined;
    quarantined.queue.leased = false;
    quarantined.error = reason;
    artifact->commit(quarantined);
    return RecoveryResult::quarantined(reason);
}

void Artifact::recoverByState(const FLACEncoder& encoder) {
    const bool published = io_->exists(flac());
    if (!manifest_.metadata) {
        if (!published) {
            rebuildFromWAV(encoder);
        } else if (manifest_.state != ArtifactState::finalisingFLAC) {
            throw CoreError::corrupt("unexpected FLAC");
        } else {
            completePublish(encoder);
        }
    } else if (manifest_.state == ArtifactState::stored && !published) {
        // Stored remotely and already cleaned up locally: nothing to check.
    } else {
        recheckPublished(encoder);
    }
}

SHA256 Artifact::checkDurablePrefix(const char* mismatch) const {
    const std::int64_t durableBytes = manifest_.durableFrames * pcm::bytesPerFrame;
    SHA256 digest;
    try {
        pcm::validateHeader(io_->read(wav(), 0, static_cast<std::int64_t>(pcm::wavHeaderSize)));
        if (io_->size(wav()) < static_cast<std::int64_t>(pcm::wavHeaderSize) + durableBytes) {
            throw CoreError::corrupt(mismatch);
        }
        io_->hash(wav(), static_cast<std::int64_t>(pcm::wavHeaderSize), durableBytes, digest);
    } catch (const CoreError& error) {
        // A WAV that is not what was flushed (any corrupt finding, a file that
        // shrank under the hash) conflicts; I/O errors stay what they are.
        if (error.kind() == CoreError::Kind::corrupt) {
            throw CoreError::corrupt(mismatch);
        }
        throw;
    }
    if (digest.hexDigest() != manifest_.durablePCMHash) {
        throw CoreError::corrupt(mismatch);
    }
    return digest;
}

void Artifact::rebuildFromWAV(const FLACEncoder& encoder) {
    pcm::validateHeader(io_->read(wav(), 0, static_cast<std::int64_t>(pcm::wavHeaderSize)));
    const std::int64_t size = io_->size(wav());
    if (size < static_cast<std::int64_t>(pcm::wavHeaderSize)) {
        throw CoreError::corrupt("short WAV");
    }
    // Recovery verifies the whole durable prefix once and seeds the running
    // digest from that pass.
    durableDigest_ = checkDurablePrefix("durable watermark data missing or changed");

    const std::int64_t frames = manifest_.durableFrames;
    // Audio written after the last flush was never promised: it is dropped.
    io_->truncate(wav(), static_cast<std::int64_t>(pcm::wavHeaderSize) + frames * pcm::bytesPerFrame);
    io_->write(wav(), pcm::wavHeader(frames), 0, false, false);
    io_->sync(wav(), false);
    writtenFrames_ = frames;

    ArtifactManifest next = manifest_;
    next.interrupted = true;
    next.endedAt =
        next.capture.startedAt + static_cast<double>(frames) / static_cast<double>(pcm::sampleRate);
    const bool publishing = longEnoughToPublish(next);
    next.state = publishing ? ArtifactState::finalisingFLAC : ArtifactState::discardedShort;
    commit(next);
    if (publishing) {
        publishFLAC(encoder);
    } else {
        removeAudio();
    }
}

void Artifact::completePublish(const FLACEncoder& encoder) {
    verify(flac(), encoder);
    if (io_->exists(wav())) {
        checkDurablePrefix("conflicting unpublished WAV");
    }
    poisoning([&] {
        io_->sync(flac(), false);
        io_->sync(directory_, true);
        markReady();
        io_->remove(wav());
        io_->sync(directory_, true);
    });
}

void Artifact::recheckPublished(const FLACEncoder& encoder) {
    verify(flac(), encoder);
    const UploadCreateRequest& metadata = *manifest_.metadata;
    if (io_->hash(flac(), 0) != metadata.sha256() || io_->size(flac()) != metadata.byteSize()) {
        throw CoreError::corrupt("published file identity");
    }
    if (io_->exists(wav())) {
        checkDurablePrefix("conflicting WAV");
        io_->remove(wav());
        io_->sync(directory_, true);
    }
    if (!manifest_.queue.leased) {
        return;
    }
    if (manifest_.queue.generation >= largestGeneration) {
        throw CoreError::corrupt("generation overflow");
    }
    ArtifactManifest next = manifest_;
    next.queue.generation += 1;
    next.queue.leased = false;
    if (next.queue.identity) {
        next.queue.stage = QueueStage::verifying;
        next.state = ArtifactState::verifyingRemote;
    } else {
        next.queue.stage = QueueStage::ready;
        next.state = ArtifactState::ready;
    }
    commit(next);
}

} // namespace zoq
