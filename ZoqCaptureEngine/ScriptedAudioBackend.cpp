#include "ZoqCaptureEngine/ScriptedAudioBackend.h"

#include "ZoqCaptureEngine/AudioBackendError.h"
#include "ZoqCore/Support/CoreClock.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <unistd.h>

namespace zoq {
namespace {

AudioBackendError badWAV(const std::filesystem::path& path, const std::string& why) {
    return AudioBackendError(AudioBackendError::invalidArgument, "wav", path.string() + ": " + why);
}

std::uint32_t littleEndian(const std::vector<char>& bytes, std::size_t at, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    return value;
}

thread_local const void* currentEventThreadOwner = nullptr;

} // namespace

ScriptedSignal ScriptedSignal::tone(double frequency, float amplitude) {
    ScriptedSignal signal;
    signal.frequency_ = frequency;
    signal.amplitude_ = amplitude;
    return signal;
}

ScriptedSignal ScriptedSignal::wav(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw badWAV(path, "cannot be opened");
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        throw badWAV(path, "not a RIFF/WAVE file");
    }
    std::uint32_t format = 0, channels = 0, bits = 0;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::uint32_t size = littleEndian(bytes, at + 4, 4);
        const std::size_t body = at + 8;
        const std::size_t available = std::min<std::size_t>(size, bytes.size() - body);
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && available >= 16) {
            format = littleEndian(bytes, body, 2);
            channels = littleEndian(bytes, body + 2, 2);
            bits = littleEndian(bytes, body + 14, 2);
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            const bool int16 = format == 1 && bits == 16;
            const bool float32 = format == 3 && bits == 32;
            if (channels == 0 || !(int16 || float32)) {
                throw badWAV(path, "not 16-bit integer or 32-bit float PCM");
            }
            const std::size_t width = bits / 8;
            const std::size_t count = available / width / channels * channels;
            if (count == 0) {
                throw badWAV(path, "holds no audio");
            }
            auto samples = std::make_shared<std::vector<float>>(count);
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint32_t raw = littleEndian(bytes, body + i * width, width);
                float value = 0;
                if (int16) {
                    value = static_cast<float>(static_cast<std::int16_t>(raw)) / 32768.0f;
                } else {
                    std::memcpy(&value, &raw, sizeof value);
                }
                (*samples)[i] = value;
            }
            ScriptedSignal signal;
            signal.samples_ = std::move(samples);
            signal.channels_ = channels;
            return signal;
        }
        at = body + size + (size & 1);
    }
    throw badWAV(path, "has no \"fmt \" and \"data\" chunks");
}

float ScriptedSignal::at(std::uint64_t frame, std::uint32_t channel, std::uint32_t rate) const noexcept {
    if (samples_) {
        const std::uint64_t frames = samples_->size() / channels_;
        return (*samples_)[(frame % frames) * channels_ + std::min(channel, channels_ - 1)];
    }
    if (amplitude_ == 0 || rate == 0) {
        return 0;
    }
    const double phase = std::fmod(static_cast<double>(frame) * frequency_ / rate, 1.0);
    return amplitude_ * static_cast<float>(std::sin(2 * std::numbers::pi * phase));
}

AudioFormat ScriptedAudioBackend::floatFormat(std::uint32_t rate, std::uint32_t channels) {
    AudioFormat format{"float32le", rate, channels,
                       channels == 1 ? std::vector<std::string>{"mono"}
                                     : std::vector<std::string>{"front-left", "front-right"}};
    format.channelMap.resize(channels, "aux");
    return format;
}

class ScriptedAudioBackend::Stream final : public RecordStream {
public:
    Stream(ScriptedAudioBackend& owner, RecordStreamHandler& receiver, std::string source, AudioFormat format,
           std::uint32_t index)
        : backend(owner), handler(receiver), sourceName(std::move(source)), format_(std::move(format)),
          index_(index) {}
    ~Stream() override { backend.closeStream(this); }

    const AudioFormat& format() const noexcept override { return format_; }
    std::uint32_t index() const noexcept override { return index_; }

    ScriptedAudioBackend& backend;
    RecordStreamHandler& handler;
    std::string sourceName;
    /// The playback stream this one records alone, if any.
    std::optional<std::uint32_t> monitored;
    // Touched only on the event thread.
    std::uint64_t nextFrame = 0;
    std::vector<float> buffer;
    bool ended = false;

private:
    AudioFormat format_;
    std::uint32_t index_;
};

ScriptedAudioBackend::ScriptedAudioBackend(std::chrono::milliseconds deadline) : deadline_(deadline) {
    ownClient_ = newIndex();
    AudioClientIdentity own;
    own.claimedPid = static_cast<std::int32_t>(getpid());
    own.applicationName = "zoq";
    graph_.clients.push_back(AudioClientInfo{ownClient_, own, std::nullopt});
    eventThread_ = std::thread([this] { eventLoop(); });
}

ScriptedAudioBackend::~ScriptedAudioBackend() {
    stopRealTime();
    {
        std::lock_guard lock(queueMutex_);
        quitting_ = true;
    }
    queueChanged_.notify_all();
    eventThread_.join();
}

void ScriptedAudioBackend::eventLoop() {
    currentEventThreadOwner = this;
    std::unique_lock lock(queueMutex_);
    for (;;) {
        queueChanged_.wait(lock, [&] { return quitting_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;
        }
        auto work = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        work();
        lock.lock();
    }
}

void ScriptedAudioBackend::onEventThread(std::function<void()> work) {
    if (currentEventThreadOwner == this) {
        work();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    {
        std::lock_guard lock(queueMutex_);
        queue_.emplace_back([&] {
            work();
            std::lock_guard doneLock(doneMutex);
            done = true;
            doneChanged.notify_all();
        });
    }
    queueChanged_.notify_all();
    std::unique_lock doneLock(doneMutex);
    doneChanged.wait(doneLock, [&] { return done; });
}

void ScriptedAudioBackend::announce(AudioEvent event) {
    EventHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = eventHandler_;
    }
    if (handler) {
        onEventThread([&] { handler(event); });
    }
}

void ScriptedAudioBackend::throwIfFailing(Call call, const char* operation,
                                          std::unique_lock<std::mutex>& lock) {
    if (stalled_) {
        changed_.wait_for(lock, deadline_, [&] { return !stalled_; });
        if (stalled_) {
            throw AudioBackendError(AudioBackendError::timeout, operation,
                                    "the sound server did not answer in time");
        }
    }
    if (!connected_) {
        throw AudioBackendError(AudioBackendError::connectionTerminated, operation, "Connection terminated");
    }
    const auto failure = failures_.find(call);
    if (failure != failures_.end()) {
        const std::int32_t code = failure->second;
        failures_.erase(failure);
        throw AudioBackendError(code, operation, "scripted failure");
    }
}

std::uint32_t ScriptedAudioBackend::ownClientIndex() const {
    std::lock_guard lock(mutex_);
    if (!connected_) {
        throw AudioBackendError(AudioBackendError::connectionTerminated, "client_index",
                                "Connection terminated");
    }
    return ownClient_;
}

AudioGraph ScriptedAudioBackend::graph() {
    std::unique_lock lock(mutex_);
    throwIfFailing(Call::graph, "graph", lock);
    return graph_;
}

void ScriptedAudioBackend::setEventHandler(EventHandler handler) {
    std::lock_guard lock(mutex_);
    eventHandler_ = std::move(handler);
}

std::unique_ptr<RecordStream> ScriptedAudioBackend::openRecordStream(const RecordStreamRequest& request,
                                                                     RecordStreamHandler& handler) {
    std::unique_ptr<Stream> stream;
    {
        std::unique_lock lock(mutex_);
        throwIfFailing(Call::openRecordStream, "record_stream", lock);
        const AudioSourceInfo* source = graph_.sourceNamed(request.sourceName);
        if (source == nullptr) {
            throw AudioBackendError(AudioBackendError::noEntity, "record_stream", "No such entity");
        }
        if (request.monitorStream) {
            // As a server: only a playback stream that plays on the sink this
            // source monitors.
            const auto playing = std::find_if(
                graph_.playbackStreams.begin(), graph_.playbackStreams.end(),
                [&](const AudioStreamInfo& info) { return info.index == *request.monitorStream; });
            if (playing == graph_.playbackStreams.end() || !playing->device || !source->monitorOfSink ||
                *playing->device != *source->monitorOfSink) {
                throw AudioBackendError(AudioBackendError::noEntity, "record_stream", "No such entity");
            }
        }
        stream = std::make_unique<Stream>(*this, handler, request.sourceName,
                                          floatFormat(request.rate, request.channels), newIndex());
        stream->monitored = request.monitorStream;
        graph_.recordStreams.push_back(AudioStreamInfo{stream->index(), ownClient_, source->index, false,
                                                       false, graph_.clients.front().identity});
        openStreams_.push_back(stream.get());
    }
    announce(AudioEvent{AudioEvent::Facility::sourceOutput, AudioEvent::Type::added, stream->index()});
    return stream;
}

void ScriptedAudioBackend::closeStream(Stream* stream) {
    {
        std::lock_guard lock(mutex_);
        std::erase(openStreams_, stream);
        std::erase_if(graph_.recordStreams,
                      [&](const AudioStreamInfo& info) { return info.index == stream->index(); });
    }
    // A delivery that picked the stream before it left the list may still be
    // running: the stream must outlive it.
    barrier();
    announce(AudioEvent{AudioEvent::Facility::sourceOutput, AudioEvent::Type::removed, stream->index()});
}

std::unique_ptr<SoundPlayback> ScriptedAudioBackend::playSound(std::vector<std::int16_t> samples,
                                                               std::uint32_t,
                                                               std::function<void(bool played)> finished) {
    {
        std::unique_lock lock(mutex_);
        throwIfFailing(Call::playSound, "play_sound", lock);
        playedSamples_ += samples.size();
    }
    onEventThread([&] { finished(true); });
    return std::make_unique<SoundPlayback>();
}

std::size_t ScriptedAudioBackend::playedSamples() const {
    std::lock_guard lock(mutex_);
    return playedSamples_;
}

void ScriptedAudioBackend::barrier() {
    onEventThread([] {});
}

std::uint32_t ScriptedAudioBackend::addSource(const std::string& name, AudioFormat format) {
    std::uint32_t index = 0;
    {
        std::lock_guard lock(mutex_);
        index = newIndex();
        AudioSourceInfo info{index, name, std::move(format), std::nullopt};
        graph_.sources.push_back(info);
        sources_[name] = Source{info};
    }
    announce(AudioEvent{AudioEvent::Facility::source, AudioEvent::Type::added, index});
    return index;
}

std::uint32_t ScriptedAudioBackend::addSink(const std::string& name, AudioFormat format) {
    std::uint32_t index = 0;
    std::uint32_t monitor = 0;
    {
        std::lock_guard lock(mutex_);
        index = newIndex();
        monitor = newIndex();
        graph_.sinks.push_back(AudioSinkInfo{index, name, format, name + ".monitor"});
        AudioSourceInfo info{monitor, name + ".monitor", std::move(format), index};
        graph_.sources.push_back(info);
        sources_[info.name] = Source{info};
    }
    announce(AudioEvent{AudioEvent::Facility::sink, AudioEvent::Type::added, index});
    announce(AudioEvent{AudioEvent::Facility::source, AudioEvent::Type::added, monitor});
    return index;
}

void ScriptedAudioBackend::removeDevice(const std::string& name) {
    std::vector<AudioEvent> events;
    std::vector<std::string> gone{name};
    {
        std::lock_guard lock(mutex_);
        for (const AudioSinkInfo& sink : graph_.sinks) {
            if (sink.name == name) {
                events.push_back(
                    AudioEvent{AudioEvent::Facility::sink, AudioEvent::Type::removed, sink.index});
                gone.push_back(sink.monitorSourceName);
            }
        }
        std::erase_if(graph_.sinks, [&](const AudioSinkInfo& sink) { return sink.name == name; });
        for (const AudioSourceInfo& source : graph_.sources) {
            if (std::find(gone.begin(), gone.end(), source.name) != gone.end()) {
                events.push_back(
                    AudioEvent{AudioEvent::Facility::source, AudioEvent::Type::removed, source.index});
                sources_.erase(source.name);
            }
        }
        std::erase_if(graph_.sources, [&](const AudioSourceInfo& source) {
            return std::find(gone.begin(), gone.end(), source.name) != gone.end();
        });
        for (std::string* defaultName : {&graph_.defaultSourceName, &graph_.defaultSinkName}) {
            if (std::find(gone.begin(), gone.end(), *defaultName) != gone.end()) {
                defaultName->clear();
                events.push_back(AudioEvent{AudioEvent::Facility::server, AudioEvent::Type::changed, 0});
            }
        }
    }
    failStreams(
        [&](const Stream& stream) {
            return std::find(gone.begin(), gone.end(), stream.sourceName) != gone.end();
        },
        AudioBackendError::killed);
    for (const AudioEvent& event : events) {
        announce(event);
    }
}

void ScriptedAudioBackend::failStreams(std::function<bool(const Stream&)> which, std::int32_t code) {
    onEventThread([&] {
        std::vector<Stream*> failing;
        {
            std::lock_guard lock(mutex_);
            for (Stream* stream : openStreams_) {
                if (!stream->ended && which(*stream)) {
                    stream->ended = true;
                    failing.push_back(stream);
                }
            }
        }
        for (Stream* stream : failing) {
            stream->handler.onStreamFailed(code, code == AudioBackendError::killed ? "Entity killed"
                                                                                   : "Connection terminated");
        }
    });
}

void ScriptedAudioBackend::setDefaults(const std::string& sourceName, const std::string& sinkName,
                                       bool announced) {
    {
        std::lock_guard lock(mutex_);
        graph_.defaultSourceName = sourceName;
        graph_.defaultSinkName = sinkName;
    }
    if (announced) {
        announce(AudioEvent{AudioEvent::Facility::server, AudioEvent::Type::changed, 0});
    }
}

std::uint32_t ScriptedAudioBackend::addClient(AudioClientIdentity identity) {
    std::uint32_t index = 0;
    {
        std::lock_guard lock(mutex_);
        index = newIndex();
        graph_.clients.push_back(AudioClientInfo{index, std::move(identity), std::nullopt});
    }
    announce(AudioEvent{AudioEvent::Facility::client, AudioEvent::Type::added, index});
    return index;
}

std::uint32_t ScriptedAudioBackend::addRecordStream(std::optional<std::uint32_t> client,
                                                    std::optional<std::uint32_t> source, bool corked,
                                                    bool peakDetect) {
    return addStream(true, client, source, corked, peakDetect);
}

std::uint32_t ScriptedAudioBackend::addPlaybackStream(std::optional<std::uint32_t> client,
                                                      std::optional<std::uint32_t> sink, bool corked) {
    return addStream(false, client, sink, corked, false);
}

std::uint32_t ScriptedAudioBackend::addStream(bool record, std::optional<std::uint32_t> client,
                                              std::optional<std::uint32_t> device, bool corked,
                                              bool peakDetect) {
    std::uint32_t index = 0;
    {
        std::lock_guard lock(mutex_);
        index = newIndex();
        const AudioClientInfo* owner = client ? graph_.client(*client) : nullptr;
        (record ? graph_.recordStreams : graph_.playbackStreams)
            .push_back(AudioStreamInfo{index, client, device, corked, peakDetect,
                                       owner ? owner->identity : AudioClientIdentity{}});
    }
    announce(AudioEvent{record ? AudioEvent::Facility::sourceOutput : AudioEvent::Facility::sinkInput,
                        AudioEvent::Type::added, index});
    return index;
}

AudioStreamInfo* ScriptedAudioBackend::scriptedStream(std::uint32_t index) {
    for (auto* streams : {&graph_.recordStreams, &graph_.playbackStreams}) {
        for (AudioStreamInfo& stream : *streams) {
            if (stream.index == index) {
                return &stream;
            }
        }
    }
    return nullptr;
}

void ScriptedAudioBackend::updateStream(std::uint32_t index, std::optional<std::uint32_t> device,
                                        bool corked) {
    AudioEvent event{AudioEvent::Facility::sourceOutput, AudioEvent::Type::changed, index};
    bool moved = false;
    {
        std::lock_guard lock(mutex_);
        AudioStreamInfo* stream = scriptedStream(index);
        if (stream == nullptr) {
            return;
        }
        moved = stream->device != device;
        stream->device = device;
        stream->corked = corked;
        if (std::none_of(graph_.recordStreams.begin(), graph_.recordStreams.end(),
                         [&](const AudioStreamInfo& record) { return record.index == index; })) {
            event.facility = AudioEvent::Facility::sinkInput;
        }
    }
    if (moved && event.facility == AudioEvent::Facility::sinkInput) {
        // A server ends the record streams that monitor a playback stream
        // when it moves.
        failStreams([&](const Stream& monitor) { return monitor.monitored == index; },
                    AudioBackendError::killed);
    }
    announce(event);
}

void ScriptedAudioBackend::removeStream(std::uint32_t index) {
    AudioEvent event{AudioEvent::Facility::sourceOutput, AudioEvent::Type::removed, index};
    {
        std::lock_guard lock(mutex_);
        const auto matches = [&](const AudioStreamInfo& stream) { return stream.index == index; };
        if (std::erase_if(graph_.playbackStreams, matches) > 0) {
            event.facility = AudioEvent::Facility::sinkInput;
        }
        std::erase_if(graph_.recordStreams, matches);
        playbackSignals_.erase(index);
    }
    if (event.facility == AudioEvent::Facility::sinkInput) {
        failStreams([&](const Stream& monitor) { return monitor.monitored == index; },
                    AudioBackendError::killed);
    }
    announce(event);
}

void ScriptedAudioBackend::setSignal(const std::string& sourceName, ScriptedSignal signal) {
    std::lock_guard lock(mutex_);
    const auto source = sources_.find(sourceName);
    if (source != sources_.end()) {
        source->second.signal = std::move(signal);
    }
}

void ScriptedAudioBackend::setPlaybackSignal(std::uint32_t playbackStream, ScriptedSignal signal) {
    std::lock_guard lock(mutex_);
    playbackSignals_[playbackStream] = std::move(signal);
}

void ScriptedAudioBackend::deliver(const std::string& sourceName, std::uint64_t frames,
                                   std::uint64_t receivedNanos) {
    onEventThread([&] { deliverOnEventThread(sourceName, frames, receivedNanos, false); });
}

void ScriptedAudioBackend::lose(const std::string& sourceName, std::uint64_t frames) {
    onEventThread([&] { deliverOnEventThread(sourceName, frames, 0, true); });
}

// On the event thread. The streams picked here stay alive until it returns
// (`closeStream` waits for the event thread).
void ScriptedAudioBackend::deliverOnEventThread(const std::string& sourceName, std::uint64_t frames,
                                                std::uint64_t received, bool hole) {
    std::vector<std::pair<Stream*, ScriptedSignal>> streams;
    std::uint32_t sourceRate = 0;
    {
        std::lock_guard lock(mutex_);
        const auto source = sources_.find(sourceName);
        if (source == sources_.end() || !connected_) {
            return;
        }
        sourceRate = source->second.info.format.rate;
        for (Stream* stream : openStreams_) {
            if (stream->sourceName == sourceName && !stream->ended) {
                ScriptedSignal signal = source->second.signal;
                if (stream->monitored) {
                    const auto played = playbackSignals_.find(*stream->monitored);
                    signal = played != playbackSignals_.end() ? played->second : ScriptedSignal::silence();
                }
                streams.emplace_back(stream, std::move(signal));
            }
        }
    }
    for (auto& [stream, signal] : streams) {
        const std::uint32_t rate = stream->format().rate;
        const std::uint32_t channels = stream->format().channels;
        // The server converts the source's rate to the stream's.
        const std::uint64_t count = sourceRate == 0 ? frames : frames * rate / sourceRate;
        if (!hole && count > 0) {
            stream->buffer.resize(count * channels);
            for (std::uint64_t frame = 0; frame < count; ++frame) {
                for (std::uint32_t channel = 0; channel < channels; ++channel) {
                    stream->buffer[frame * channels + channel] =
                        signal.at(stream->nextFrame + frame, channel, rate);
                }
            }
            RecordedAudio audio;
            audio.samples = stream->buffer;
            audio.firstFrame = stream->nextFrame;
            audio.receivedNanos = received;
            stream->handler.onAudio(audio);
        }
        stream->nextFrame += count;
    }
}

void ScriptedAudioBackend::runInRealTime(std::chrono::milliseconds period) {
    stopRealTime();
    std::lock_guard lock(realTimeMutex_);
    realTimeRunning_ = true;
    realTimeThread_ = std::thread([this, period] {
        std::unique_lock running(realTimeMutex_);
        auto next = std::chrono::steady_clock::now();
        while (realTimeRunning_) {
            next += period;
            realTimeChanged_.wait_until(running, next, [&] { return !realTimeRunning_; });
            if (!realTimeRunning_) {
                return;
            }
            std::vector<std::pair<std::string, std::uint32_t>> sources;
            {
                std::lock_guard graphLock(mutex_);
                if (stalled_) {
                    continue;
                }
                for (const auto& [name, source] : sources_) {
                    sources.emplace_back(name, source.info.format.rate);
                }
            }
            const auto periodNanos = static_cast<std::uint64_t>(std::chrono::nanoseconds(period).count());
            for (const auto& [name, rate] : sources) {
                deliver(name, rate * periodNanos / 1'000'000'000u, HostClock::nanos());
            }
        }
    });
}

void ScriptedAudioBackend::stopRealTime() {
    std::thread thread;
    {
        std::lock_guard lock(realTimeMutex_);
        realTimeRunning_ = false;
        thread = std::move(realTimeThread_);
    }
    realTimeChanged_.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

void ScriptedAudioBackend::failNext(Call call, std::int32_t code) {
    std::lock_guard lock(mutex_);
    failures_[call] = code;
}

void ScriptedAudioBackend::setStalled(bool stalled) {
    {
        std::lock_guard lock(mutex_);
        stalled_ = stalled;
    }
    changed_.notify_all();
}

void ScriptedAudioBackend::disconnect() {
    {
        std::lock_guard lock(mutex_);
        connected_ = false;
    }
    changed_.notify_all();
    failStreams([](const Stream&) { return true; }, AudioBackendError::connectionTerminated);
    announce(AudioEvent{AudioEvent::Facility::connection, AudioEvent::Type::removed, 0});
}

void ScriptedAudioBackend::reconnect() {
    {
        std::lock_guard lock(mutex_);
        connected_ = true;
    }
    changed_.notify_all();
}

std::size_t ScriptedAudioBackend::openStreamCount() const {
    std::lock_guard lock(mutex_);
    return openStreams_.size();
}

} // namespace zoq
