#pragma once

#include "ZoqCaptureEngine/AudioBackend.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace zoq {

/// What a scripted source captures: a sine tone, or the samples of a WAV file
/// played in a loop (16-bit integer or 32-bit float PCM; stream channel c
/// takes the file's channel c, or its last one).
class ScriptedSignal {
public:
    static ScriptedSignal silence() { return tone(0, 0); }
    static ScriptedSignal tone(double frequency, float amplitude);
    /// Throws `AudioBackendError` (`invalidArgument`, "wav") for a file that
    /// cannot be read or is not such a WAV file.
    static ScriptedSignal wav(const std::filesystem::path& path);

    /// The sample of frame `frame` (counted at `rate`) on channel `channel`.
    float at(std::uint64_t frame, std::uint32_t channel, std::uint32_t rate) const noexcept;

private:
    double frequency_ = 0;
    float amplitude_ = 0;
    std::shared_ptr<const std::vector<float>> samples_;
    std::uint32_t channels_ = 1;
};

/// The `AudioBackend` for tests and headless runs: a sound server played from
/// a script. The script adds devices, clients and streams (each change is
/// announced to the event handler, like a server's subscription), sets what
/// each source captures, and delivers audio to the record streams opened on a
/// source, either step by step (`deliver`, with the host times the test wants)
/// or in real time (`runInRealTime`). Faults: losing audio (a hole), a
/// stalled server (every call waits for the deadline and times out), a call
/// that fails with a given code, and a lost connection.
///
/// Like the real backend, every callback runs on one event thread of its own;
/// the script's operations may be called from any thread and return once
/// their callbacks have run. The backend's own client is created with it.
class ScriptedAudioBackend final : public AudioBackend {
public:
    enum class Call : std::uint8_t { graph, openRecordStream, playSound };

    explicit ScriptedAudioBackend(std::chrono::milliseconds deadline = std::chrono::milliseconds(500));
    ~ScriptedAudioBackend() override;

    std::uint32_t ownClientIndex() const override;
    AudioGraph graph() override;
    void setEventHandler(EventHandler handler) override;
    std::unique_ptr<RecordStream> openRecordStream(const RecordStreamRequest& request,
                                                   RecordStreamHandler& handler) override;
    void barrier() override;
    /// Plays at once: `finished(true)` runs on the event thread before this
    /// returns (`failNext(Call::playSound, …)` makes it throw instead).
    std::unique_ptr<SoundPlayback> playSound(std::vector<std::int16_t> samples, std::uint32_t rate,
                                             std::function<void(bool played)> finished) override;
    /// Samples of every sound played so far.
    std::size_t playedSamples() const;

    /// 32-bit float at `rate`, mono or front-left/front-right (then "aux").
    static AudioFormat floatFormat(std::uint32_t rate, std::uint32_t channels);

    // The graph. Indices are unique across all kinds of objects.
    std::uint32_t addSource(const std::string& name, AudioFormat format);
    /// Adds the sink and its monitor source "NAME.monitor".
    std::uint32_t addSink(const std::string& name, AudioFormat format);
    /// Removes the device (a sink with its monitor); the record streams on it
    /// end with `onStreamFailed`, as a server kills them.
    void removeDevice(const std::string& name);
    /// Changes the default devices; `announced` false leaves the change
    /// unannounced, as a server may under load.
    void setDefaults(const std::string& sourceName, const std::string& sinkName, bool announced = true);
    std::uint32_t addClient(AudioClientIdentity identity);
    /// A record stream of another client (or of none: a server-internal one),
    /// on a source by index (absent: not linked yet).
    std::uint32_t addRecordStream(std::optional<std::uint32_t> client, std::optional<std::uint32_t> source,
                                  bool corked, bool peakDetect = false);
    std::uint32_t addPlaybackStream(std::optional<std::uint32_t> client, std::optional<std::uint32_t> sink,
                                    bool corked);
    /// Links, corks or uncorks a stream added by the script.
    void updateStream(std::uint32_t index, std::optional<std::uint32_t> device, bool corked);
    void removeStream(std::uint32_t index);

    // Audio.
    void setSignal(const std::string& sourceName, ScriptedSignal signal);
    /// What a playback stream plays, as a record stream that monitors it
    /// alone captures it (silence until set). The sink's monitor keeps its
    /// own signal: the script decides what the whole mix sounds like. Record
    /// streams that monitor a playback stream end (`killed`) when it moves
    /// or is removed.
    void setPlaybackSignal(std::uint32_t playbackStream, ScriptedSignal signal);
    /// Delivers the next `frames` frames of the source to every stream open on
    /// it, in one callback each, arriving at host time `receivedNanos`.
    void deliver(const std::string& sourceName, std::uint64_t frames, std::uint64_t receivedNanos);
    /// The source loses `frames` frames: the streams' counters skip them.
    void lose(const std::string& sourceName, std::uint64_t frames);
    /// Delivers every `period` to every open stream the period's audio,
    /// arriving on the host clock, until `stopRealTime()` or destruction.
    void runInRealTime(std::chrono::milliseconds period);
    void stopRealTime();

    // Faults.
    /// The next call of that kind fails with `code`.
    void failNext(Call call, std::int32_t code);
    /// While stalled, calls wait for the deadline and throw `timeout`, and no
    /// audio is delivered in real time.
    void setStalled(bool stalled);
    /// The connection is lost: open streams end, the event handler hears of
    /// it, and every later call throws `connectionTerminated`.
    void disconnect();
    /// The server is back: calls work again. What the loss ended stays ended.
    void reconnect();

    /// Record streams opened through `openRecordStream` and still open.
    std::size_t openStreamCount() const;

    class Stream;

private:
    struct Source {
        AudioSourceInfo info;
        ScriptedSignal signal = ScriptedSignal::silence();
    };

    void onEventThread(std::function<void()> work);
    void announce(AudioEvent event);
    void throwIfFailing(Call call, const char* operation, std::unique_lock<std::mutex>& lock);
    std::uint32_t newIndex() { return nextIndex_++; }
    void closeStream(Stream* stream);
    void failStreams(std::function<bool(const Stream&)> which, std::int32_t code);
    void deliverOnEventThread(const std::string& sourceName, std::uint64_t frames, std::uint64_t received,
                              bool hole);
    AudioStreamInfo* scriptedStream(std::uint32_t index);
    std::uint32_t addStream(bool record, std::optional<std::uint32_t> client,
                            std::optional<std::uint32_t> device, bool corked, bool peakDetect);
    void eventLoop();

    std::chrono::milliseconds deadline_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by mutex_.
    AudioGraph graph_;
    std::map<std::string, Source> sources_;
    std::map<std::uint32_t, ScriptedSignal> playbackSignals_;
    std::vector<Stream*> openStreams_;
    std::uint32_t nextIndex_ = 1;
    std::uint32_t ownClient_ = 0;
    std::map<Call, std::int32_t> failures_;
    std::size_t playedSamples_ = 0;
    bool stalled_ = false;
    bool connected_ = true;
    EventHandler eventHandler_;

    // The event thread and its queue, guarded by queueMutex_.
    std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    std::deque<std::function<void()>> queue_;
    bool quitting_ = false;
    std::thread eventThread_;

    std::mutex realTimeMutex_;
    std::condition_variable realTimeChanged_;
    bool realTimeRunning_ = false;
    std::thread realTimeThread_;
};

} // namespace zoq
