#pragma once

#include "ZoqCore/Capture/CaptureSegment.h"
#include "ZoqCore/Spool/ArtifactManifest.h"
#include "ZoqCore/Spool/DirectoryLock.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Spool/FLACEncoder.h"
#include "ZoqCore/Spool/RecoveryResult.h"
#include "ZoqCore/Support/Bytes.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/Date.h"
#include "ZoqCore/Support/SHA256.h"
#include "ZoqCore/Wire/UploadCreateRequest.h"
#include "ZoqCore/Wire/UploadStatusResponse.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

namespace zoq {

/// One recording part on disk: a directory holding the growing "audio.wav"
/// (later "audio.flac") and the checksummed "manifest.json", locked for as long
/// as the object lives. Layout, manifest and recovery table:
/// docs/spool-format.md.
///
/// Invariant on disk, at every instant: the last committed manifest plus at
/// least `durableFrames` frames of WAV whose hash is `durablePCMHash`, or a
/// later consistent state (a verified published FLAC). "audio.wav" is removed
/// only after the READY manifest naming the verified FLAC is committed.
///
/// Poisoning: any failure part-way through a mutation (a write, an fsync, a
/// commit, a publish step) marks the artifact poisoned; it then refuses every
/// further mutation with `CoreError::invalidState()` and its owner abandons
/// it. A failed fsync is never retried: the directory is taken up again by
/// `recover` once this object (and its lock) is gone.
///
/// Not thread-safe: one owner at a time (the recorder while recording, the
/// upload side afterwards); the directory lock keeps other objects and
/// processes off the directory. Every failure is a thrown `CoreError` (or
/// whatever the boundary hook or the encoder throws, unchanged).
/// The clock is borrowed and must outlive the artifact.
class Artifact {
public:
    static constexpr const char* manifestName = "manifest.json";
    static constexpr const char* wavName = "audio.wav";
    static constexpr const char* flacName = "audio.flac";
    static constexpr const char* temporaryFLACName = "audio.flac.tmp";
    static constexpr const char* quarantineName = "quarantine.txt";
    /// The content of "quarantine.txt", written when the manifest cannot be read.
    static constexpr const char* quarantineMarker = "QUARANTINED: invalid or absent manifest\n";
    /// The largest "manifest.json" that is read.
    static constexpr std::int64_t maximumManifestBytes = 1'048'576;
    /// Audio is made durable this often (monotonic seconds) while writing.
    static constexpr double flushInterval = 5.0;

    Artifact(const Artifact&) = delete;
    Artifact& operator=(const Artifact&) = delete;
    ~Artifact();

    // MARK: Creating and recovering

    /// Creates the directory (0700; it must not exist), locks it, commits an
    /// ALLOCATED manifest, writes and syncs the empty WAV, commits WRITING_WAV.
    /// Throws invalid("format") for a device or session identifier that is not
    /// a UUID, invalid("capture") for a negative part index or first frame or
    /// a start that is not finite or outside the years 0000-9999, the wire
    /// string rule's error for `capture.app` (1-128 scalars, NFC) and
    /// io("mkdir capture", errno). A failure after the mkdir leaves the
    /// directory for recovery.
    static std::unique_ptr<Artifact> create(const std::filesystem::path& directory,
                                            const CaptureSegment& capture, const std::string& deviceId,
                                            const CoreClock& clock, std::shared_ptr<DurableIO> io);

    /// Locks `directory` and brings it back to a consistent state: finishes an
    /// interrupted finalisation (rebuilding from the WAV's durable prefix or
    /// completing a publish), re-verifies a published FLAC, releases a lease
    /// left by a dead worker. Whatever cannot be proven consistent is
    /// quarantined (never deleted) with its reason. Throws only when the lock
    /// cannot be taken (`locked`), when writing the quarantine record fails, or
    /// when the artifact became poisoned during recovery (the directory is then
    /// left for a later attempt). Idempotent.
    static RecoveryResult recover(const std::filesystem::path& directory, const CoreClock& clock,
                                  const FLACEncoder& encoder, std::shared_ptr<DurableIO> io);

    // MARK: The manifest

    /// Reads (at most 1 MiB) and fully validates a directory's "manifest.json".
    /// Throws the first failing rule's error (docs/spool-format.md), read
    /// errors of `DurableIO`, and `JSONSyntaxError` for bytes that are not JSON.
    static ArtifactManifest readManifest(const std::filesystem::path& directory, const DurableIO& io);
    /// The validation of `readManifest` on the file's bytes (size rule included).
    static ArtifactManifest parseManifest(ByteView bytes);
    /// The canonical JSON of a manifest (what the checksum covers).
    static Bytes encode(const ArtifactManifest& manifest);
    /// Whether `receipt` confirms storage of exactly this manifest's published
    /// file under its bound upload identity.
    static bool matches(const UploadStatusResponse& receipt, const ArtifactManifest& manifest);

    /// The only way a manifest is written. Throws invalidState on a poisoned
    /// artifact and invalid("immutable metadata") when `manifest` would drop or
    /// change the stored metadata without `rebindingUploadIntent` (neither
    /// poisons). Any later failure poisons and is rethrown; the file on disk is
    /// then the old manifest or the new one, never a mix.
    void commit(const ArtifactManifest& manifest, bool rebindingUploadIntent = false);

    // MARK: Writing the part

    /// Appends whole frames at the end of the WAV (no flush), then `tick()`.
    /// invalidState when poisoned, not WRITING_WAV, not whole frames, or past
    /// three hours; nothing is written then. An I/O failure poisons.
    void append(ByteView data);
    /// Flushes when `flushInterval` has passed since the last flush (only while
    /// WRITING_WAV). invalidState when poisoned.
    void tick();
    /// Makes every appended frame durable: header, fsync, hash of the new bytes
    /// only (extending the running digest of the durable prefix), commit.
    /// invalidState when poisoned or not WRITING_WAV; any failure poisons.
    void flush();
    /// Ends the part: `seal`, then `publish` when the part is long enough.
    void finalise(const FLACEncoder& encoder, Date endedAt, bool interrupted);
    /// The quick half of `finalise`: flush, then commit FINALISING_FLAC (20 s
    /// or more; returns true: `publish` must follow) or DISCARDED_SHORT with
    /// the audio removed (false). invalidState when poisoned, not WRITING_WAV
    /// or `endedAt` is before the start. Any failure after the precondition
    /// poisons. A sealed part left unpublished is finished by recovery.
    bool seal(Date endedAt, bool interrupted);
    /// The slow half: encode, verify against the durable PCM, publish and
    /// mark READY. invalidState unless FINALISING_FLAC and not poisoned; any
    /// failure poisons. May run on another thread than the writing did.
    void publish(const FLACEncoder& encoder);

    // MARK: Upload side

    /// The upload-create document of the published "audio.flac" for `deviceId`.
    /// corrupt("missing end") without `endedAt`; the wire rule's errors.
    UploadCreateRequest uploadMetadata(const std::string& deviceId) const;
    /// Deletes the local audio once the portal confirmed storage (unless
    /// `retainLocal`). invalidState unless STORED or CLEANED with a bound
    /// receipt and not poisoned. Any failure poisons.
    void cleanup(bool retainLocal);
    /// Restarts the upload under a new device identity: only from BLOCKED_AUTH
    /// (manifest and queue), unleased, without a receipt (else invalidState);
    /// invalid("format") for a non-UUID; corrupt("retained bytes changed before
    /// rebase") unless "audio.flac" still has the metadata's hash and size.
    void rebaseUploadIntent(const std::string& deviceId);

    // MARK: Reading

    const std::filesystem::path& directory() const noexcept { return directory_; }
    /// The last committed manifest.
    const ArtifactManifest& manifest() const noexcept { return manifest_; }
    /// Frames appended to "audio.wav", durable or not.
    std::int64_t writtenFrames() const noexcept { return writtenFrames_; }
    /// Monotonic time of the last flush.
    double lastFlush() const noexcept { return lastFlush_; }
    bool poisoned() const noexcept { return poisoned_; }
    std::filesystem::path wav() const { return directory_ / wavName; }
    std::filesystem::path flac() const { return directory_ / flacName; }
    const std::shared_ptr<DurableIO>& io() const noexcept { return io_; }
    const CoreClock& clock() const noexcept { return *clock_; }

    /// The reason text of any error: a `CoreError`'s `reason()`, otherwise the
    /// exception's `what()` (e.g. a `JSONSyntaxError`'s "json: ..." line).
    static std::string reasonOf(const std::exception& error);

private:
    Artifact(std::filesystem::path directory, DirectoryLock lock, ArtifactManifest manifest,
             const CoreClock& clock, std::shared_ptr<DurableIO> io);

    void requireUsable() const;
    template <typename Step>
    void poisoning(Step&& step);

    void publishFLAC(const FLACEncoder& encoder);
    void verify(const std::filesystem::path& flacFile, const FLACEncoder& encoder) const;
    void markReady();
    void removeAudio();

    void recoverByState(const FLACEncoder& encoder);
    void rebuildFromWAV(const FLACEncoder& encoder);
    void completePublish(const FLACEncoder& encoder);
    void recheckPublished(const FLACEncoder& encoder);
    /// Validates the WAV header and the durable prefix's hash; the digest of
    /// the prefix is returned so writing can continue from it.
    SHA256 checkDurablePrefix(const char* mismatch) const;

    std::filesystem::path directory_;
    DirectoryLock lock_;
    ArtifactManifest manifest_;
    const CoreClock* clock_;
    std::shared_ptr<DurableIO> io_;
    std::int64_t writtenFrames_ = 0;
    double lastFlush_ = 0;
    bool poisoned_ = false;
    /// SHA-256 state of PCM bytes [0, durableFrames × 4): a flush reads back
    /// only the bytes written since the last one and extends it, so its cost
    /// does not grow with the part.
    SHA256 durableDigest_;
};

} // namespace zoq
