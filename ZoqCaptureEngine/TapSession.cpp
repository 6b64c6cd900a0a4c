#include "ZoqCaptureEngine/TapSession.h"

#include "ZoqCaptureEngine/AudioBackendError.h"
#include "ZoqCaptureEngine/ScannerError.h"
#include "ZoqCaptureEngine/TapError.h"

namespace zoq {
namespace {

constexpr std::uint32_t fragmentsPerSecond = 100; // 10 ms
/// The sum's key of the sink's whole monitor after a fallback: no playback
/// stream has this index (it is the server's "invalid index").
constexpr std::uint32_t wholeMixKey = 0xffff'ffff;

std::int64_t queueLimit(double rate) {
    return static_cast<std::int64_t>(TapSession::queueSeconds * rate);
}

} // namespace

/// Receives one stream's deliveries on the backend's event thread. Created
/// for one start (one generation) and destroyed only after its stream.
class TapSession::Receiver final : public RecordStreamHandler {
public:
    /// With `sumKey` the stream is one input of the playback sum.
    Receiver(TapSession& session, bool mic, std::uint32_t rate, std::uint32_t channels,
             std::uint64_t generation, std::optional<std::uint32_t> sumKey = std::nullopt)
        : session_(session), mic_(mic), channels_(channels), generation_(generation), anchor_(rate),
          heldLimit_(queueLimit(rate)), sumKey_(sumKey) {}

    void onAudio(const RecordedAudio& audio) noexcept override {
        const std::size_t frames = audio.samples.size() / channels_;
        if (frames == 0) {
            return;
        }
        try {
            ready_.clear();
            RawChunk delivered(
                0, audio.receivedNanos, static_cast<double>(audio.firstFrame),
                std::vector<float>(audio.samples.begin(), audio.samples.begin() + frames * channels_),
                static_cast<int>(channels_), true, false);
            delivered.lossBefore = audio.lossBefore;
            anchor_.add(std::move(delivered), ready_);
            // A burst longer than a queue holds is not held any longer: the
            // queue's limit decides about it.
            if (anchor_.heldFrames() > heldLimit_) {
                anchor_.flush(ready_);
            }
            for (RawChunk& chunk : ready_) {
                if (sumKey_) {
                    session_.addToSum(*sumKey_, std::move(chunk), generation_);
                } else {
                    session_.enqueue(mic_, std::move(chunk), generation_, &anchor_);
                }
            }
        } catch (...) {
            // Only allocation can fail here; the audio is lost like an overflow.
            session_.recordFailure(TapSession::backlogExceeded, generation_);
        }
    }

    /// After the stream closed: the chunks still held, stamped.
    std::vector<RawChunk> takeHeld() {
        std::vector<RawChunk> held;
        anchor_.flush(held);
        return held;
    }

    void onStreamFailed(std::int32_t error, const std::string& text) noexcept override {
        try {
            const TapError ended(TapError::Kind::streamEnded, error,
                                 std::string(mic_ ? "microphone: " : "system mix: ") + text);
            if (error == AudioBackendError::connectionTerminated ||
                error == AudioBackendError::connectionRefused) {
                session_.recordFailure(ended.description(), generation_);
            } else if (sumKey_ && *sumKey_ != wholeMixKey) {
                // A followed playback stream ended or moved: the server ends
                // its monitor with it. Not a change of devices.
                session_.playbackEnded(*sumKey_, generation_);
            } else {
                session_.recordEnded(ended.description(), generation_);
            }
        } catch (...) {
            session_.recordFailure(TapSession::backlogExceeded, generation_);
        }
    }

private:
    TapSession& session_;
    const bool mic_;
    const std::uint32_t channels_;
    const std::uint64_t generation_;
    // Touched only on the event thread.
    HostTimeAnchor anchor_;
    std::vector<RawChunk> ready_;
    const std::int64_t heldLimit_;
    const std::optional<std::uint32_t> sumKey_;
};

struct TapSession::Followed {
    std::string sourceName;
    std::unique_ptr<Receiver> receiver;
    // After the receiver, so that the stream closes first.
    std::unique_ptr<RecordStream> stream;
};

struct TapSession::Opened {
    std::unique_ptr<Receiver> micReceiver;
    std::unique_ptr<Receiver> systemReceiver;
    // After the receivers, so that the streams close first.
    std::unique_ptr<RecordStream> micStream;
    std::unique_ptr<RecordStream> systemStream;
};

TapSession::TapSession(AudioBackend& backend, SystemAudioSource source)
    : backend_(backend), source_(source) {}

TapSession::~TapSession() {
    teardown();
}

void TapSession::start() {
    std::uint64_t generation = 0;
    {
        std::lock_guard guard(lock_);
        if (started_) {
            return;
        }
        teardownResults_.clear();
        micChunks_.clear();
        systemChunks_.clear();
        failures_.clear();
        ended_.clear();
        queuedMicFrames_ = 0;
        queuedSystemFrames_ = 0;
        micTiming_ = {};
        systemTiming_ = {};
        sum_.reset();
        endedPlayback_.clear();
        fellBack_ = false;
        started_ = true;
        generation = generation_;
    }
    try {
        Opened opened = open(generation);
        std::lock_guard guard(lock_);
        micReceiver_ = std::move(opened.micReceiver);
        systemReceiver_ = std::move(opened.systemReceiver);
        micStream_ = std::move(opened.micStream);
        systemStream_ = std::move(opened.systemStream);
    } catch (...) {
        teardown();
        throw;
    }
}

TapSession::Opened TapSession::open(std::uint64_t generation) {
    try {
        backend_.ownClientIndex();
    } catch (const AudioBackendError& error) {
        throw TapError(TapError::Kind::tapCreationDeniedOwnProcessUnknown, 0, error.what());
    }
    AudioGraph graph;
    try {
        graph = backend_.graph();
    } catch (const AudioBackendError& error) {
        throw ScannerError::propertyFailed(error.what());
    }
    const AudioSinkInfo* sink = graph.sinkNamed(graph.defaultSinkName);
    const AudioSourceInfo* monitor = sink != nullptr ? graph.sourceNamed(sink->monitorSourceName) : nullptr;
    if (monitor == nullptr || sink->format.rate == 0) {
        throw TapError(TapError::Kind::missingDefaultOutput, 0,
                       "default sink \"" + graph.defaultSinkName + "\"");
    }
    const AudioSourceInfo* micSource = graph.sourceNamed(graph.defaultSourceName);
    if (micSource == nullptr || micSource->format.rate == 0) {
        throw TapError(TapError::Kind::engineStartFailed, AudioBackendError::noEntity,
                       "default source \"" + graph.defaultSourceName + "\"");
    }

    {
        // Before the streams open: their first deliveries are measured
        // against the queue limits these rates set.
        std::lock_guard guard(lock_);
        tapSampleRate_ = sink->format.rate;
        micSampleRate_ = micSource->format.rate;
        outputDeviceID_ = sink->index;
        monitorSourceName_ = monitor->name;
    }

    Opened opened;
    const std::uint32_t systemRate = sink->format.rate;
    if (source_ == SystemAudioSource::all) {
        opened.systemReceiver = std::make_unique<Receiver>(*this, false, systemRate, 2, generation);
        opened.systemStream = openStream(monitor->name, systemRate, 2, *opened.systemReceiver,
                                         TapError::Kind::tapCreationFailed, "zoq system mix", std::nullopt);
    } else {
        std::lock_guard guard(lock_);
        sum_ = std::make_unique<PlaybackSum>(systemRate, 2);
    }
    opened.micReceiver = std::make_unique<Receiver>(*this, true, micSource->format.rate, 1, generation);
    opened.micStream = openStream(micSource->name, micSource->format.rate, 1, *opened.micReceiver,
                                  TapError::Kind::engineStartFailed, "zoq microphone", std::nullopt);
    return opened;
}

std::unique_ptr<RecordStream> TapSession::openStream(const std::string& sourceName, std::uint32_t rate,
                                                     std::uint32_t channels, Receiver& receiver,
                                                     TapError::Kind refusal, const char* name,
                                                     std::optional<std::uint32_t> monitored) {
    std::unique_ptr<RecordStream> stream;
    try {
        RecordStreamRequest request{sourceName, rate, channels, rate / fragmentsPerSecond, name, monitored};
        stream = backend_.openRecordStream(request, receiver);
    } catch (const AudioBackendError& error) {
        throw TapError(refusal, error.code(), error.what());
    }
    const AudioFormat& format = stream->format();
    if (format.sampleFormat != "float32le" || format.rate != rate || format.channels != channels) {
        throw TapError(TapError::Kind::engineStartFailed, 0,
                       std::string(name) + " runs as " + format.sampleFormat + " " +
                           std::to_string(format.channels) + "ch " + std::to_string(format.rate) + " Hz");
    }
    return stream;
}

std::set<std::uint32_t> TapSession::followPlayback(const std::map<std::uint32_t, std::string>& playback) {
    std::set<std::uint32_t> ended;
    std::uint64_t generation = 0;
    std::uint32_t rate = 0;
    {
        std::lock_guard guard(lock_);
        if (!started_ || !sum_ || fellBack_) {
            return {};
        }
        ended.swap(endedPlayback_);
        generation = generation_;
        rate = static_cast<std::uint32_t>(tapSampleRate_);
    }
    std::vector<std::uint32_t> closing;
    for (const auto& [key, followed] : followed_) {
        const auto wanted = playback.find(key);
        if (wanted == playback.end() || wanted->second != followed.sourceName || ended.contains(key)) {
            closing.push_back(key);
        }
    }
    for (const std::uint32_t key : closing) {
        closeFollowed(key);
    }
    std::set<std::uint32_t> recorded;
    for (const auto& [key, sourceName] : playback) {
        if (!followed_.contains(key)) {
            Followed followed{
                sourceName, std::make_unique<Receiver>(*this, false, rate, 2, generation, key), {}};
            try {
                followed.stream =
                    openStream(sourceName, rate, 2, *followed.receiver, TapError::Kind::tapCreationFailed,
                               "zoq application playback", key);
            } catch (const TapError&) {
                // Gone before it could be recorded, or not linked yet: the
                // next call sees which.
                continue;
            }
            followed_.emplace(key, std::move(followed));
        }
        recorded.insert(key);
    }
    return recorded;
}

void TapSession::closeFollowed(std::uint32_t key) {
    const auto found = followed_.find(key);
    if (found == followed_.end()) {
        return;
    }
    Followed followed = std::move(found->second);
    followed_.erase(found);
    followed.stream.reset();
    std::vector<RawChunk> held = followed.receiver->takeHeld();
    std::lock_guard guard(lock_);
    if (sum_) {
        for (const RawChunk& chunk : held) {
            sum_->add(key, chunk);
        }
        sum_->remove(key);
    }
}

void TapSession::fallBackToMix() {
    std::uint64_t generation = 0;
    std::uint32_t rate = 0;
    std::string monitor;
    {
        std::lock_guard guard(lock_);
        if (!started_ || !sum_ || fellBack_) {
            return;
        }
        generation = generation_;
        rate = static_cast<std::uint32_t>(tapSampleRate_);
        monitor = monitorSourceName_;
    }
    while (!followed_.empty()) {
        closeFollowed(followed_.begin()->first);
    }
    Followed whole{monitor, std::make_unique<Receiver>(*this, false, rate, 2, generation, wholeMixKey), {}};
    whole.stream = openStream(monitor, rate, 2, *whole.receiver, TapError::Kind::tapCreationFailed,
                              "zoq system mix", std::nullopt);
    followed_.emplace(wholeMixKey, std::move(whole));
    std::lock_guard guard(lock_);
    fellBack_ = true;
}

SystemAudioSource TapSession::recording() const {
    std::lock_guard guard(lock_);
    return source_ == SystemAudioSource::recordedApp && !fellBack_ ? SystemAudioSource::recordedApp
                                                                   : SystemAudioSource::all;
}

void TapSession::addToSum(std::uint32_t key, RawChunk chunk, std::uint64_t generation) {
    std::lock_guard guard(lock_);
    if (started_ && generation == generation_ && sum_) {
        sum_->add(key, chunk);
    }
}

void TapSession::playbackEnded(std::uint32_t key, std::uint64_t generation) {
    std::lock_guard guard(lock_);
    if (started_ && generation == generation_) {
        endedPlayback_.insert(key);
    }
}

bool TapSession::isStarted() const {
    std::lock_guard guard(lock_);
    return started_;
}

TapSession::Drained TapSession::pump(std::uint64_t nowNanos) {
    {
        std::lock_guard guard(lock_);
        if (started_ && sum_) {
            // The timeline begins now, not `sumDelayNanos` ago: before the
            // streams opened there is nothing to record, and a part's
            // pre-buffer must not reach back into that silence.
            const std::uint64_t upTo = !sum_->originNanos()       ? nowNanos
                                       : nowNanos > sumDelayNanos ? nowNanos - sumDelayNanos
                                                                  : 0;
            if (std::optional<RawChunk> summed = sum_->produce(upTo)) {
                queuedSystemFrames_ += summed->frames;
                systemChunks_.push_back(std::move(*summed));
            }
        }
    }
    return pump();
}

TapSession::Drained TapSession::pump() {
    std::lock_guard guard(lock_);
    Drained drained{std::move(micChunks_), std::move(systemChunks_), std::move(failures_), std::move(ended_)};
    micChunks_.clear();
    systemChunks_.clear();
    failures_.clear();
    ended_.clear();
    queuedMicFrames_ = 0;
    queuedSystemFrames_ = 0;
    return drained;
}

TapSession::Drained TapSession::teardown() {
    std::unique_ptr<RecordStream> micStream, systemStream;
    std::unique_ptr<Receiver> micReceiver, systemReceiver;
    bool wasStarted = false;
    {
        std::lock_guard guard(lock_);
        ++generation_;
        wasStarted = started_;
        started_ = false;
        micStream = std::move(micStream_);
        systemStream = std::move(systemStream_);
        micReceiver = std::move(micReceiver_);
        systemReceiver = std::move(systemReceiver_);
    }
    // Followed playback closes first; its last audio joins the sum, which
    // then hands out everything it was given.
    std::map<std::uint32_t, Followed> followed = std::move(followed_);
    followed_.clear();
    std::optional<RawChunk> summed;
    for (auto& [key, stream] : followed) {
        stream.stream.reset();
        std::vector<RawChunk> held = stream.receiver->takeHeld();
        std::lock_guard guard(lock_);
        if (sum_) {
            for (const RawChunk& chunk : held) {
                sum_->add(key, chunk);
            }
        }
    }
    {
        std::lock_guard guard(lock_);
        if (sum_ && wasStarted && sum_->inputEndNanos()) {
            summed = sum_->produce(*sum_->inputEndNanos());
        }
        sum_.reset();
    }
    // Outside the lock: closing waits for a running callback, which may be
    // waiting for the lock. Closing is local and cannot fail, even with the
    // server gone, so each step reports success.
    std::map<std::string, std::int32_t> results;
    if (wasStarted) {
        if (micStream) {
            micStream.reset();
            results["close_mic_stream"] = 0;
        }
        if (systemStream) {
            systemStream.reset();
            results["close_system_stream"] = 0;
        }
    }
    Drained drained;
    {
        std::lock_guard guard(lock_);
        teardownResults_.insert(results.begin(), results.end());
    }
    drained = pump();
    if (summed) {
        drained.system.push_back(std::move(*summed));
    }
    // The audio the anchors still held belongs after what was queued.
    for (auto [receiver, queue] :
         {std::pair{micReceiver.get(), &drained.mic}, {systemReceiver.get(), &drained.system}}) {
        if (receiver != nullptr) {
            for (RawChunk& chunk : receiver->takeHeld()) {
                queue->push_back(std::move(chunk));
            }
        }
    }
    return drained;
}

void TapSession::enqueue(bool mic, RawChunk chunk, std::uint64_t generation, const HostTimeAnchor* anchor) {
    std::lock_guard guard(lock_);
    if (!started_ || generation != generation_ || chunk.frames < 1) {
        return;
    }
    if (anchor != nullptr) {
        (mic ? micTiming_ : systemTiming_) =
            Timing{anchor->reanchors(), anchor->lastDepartureNanos(), anchor->largestDepartureNanos(),
                   anchor->baselineNanos(), anchor->slewedNanos()};
    }
    std::vector<RawChunk>& queue = mic ? micChunks_ : systemChunks_;
    std::int64_t& queued = mic ? queuedMicFrames_ : queuedSystemFrames_;
    if (queued + chunk.frames > queueLimit(mic ? micSampleRate_ : tapSampleRate_)) {
        if (failures_.empty()) {
            failures_.emplace_back(backlogExceeded);
        }
        return;
    }
    queued += chunk.frames;
    queue.push_back(std::move(chunk));
}

void TapSession::enqueueForTest(bool mic, RawChunk chunk, std::uint64_t generation) {
    enqueue(mic, std::move(chunk), generation, nullptr);
}

void TapSession::recordFailure(std::string failure, std::uint64_t generation) {
    std::lock_guard guard(lock_);
    if (!started_ || generation != generation_) {
        return;
    }
    if (failure == backlogExceeded && !failures_.empty()) {
        return;
    }
    failures_.push_back(std::move(failure));
}

void TapSession::recordEnded(std::string stream, std::uint64_t generation) {
    std::lock_guard guard(lock_);
    if (started_ && generation == generation_) {
        ended_.push_back(std::move(stream));
    }
}

double TapSession::micSampleRate() const {
    std::lock_guard guard(lock_);
    return micSampleRate_;
}

double TapSession::tapSampleRate() const {
    std::lock_guard guard(lock_);
    return tapSampleRate_;
}

std::uint32_t TapSession::outputDeviceID() const {
    std::lock_guard guard(lock_);
    return outputDeviceID_;
}

std::uint32_t TapSession::micStreamID() const {
    std::lock_guard guard(lock_);
    return micStream_ ? micStream_->index() : 0;
}

std::uint32_t TapSession::systemStreamID() const {
    std::lock_guard guard(lock_);
    return systemStream_ ? systemStream_->index() : 0;
}

std::string TapSession::monitorSourceName() const {
    std::lock_guard guard(lock_);
    return monitorSourceName_;
}

std::map<std::string, std::int32_t> TapSession::teardownResults() const {
    std::lock_guard guard(lock_);
    return teardownResults_;
}

TapSession::Timing TapSession::micTiming() const {
    std::lock_guard guard(lock_);
    return micTiming_;
}

TapSession::Timing TapSession::systemTiming() const {
    std::lock_guard guard(lock_);
    return systemTiming_;
}

std::uint64_t TapSession::generation() const {
    std::lock_guard guard(lock_);
    return generation_;
}

} // namespace zoq
