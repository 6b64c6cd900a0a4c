#pragma once

#include "ZoqCaptureEngine/AudioBackend.h"
#include "ZoqCaptureEngine/EngineConfiguration.h"
#include "ZoqCaptureEngine/HostTimeAnchor.h"
#include "ZoqCaptureEngine/PlaybackSum.h"
#include "ZoqCaptureEngine/RawChunk.h"
#include "ZoqCaptureEngine/TapError.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zoq {

/// The audio of one capture run: two record streams on the sound server.
///
/// - The microphone: the default source, 32-bit float mono at the source's
///   own rate.
/// - The system mix: the monitor of the default sink, found by the sink's
///   name (never the "@DEFAULT_MONITOR@" alias, which pipewire-pulse answers
///   with the default source), stereo float at the sink's rate. It holds what
///   every application plays, this one's own chime included: the server has
///   no way to leave one client out of a sink's mix.
///
/// Both ask for 10 ms fragments and are never moved by the server: a change
/// of device ends them, and the engine notices it through the hardware
/// signature. Their callbacks, on the backend's event thread, only copy each
/// delivery into a `RawChunk` and hand it to the stream's `HostTimeAnchor`,
/// which holds it about 100 ms until its stamp is decided; stamped chunks are
/// queued under the lock. Teardown stamps and returns the held ones too.
///
/// With `SystemAudioSource::recordedApp` the system stream is not the sink's
/// monitor but the sum (`PlaybackSum`) of one record stream per playback
/// stream the engine names (`followPlayback`), each recording that stream
/// alone on the monitor of the sink it plays on, so what other applications
/// and zoq's own chime play never enters it. The sum runs on the host clock
/// `sumDelayNanos` behind the time `pump` is given, silent while nothing is
/// followed; `fallBackToMix` makes the sink's whole monitor its only input
/// until the next start.
///
/// Each queue holds at most five seconds of its stream; the chunk that would
/// pass the limit is dropped and "callback_backlog_exceeded" is recorded, once
/// until the next pump. A stream that ends on the server's side records its
/// `TapError::streamEnded` description: among the failures when the
/// connection went with it, among the ended streams when only the stream's
/// device went away. A generation counter, raised at every
/// teardown, makes deliveries of an earlier start harmless.
///
/// `start`, `pump` and `teardown` are called on the engine's queue; they never
/// hold the lock while waiting for the server. Borrows `backend`, which must
/// outlive it.
class TapSession {
public:
    struct Drained {
        std::vector<RawChunk> mic;
        std::vector<RawChunk> system;
        std::vector<std::string> failures;
        /// Streams the server ended while the connection stayed up: their
        /// device went away. Not a failure but a change of devices; the audio
        /// they delivered before is in the queues.
        std::vector<std::string> ended;
    };

    /// How the measured host times of a stream moved against its anchors.
    struct Timing {
        std::uint64_t reanchors = 0;
        std::int64_t lastDepartureNanos = 0;
        std::int64_t largestDepartureNanos = 0;
        std::int64_t baselineNanos = 0;
        std::int64_t slewedNanos = 0;
        friend bool operator==(const Timing&, const Timing&) = default;
    };

    static constexpr double queueSeconds = 5.0;
    /// How far behind the host clock the sum of followed playback runs: the
    /// anchors hold each delivery about 100 ms, and a stream's audio that
    /// arrives later than this is lost to the sum.
    static constexpr std::uint64_t sumDelayNanos = 400'000'000;
    static constexpr const char* backlogExceeded = "callback_backlog_exceeded";

    explicit TapSession(AudioBackend& backend, SystemAudioSource source = SystemAudioSource::all);
    ~TapSession();
    TapSession(const TapSession&) = delete;
    TapSession& operator=(const TapSession&) = delete;

    /// Does nothing when started. Otherwise clears the queues, the failures
    /// and the teardown results and opens both streams. Throws `TapError`, or
    /// `ScannerError` when the server's devices cannot be read; a failed start
    /// is torn down before the error is passed on.
    void start();
    bool isStarted() const;
    /// Takes both queues and the failures.
    Drained pump();
    /// The same, after handing the system queue the sum of followed playback
    /// up to `nowNanos` − `sumDelayNanos` (recordedApp only).
    Drained pump(std::uint64_t nowNanos);

    /// recordedApp only, while started and not fallen back: records exactly
    /// these playback streams (sink input → the monitor source of the sink
    /// it plays on). Closes the streams no longer named, ended by the server
    /// or moved to another sink, and opens the new ones; one that cannot be
    /// opened (it ended meanwhile) is tried again at the next call. Answers
    /// the playback streams recorded now.
    std::set<std::uint32_t> followPlayback(const std::map<std::uint32_t, std::string>& playback);
    /// recordedApp only: from now until the next start the sum records the
    /// whole monitor of the sink opened at start instead of followed
    /// playback. Throws `TapError` when that stream cannot be opened.
    void fallBackToMix();
    SystemAudioSource source() const noexcept { return source_; }
    /// What the system stream records now: recordedApp until a fallback.
    SystemAudioSource recording() const;
    /// Closes both streams (once it returns no callback of them runs), raises
    /// the generation and returns what was still queued. Never throws.
    Drained teardown();

    double micSampleRate() const;
    double tapSampleRate() const;
    /// The default sink at start (0 when none).
    std::uint32_t outputDeviceID() const;
    /// The server's indices of the two record streams (0 when closed).
    std::uint32_t micStreamID() const;
    std::uint32_t systemStreamID() const;
    /// The source the system mix is recorded from ("speakers.monitor").
    std::string monitorSourceName() const;
    /// Status of each teardown step of the last teardown ("close_mic_stream",
    /// "close_system_stream"; 0 is success).
    std::map<std::string, std::int32_t> teardownResults() const;
    Timing micTiming() const;
    Timing systemTiming() const;
    std::uint64_t generation() const;

    /// For tests: queues a chunk as the callbacks do, with their generation.
    void enqueueForTest(bool mic, RawChunk chunk, std::uint64_t generation);

private:
    class Receiver;
    struct Opened;
    struct Followed;

    Opened open(std::uint64_t generation);
    std::unique_ptr<RecordStream> openStream(const std::string& sourceName, std::uint32_t rate,
                                             std::uint32_t channels, Receiver& receiver,
                                             TapError::Kind refusal, const char* name,
                                             std::optional<std::uint32_t> monitored);
    /// Closes a followed stream; what its anchor still held joins the sum.
    void closeFollowed(std::uint32_t key);
    void addToSum(std::uint32_t key, RawChunk chunk, std::uint64_t generation);
    void playbackEnded(std::uint32_t key, std::uint64_t generation);
    void enqueue(bool mic, RawChunk chunk, std::uint64_t generation, const HostTimeAnchor* anchor);
    void recordFailure(std::string failure, std::uint64_t generation);
    void recordEnded(std::string stream, std::uint64_t generation);

    AudioBackend& backend_;
    const SystemAudioSource source_;
    mutable std::mutex lock_;
    // Guarded by lock_.
    std::vector<RawChunk> micChunks_;
    std::vector<RawChunk> systemChunks_;
    std::vector<std::string> failures_;
    std::vector<std::string> ended_;
    std::int64_t queuedMicFrames_ = 0;
    std::int64_t queuedSystemFrames_ = 0;
    std::uint64_t generation_ = 0;
    bool started_ = false;
    double micSampleRate_ = 0;
    double tapSampleRate_ = 0;
    std::uint32_t outputDeviceID_ = 0;
    std::string monitorSourceName_;
    std::map<std::string, std::int32_t> teardownResults_;
    Timing micTiming_;
    Timing systemTiming_;
    std::unique_ptr<Receiver> micReceiver_;
    std::unique_ptr<Receiver> systemReceiver_;
    std::unique_ptr<RecordStream> micStream_;
    std::unique_ptr<RecordStream> systemStream_;
    std::unique_ptr<PlaybackSum> sum_;
    std::set<std::uint32_t> endedPlayback_;
    bool fellBack_ = false;
    // Touched only on the engine's queue.
    std::map<std::uint32_t, Followed> followed_;
};

} // namespace zoq
