#pragma once

#include "ZoqCaptureEngine/AudioClientIdentity.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zoq {

/// A device's or stream's sample format as the sound server reports it.
struct AudioFormat {
    /// The server's name of the sample format ("float32le", "s16le").
    std::string sampleFormat;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    /// Channel positions by the server's names ("front-left", "mono").
    std::vector<std::string> channelMap;

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

/// A source: a capture device, a remapped or virtual source, or a sink's monitor.
struct AudioSourceInfo {
    std::uint32_t index = 0;
    std::string name;
    AudioFormat format;
    /// The sink this source monitors; absent for sources that capture.
    std::optional<std::uint32_t> monitorOfSink;

    friend bool operator==(const AudioSourceInfo&, const AudioSourceInfo&) = default;
};

/// A sink: a playback device or a virtual one.
struct AudioSinkInfo {
    std::uint32_t index = 0;
    std::string name;
    AudioFormat format;
    /// The name of the source that carries what this sink plays.
    std::string monitorSourceName;

    friend bool operator==(const AudioSinkInfo&, const AudioSinkInfo&) = default;
};

/// A connection to the sound server.
struct AudioClientInfo {
    std::uint32_t index = 0;
    AudioClientIdentity identity;
    /// "pipewire.sec.pid" on the client's own property list. PipeWire sets it
    /// there from the socket's credentials and keeps the client from changing
    /// it; PulseAudio shows whatever the client set. Only
    /// `ProcessScanner::identityOf` decides whether it means anything.
    std::optional<std::int32_t> credentialPid;

    friend bool operator==(const AudioClientInfo&, const AudioClientInfo&) = default;
};

/// A record stream (source output) or a playback stream (sink input).
struct AudioStreamInfo {
    std::uint32_t index = 0;
    /// The client that owns the stream; absent for streams the server made for
    /// itself (a module's own stream, such as a remapped source's).
    std::optional<std::uint32_t> client;
    /// The source (record) or sink (playback) the stream is linked to; absent
    /// while it is not linked yet.
    std::optional<std::uint32_t> device;
    bool corked = false;
    /// A level meter: the stream delivers peaks, not audio.
    bool peakDetect = false;
    /// What the stream's property list tells about its client.
    AudioClientIdentity identity;

    friend bool operator==(const AudioStreamInfo&, const AudioStreamInfo&) = default;
};

/// One consistent reading of the sound server's objects.
struct AudioGraph {
    /// The server's own name for itself ("pulseaudio", "PulseAudio (on
    /// PipeWire 0.3.65)"): which credentials it vouches for depends on it.
    std::string serverName;
    std::string defaultSourceName;
    std::string defaultSinkName;
    std::vector<AudioSourceInfo> sources;
    std::vector<AudioSinkInfo> sinks;
    std::vector<AudioClientInfo> clients;
    std::vector<AudioStreamInfo> recordStreams;
    std::vector<AudioStreamInfo> playbackStreams;

    const AudioSourceInfo* sourceNamed(const std::string& name) const noexcept;
    const AudioSinkInfo* sinkNamed(const std::string& name) const noexcept;
    const AudioClientInfo* client(std::uint32_t index) const noexcept;

    friend bool operator==(const AudioGraph&, const AudioGraph&) = default;
};

/// A change the server announced. `connection` + `removed` means the
/// connection to the server is gone; nothing more will be announced.
struct AudioEvent {
    enum class Facility : std::uint8_t { server, source, sink, sourceOutput, sinkInput, client, connection };
    enum class Type : std::uint8_t { added, changed, removed };

    Facility facility = Facility::server;
    Type type = Type::changed;
    std::uint32_t index = 0;

    friend bool operator==(const AudioEvent&, const AudioEvent&) = default;
};

/// What a record stream asks for. The stream delivers 32-bit float samples,
/// interleaved, at exactly this rate and channel count (the server converts).
struct RecordStreamRequest {
    /// The source to record, by name. Never a "@DEFAULT_…@" alias: the caller
    /// resolves the device, so the stream records what it was meant to.
    std::string sourceName;
    std::uint32_t rate = 48'000;
    std::uint32_t channels = 1;
    /// The fragment the server delivers at once (10 ms rather than the
    /// server's default of seconds).
    std::uint32_t fragmentFrames = 480;
    /// "media.name" of the stream.
    std::string streamName = "zoq";
    /// Records only this playback stream (a sink input) rather than the whole
    /// source: `sourceName` is then the monitor of the sink it plays on. The
    /// server ends the record stream when the playback stream ends or moves.
    std::optional<std::uint32_t> monitorStream;
};

/// One delivery of a record stream.
struct RecordedAudio {
    /// Interleaved float samples, whole frames; valid only during the call.
    std::span<const float> samples;
    /// The stream's frame counter at the first frame: every frame the server
    /// produced for this stream since it opened, holes included, so a hole in
    /// the data shows as a jump of the counter.
    std::uint64_t firstFrame = 0;
    /// Host time (CLOCK_MONOTONIC nanoseconds) at which the audio arrived:
    /// just after its last frame was captured, plus the server's delivery
    /// delay and any scheduling delay.
    std::uint64_t receivedNanos = 0;
    /// The server reported an overflow of the stream since the delivery
    /// before: audio was lost here, how much only the host times can tell.
    bool lossBefore = false;
};

/// Receives a record stream's audio on the backend's event thread. Both calls
/// must return quickly and never call back into the backend.
class RecordStreamHandler {
public:
    virtual ~RecordStreamHandler() = default;
    virtual void onAudio(const RecordedAudio& audio) noexcept = 0;
    /// The stream ended on the server's side (the device went away, the
    /// server or the connection failed). `error` is the server's error code.
    virtual void onStreamFailed(std::int32_t error, const std::string& text) noexcept = 0;
};

/// An open record stream. Destroying it disconnects the stream; when the
/// destructor returns no callback of it runs or will run.
class RecordStream {
public:
    virtual ~RecordStream() = default;
    /// The format the stream delivers (float32, the requested rate and channels).
    virtual const AudioFormat& format() const noexcept = 0;
    /// The server's index of this stream (a source output).
    virtual std::uint32_t index() const noexcept = 0;
};

/// A short sound being played. Destroying it stops playback; once the
/// destructor returns, its completion is never called.
class SoundPlayback {
public:
    virtual ~SoundPlayback() = default;
};

/// The narrow interface to the sound server, and the only one: nothing above
/// it knows how the server is reached. One connection; every callback (event
/// handler and record stream handlers) runs on the backend's one event thread,
/// one at a time.
///
/// Every call may block for at most the backend's deadline and then throws
/// `AudioBackendError` with `timeout`. Calls other than `barrier()` must not be
/// made from the event thread.
class AudioBackend {
public:
    using EventHandler = std::function<void(const AudioEvent&)>;

    virtual ~AudioBackend() = default;

    /// The server's index of this connection's client: every stream this
    /// backend opens belongs to it.
    virtual std::uint32_t ownClientIndex() const = 0;

    /// Reads the server's defaults, devices, clients and streams. Throws
    /// `AudioBackendError`.
    virtual AudioGraph graph() = 0;

    /// Sets (or with an empty function clears) the one handler of server
    /// events. The subscription covers the server's defaults, sources, sinks,
    /// clients and both kinds of streams. Throws `AudioBackendError`.
    virtual void setEventHandler(EventHandler handler) = 0;

    /// Opens a record stream and waits until it runs; `handler` must outlive
    /// the stream. Throws `AudioBackendError` (the server's code when it
    /// refused: `accessDenied` for access reasons).
    virtual std::unique_ptr<RecordStream> openRecordStream(const RecordStreamRequest& request,
                                                           RecordStreamHandler& handler) = 0;

    /// Returns once no callback that began before the call is still running.
    /// Called on the event thread itself it returns at once.
    virtual void barrier() = 0;

    /// Plays `samples` (signed 16-bit mono at `rate`) once on the default
    /// sink, as an event sound at full volume. `finished` runs once on the
    /// event thread: true when the server played every sample, false when the
    /// stream failed. Throws `AudioBackendError` when playback cannot start.
    virtual std::unique_ptr<SoundPlayback> playSound(std::vector<std::int16_t> samples, std::uint32_t rate,
                                                     std::function<void(bool played)> finished) = 0;
};

} // namespace zoq
