#include "ZoqCaptureEngine/LibpulseBackend.h"

#include "ZoqCaptureEngine/AudioBackendError.h"
#include "ZoqCaptureEngine/PulseHandles.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Wire/UnicodeText.h"

#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

namespace zoq {
namespace {

AudioBackendError errorOf(std::int32_t code, const char* operation) {
    if (code == PA_OK) {
        code = PA_ERR_CONNECTIONTERMINATED;
    }
    return AudioBackendError(code, operation, pa_strerror(code));
}

AudioBackendError contextError(pa_context* context, const char* operation) {
    return errorOf(pa_context_errno(context), operation);
}

/// A property as text. `pa_proplist_gets` answers nothing for a value that
/// is not valid UTF-8, which would make a client that sets such an
/// application id nameless: the raw bytes are read instead (up to the first
/// NUL, which ends a property set as a string) and shown with replacement
/// characters.
std::string stringProperty(const pa_proplist* list, const char* key) {
    const void* data = nullptr;
    std::size_t size = 0;
    if (pa_proplist_get(list, key, &data, &size) != 0 || data == nullptr) {
        return {};
    }
    const std::string_view bytes(static_cast<const char*>(data), size);
    return unicode::withReplacementCharacters(bytes.substr(0, bytes.find('\0')));
}

std::optional<std::int32_t> pidProperty(const pa_proplist* list, const char* key) {
    const char* value = pa_proplist_gets(list, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    std::int32_t pid = 0;
    const char* end = value + std::strlen(value);
    const auto [last, error] = std::from_chars(value, end, pid);
    if (error != std::errc() || last != end) {
        return std::nullopt;
    }
    return pid;
}

} // namespace

AudioClientIdentity LibpulseBackend::identityOf(const pa_proplist* list) {
    // Every key here is the client's to set, "pipewire.sec.pid" on a stream
    // included: the one credential a server vouches for is read from the
    // client's own list (`credentialPidOf`) and judged by the scanner.
    AudioClientIdentity identity;
    identity.claimedPid = pidProperty(list, PA_PROP_APPLICATION_PROCESS_ID);
    identity.portalAppId = stringProperty(list, "pipewire.access.portal.app_id");
    identity.processBinary = stringProperty(list, PA_PROP_APPLICATION_PROCESS_BINARY);
    identity.applicationId = stringProperty(list, PA_PROP_APPLICATION_ID);
    identity.applicationName = stringProperty(list, PA_PROP_APPLICATION_NAME);
    return identity;
}

std::optional<std::int32_t> LibpulseBackend::credentialPidOf(const pa_proplist* list) {
    return pidProperty(list, "pipewire.sec.pid");
}

namespace {

AudioFormat formatOf(const pa_sample_spec& sampleSpec, const pa_channel_map& map) {
    AudioFormat format;
    const char* name = pa_sample_format_to_string(sampleSpec.format);
    format.sampleFormat = name == nullptr ? "invalid" : name;
    format.rate = sampleSpec.rate;
    format.channels = sampleSpec.channels;
    for (int channel = 0; channel < map.channels; ++channel) {
        const char* position = pa_channel_position_to_string(map.map[channel]);
        format.channelMap.emplace_back(position == nullptr ? "invalid" : position);
    }
    return format;
}

std::optional<std::uint32_t> indexOrNone(std::uint32_t index) {
    if (index == PA_INVALID_INDEX) {
        return std::nullopt;
    }
    return index;
}

std::optional<AudioEvent::Facility> facilityOf(unsigned facility) {
    switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SERVER:
        return AudioEvent::Facility::server;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
        return AudioEvent::Facility::source;
    case PA_SUBSCRIPTION_EVENT_SINK:
        return AudioEvent::Facility::sink;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
        return AudioEvent::Facility::sourceOutput;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
        return AudioEvent::Facility::sinkInput;
    case PA_SUBSCRIPTION_EVENT_CLIENT:
        return AudioEvent::Facility::client;
    default:
        return std::nullopt;
    }
}

AudioEvent::Type typeOf(unsigned type) {
    switch (type) {
    case PA_SUBSCRIPTION_EVENT_NEW:
        return AudioEvent::Type::added;
    case PA_SUBSCRIPTION_EVENT_REMOVE:
        return AudioEvent::Type::removed;
    default:
        return AudioEvent::Type::changed;
    }
}

} // namespace

/// The connection, shared by the backend and its record streams so that a
/// stream can always take the mainloop lock to close itself.
struct LibpulseBackend::Connection {
    pulse::Mainloop mainloop;
    pa_mainloop_api* api = nullptr;
    pulse::Context context;
    pa_usec_t deadline = 0;
    // Touched only with the mainloop locked.
    EventHandler eventHandler;
    bool connectionLossAnnounced = false;

    ~Connection() {
        if (mainloop && context) {
            pulse::Lock lock(loop());
            context.reset();
        }
    }

    pa_threaded_mainloop* loop() const noexcept { return mainloop.get(); }

    /// Blocking calls wait on the mainloop's condition, which only the event
    /// thread can signal: waiting on the event thread itself would never end.
    void refuseEventThread(const char* operation) const {
        if (pa_threaded_mainloop_in_thread(loop()) != 0) {
            throw AudioBackendError(PA_ERR_BADSTATE, operation, "called on the sound server's event thread");
        }
    }

    /// Waits, with the mainloop locked, until `done()`; throws when the
    /// connection fails or the deadline passes first. A timer wakes the wait at
    /// the deadline, because the mainloop's own wait has no time limit.
    template <class Done>
    void waitFor(Done done, const char* operation) {
        const pa_usec_t limit = pa_rtclock_now() + deadline;
        pulse::TimeEvent timer(api, pa_context_rttime_new(context.get(), limit, &onTimer, loop()));
        while (!done()) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get()))) {
                throw contextError(context.get(), operation);
            }
            if (pa_rtclock_now() >= limit) {
                throw AudioBackendError(PA_ERR_TIMEOUT, operation, "the sound server did not answer in time");
            }
            pa_threaded_mainloop_wait(loop());
        }
    }

    void requireReady(const char* operation) const {
        if (pa_context_get_state(context.get()) != PA_CONTEXT_READY) {
            throw contextError(context.get(), operation);
        }
    }

    static void onTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* loop) noexcept {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }

    static void onContextState(pa_context* context, void* userdata) noexcept {
        auto* self = static_cast<Connection*>(userdata);
        const pa_context_state_t state = pa_context_get_state(context);
        if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) &&
            !self->connectionLossAnnounced && self->eventHandler) {
            self->connectionLossAnnounced = true;
            self->deliver(AudioEvent{AudioEvent::Facility::connection, AudioEvent::Type::removed, 0});
        }
        pa_threaded_mainloop_signal(self->loop(), 0);
    }

    static void onSubscription(pa_context*, pa_subscription_event_type_t event, std::uint32_t index,
                               void* userdata) noexcept {
        auto* self = static_cast<Connection*>(userdata);
        const auto facility = facilityOf(event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK);
        if (facility && self->eventHandler) {
            self->deliver(AudioEvent{*facility, typeOf(event & PA_SUBSCRIPTION_EVENT_TYPE_MASK), index});
        }
    }

    void deliver(const AudioEvent& event) noexcept {
        try {
            eventHandler(event);
        } catch (...) {
            // A handler must not throw; the event thread carries on regardless.
        }
    }
};

namespace {

using Connection = LibpulseBackend::Connection;

/// Collects the replies of the six introspection requests of one graph read.
/// Lives on the reader's stack: the requests are cancelled before it goes.
struct GraphReading {
    pa_threaded_mainloop* loop = nullptr;
    AudioGraph graph;
    int pending = 0;
    bool failed = false;

    /// One list reply: `add` for each item, then an end (eol > 0) or an error
    /// (eol < 0), which also ends the list.
    template <class Info, class Add>
    static void onItem(const Info* info, int eol, void* userdata, Add add) noexcept {
        auto* self = static_cast<GraphReading*>(userdata);
        if (eol != 0) {
            self->failed = self->failed || eol < 0;
            --self->pending;
        } else if (info != nullptr) {
            try {
                add(self->graph, *info);
            } catch (...) {
                self->failed = true;
            }
        }
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    static void onServer(pa_context*, const pa_server_info* info, void* userdata) noexcept {
        auto* self = static_cast<GraphReading*>(userdata);
        try {
            if (info == nullptr) {
                self->failed = true;
            } else {
                self->graph.serverName = info->server_name ? info->server_name : "";
                self->graph.defaultSourceName = info->default_source_name ? info->default_source_name : "";
                self->graph.defaultSinkName = info->default_sink_name ? info->default_sink_name : "";
            }
        } catch (...) {
            self->failed = true;
        }
        --self->pending;
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    static void onSource(pa_context*, const pa_source_info* info, int eol, void* userdata) noexcept {
        onItem(info, eol, userdata, [](AudioGraph& into, const pa_source_info& source) {
            into.sources.push_back(AudioSourceInfo{source.index, source.name ? source.name : "",
                                                   formatOf(source.sample_spec, source.channel_map),
                                                   indexOrNone(source.monitor_of_sink)});
        });
    }

    static void onSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) noexcept {
        onItem(info, eol, userdata, [](AudioGraph& into, const pa_sink_info& sink) {
            into.sinks.push_back(AudioSinkInfo{sink.index, sink.name ? sink.name : "",
                                               formatOf(sink.sample_spec, sink.channel_map),
                                               sink.monitor_source_name ? sink.monitor_source_name : ""});
        });
    }

    static void onClient(pa_context*, const pa_client_info* info, int eol, void* userdata) noexcept {
        onItem(info, eol, userdata, [](AudioGraph& into, const pa_client_info& client) {
            into.clients.push_back(AudioClientInfo{client.index, LibpulseBackend::identityOf(client.proplist),
                                                   LibpulseBackend::credentialPidOf(client.proplist)});
        });
    }

    static void onSourceOutput(pa_context*, const pa_source_output_info* info, int eol,
                               void* userdata) noexcept {
        onItem(info, eol, userdata, [](AudioGraph& into, const pa_source_output_info& output) {
            // A level meter asks for peak detection. PulseAudio shows it only
            // as its "peaks" resampler; pipewire-pulse marks the stream as a
            // monitoring one.
            const bool peaks =
                (output.resample_method != nullptr && std::strcmp(output.resample_method, "peaks") == 0) ||
                stringProperty(output.proplist, "stream.monitor") == "true";
            into.recordStreams.push_back(
                AudioStreamInfo{output.index, indexOrNone(output.client), indexOrNone(output.source),
                                output.corked != 0, peaks, LibpulseBackend::identityOf(output.proplist)});
        });
    }

    static void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) noexcept {
        onItem(info, eol, userdata, [](AudioGraph& into, const pa_sink_input_info& input) {
            into.playbackStreams.push_back(AudioStreamInfo{input.index, indexOrNone(input.client),
                                                           indexOrNone(input.sink), input.corked != 0, false,
                                                           LibpulseBackend::identityOf(input.proplist)});
        });
    }
};

struct SuccessReply {
    pa_threaded_mainloop* loop = nullptr;
    std::optional<bool> success;

    static void on(pa_context*, int success, void* userdata) noexcept {
        auto* self = static_cast<SuccessReply*>(userdata);
        self->success = success != 0;
        pa_threaded_mainloop_signal(self->loop, 0);
    }
};

pulse::Operation started(pa_operation* operation, pa_context* context, const char* name) {
    if (operation == nullptr) {
        throw contextError(context, name);
    }
    return pulse::Operation(operation);
}

/// One record stream. Its callbacks run on the event thread with the mainloop
/// locked; closing takes the same lock and clears them, so none runs after.
class LibpulseRecordStream final : public RecordStream {
public:
    LibpulseRecordStream(std::shared_ptr<Connection> connection, RecordStreamHandler& handler,
                         const RecordStreamRequest& request)
        : connection_(std::move(connection)), handler_(handler), channels_(request.channels),
          frameBytes_(sizeof(float) * request.channels) {}

    ~LibpulseRecordStream() override {
        pulse::Lock lock(connection_->loop());
        stream_.reset();
    }

    const AudioFormat& format() const noexcept override { return format_; }
    std::uint32_t index() const noexcept override { return index_; }

    /// With the mainloop locked.
    void open(const RecordStreamRequest& request) {
        pa_context* context = connection_->context.get();
        const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, request.rate,
                                        static_cast<std::uint8_t>(request.channels)};
        pa_channel_map map;
        if (pa_sample_spec_valid(&sampleSpec) == 0 ||
            pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT) == nullptr) {
            throw errorOf(PA_ERR_INVALID, "record_stream");
        }
        pulse::Proplist properties(pa_proplist_new());
        pa_proplist_sets(properties.get(), PA_PROP_MEDIA_NAME, request.streamName.c_str());
        stream_.reset(pa_stream_new_with_proplist(context, request.streamName.c_str(), &sampleSpec, &map,
                                                  properties.get()));
        if (!stream_) {
            throw contextError(context, "record_stream");
        }
        pa_stream_set_state_callback(stream_.get(), &onState, this);
        pa_stream_set_read_callback(stream_.get(), &onRead, this);
        pa_stream_set_overflow_callback(stream_.get(), &onOverflow, this);
        if (request.monitorStream &&
            pa_stream_set_monitor_stream(stream_.get(), *request.monitorStream) < 0) {
            throw contextError(context, "record_stream");
        }

        pa_buffer_attr attributes;
        std::memset(&attributes, 0xff, sizeof attributes);
        attributes.fragsize = request.fragmentFrames * static_cast<std::uint32_t>(frameBytes_);
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
            PA_STREAM_NOT_MONOTONIC | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream_.get(), request.sourceName.c_str(), &attributes, flags) < 0) {
            throw contextError(context, "record_stream");
        }
        connection_->waitFor(
            [&] {
                const pa_stream_state_t state = pa_stream_get_state(stream_.get());
                return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
            },
            "record_stream");
        if (pa_stream_get_state(stream_.get()) != PA_STREAM_READY) {
            throw contextError(context, "record_stream");
        }
        index_ = pa_stream_get_index(stream_.get());
        format_ =
            formatOf(*pa_stream_get_sample_spec(stream_.get()), *pa_stream_get_channel_map(stream_.get()));
    }

private:
    static void onState(pa_stream* stream, void* userdata) noexcept {
        auto* self = static_cast<LibpulseRecordStream*>(userdata);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (self->index_ != PA_INVALID_INDEX && !self->failed_ &&
            (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)) {
            self->failed_ = true;
            // The context's error number is only this stream's cause while the
            // connection itself failed (the context is marked failed before its
            // streams are); with the connection up, it may be left over from any
            // earlier call, and the stream ended because the server killed it:
            // its device went away (the stream may not move).
            pa_context* context = self->connection_->context.get();
            int code = PA_ERR_KILLED;
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
                code = pa_context_errno(context);
                if (code == PA_OK || code == PA_ERR_KILLED) {
                    code = PA_ERR_CONNECTIONTERMINATED;
                }
            }
            try {
                self->handler_.onStreamFailed(code, pa_strerror(code));
            } catch (...) {
            }
        }
        pa_threaded_mainloop_signal(self->connection_->loop(), 0);
    }

    /// The server dropped audio of this stream. The frame counter shows a
    /// hole when the server sends one; an overflow without a hole marks the
    /// next delivery, whose late arrival is then the loss.
    static void onOverflow(pa_stream*, void* userdata) noexcept {
        static_cast<LibpulseRecordStream*>(userdata)->overflowed_ = true;
    }

    /// Everything readable is handed on as one delivery per run of audio
    /// without a hole: at high rates the server may keep many fragments of a
    /// few frames each ready at once, and a delivery per fragment would make
    /// chunks shorter than anything the timing downstream can place.
    static void onRead(pa_stream* stream, std::size_t, void* userdata) noexcept {
        auto* self = static_cast<LibpulseRecordStream*>(userdata);
        const std::uint64_t receivedNanos = HostClock::nanos();
        std::vector<float>& pending = self->pending_;
        pending.clear();
        std::uint64_t pendingFirst = self->nextFrame_;
        const auto handOn = [&] {
            if (!pending.empty()) {
                RecordedAudio audio;
                audio.samples = std::span<const float>(pending.data(), pending.size());
                audio.firstFrame = pendingFirst;
                audio.receivedNanos = receivedNanos;
                audio.lossBefore = std::exchange(self->overflowed_, false);
                self->handler_.onAudio(audio);
                pending.clear();
            }
        };
        for (;;) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
                break;
            }
            const std::uint64_t frames = bytes / self->frameBytes_;
            if (data != nullptr && frames > 0) {
                const auto* samples = static_cast<const float*>(data);
                try {
                    pending.insert(pending.end(), samples, samples + frames * self->channels_);
                } catch (...) {
                    // Out of memory: hand on what there is, then this alone.
                    handOn();
                    RecordedAudio audio;
                    audio.samples = std::span<const float>(samples, frames * self->channels_);
                    audio.firstFrame = self->nextFrame_;
                    audio.receivedNanos = receivedNanos;
                    audio.lossBefore = std::exchange(self->overflowed_, false);
                    self->handler_.onAudio(audio);
                }
            } else {
                // A hole (no data) is audio the server lost: the counter
                // moves on over it, so the next delivery shows the gap.
                handOn();
            }
            self->nextFrame_ += frames;
            if (pending.empty()) {
                pendingFirst = self->nextFrame_;
            }
            pa_stream_drop(stream);
        }
        handOn();
    }

    std::shared_ptr<Connection> connection_;
    RecordStreamHandler& handler_;
    std::uint32_t channels_;
    std::size_t frameBytes_;
    AudioFormat format_;
    std::uint32_t index_ = PA_INVALID_INDEX;
    // Touched only with the mainloop locked.
    pulse::Stream stream_;
    std::uint64_t nextFrame_ = 0;
    std::vector<float> pending_;
    bool overflowed_ = false;
    bool failed_ = false;
};

} // namespace

LibpulseBackend::LibpulseBackend(Options options) : connection_(std::make_shared<Connection>()) {
    Connection& connection = *connection_;
    connection.deadline = static_cast<pa_usec_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(options.deadline).count());
    connection.mainloop.reset(pa_threaded_mainloop_new());
    if (!connection.mainloop) {
        throw errorOf(PA_ERR_INTERNAL, "connect");
    }
    pa_threaded_mainloop_set_name(connection.loop(), "zoq.capture.pa");
    connection.api = pa_threaded_mainloop_get_api(connection.loop());

    pulse::Proplist properties(pa_proplist_new());
    pa_proplist_sets(properties.get(), PA_PROP_APPLICATION_NAME, options.applicationName.c_str());
    pa_proplist_sets(properties.get(), PA_PROP_APPLICATION_ID, options.applicationId.c_str());
    if (pa_threaded_mainloop_start(connection.loop()) < 0) {
        throw errorOf(PA_ERR_INTERNAL, "connect");
    }

    pulse::Lock lock(connection.loop());
    connection.context.reset(
        pa_context_new_with_proplist(connection.api, options.applicationName.c_str(), properties.get()));
    if (!connection.context) {
        throw errorOf(PA_ERR_INTERNAL, "connect");
    }
    pa_context* context = connection.context.get();
    pa_context_set_state_callback(context, &Connection::onContextState, &connection);
    if (pa_context_connect(context, options.server.empty() ? nullptr : options.server.c_str(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        throw contextError(context, "connect");
    }
    connection.waitFor([&] { return pa_context_get_state(context) == PA_CONTEXT_READY; }, "connect");

    pa_context_set_subscribe_callback(context, &Connection::onSubscription, &connection);
    SuccessReply reply{connection.loop(), std::nullopt};
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK |
        PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_CLIENT);
    const pulse::Operation subscribe =
        started(pa_context_subscribe(context, mask, &SuccessReply::on, &reply), context, "subscribe");
    connection.waitFor([&] { return reply.success.has_value(); }, "subscribe");
    if (!*reply.success) {
        throw contextError(context, "subscribe");
    }
}

LibpulseBackend::~LibpulseBackend() = default;

std::uint32_t LibpulseBackend::ownClientIndex() const {
    pulse::Lock lock(connection_->loop());
    connection_->requireReady("client_index");
    return pa_context_get_index(connection_->context.get());
}

AudioGraph LibpulseBackend::graph() {
    Connection& connection = *connection_;
    connection.refuseEventThread("graph");
    pulse::Lock lock(connection.loop());
    connection.requireReady("graph");
    pa_context* context = connection.context.get();
    GraphReading reading;
    reading.loop = connection.loop();
    reading.pending = 6;
    // All six requests go out at once: one round trip, one consistent moment.
    const pulse::Operation operations[] = {
        started(pa_context_get_server_info(context, &GraphReading::onServer, &reading), context, "graph"),
        started(pa_context_get_source_info_list(context, &GraphReading::onSource, &reading), context,
                "graph"),
        started(pa_context_get_sink_info_list(context, &GraphReading::onSink, &reading), context, "graph"),
        started(pa_context_get_client_info_list(context, &GraphReading::onClient, &reading), context,
                "graph"),
        started(pa_context_get_source_output_info_list(context, &GraphReading::onSourceOutput, &reading),
                context, "graph"),
        started(pa_context_get_sink_input_info_list(context, &GraphReading::onSinkInput, &reading), context,
                "graph"),
    };
    connection.waitFor([&] { return reading.pending == 0; }, "graph");
    if (reading.failed) {
        throw contextError(context, "graph");
    }
    return std::move(reading.graph);
}

void LibpulseBackend::setEventHandler(EventHandler handler) {
    pulse::Lock lock(connection_->loop());
    connection_->eventHandler = std::move(handler);
}

/// One sound on the default sink: written whole, then drained; the drain's
/// answer is the completion.
class LibpulseSoundPlayback final : public SoundPlayback {
public:
    LibpulseSoundPlayback(std::shared_ptr<Connection> connection, std::function<void(bool)> finished)
        : connection_(std::move(connection)), finished_(std::move(finished)) {}

    ~LibpulseSoundPlayback() override {
        pulse::Lock lock(connection_->loop());
        finished_ = nullptr;
        drain_.reset();
        if (stream_) {
            pa_stream_set_write_callback(stream_.get(), nullptr, nullptr);
        }
        stream_.reset();
    }

    /// With the mainloop locked.
    void start(const std::vector<std::int16_t>& samples, std::uint32_t rate) {
        pa_context* context = connection_->context.get();
        const pa_sample_spec sampleSpec{PA_SAMPLE_S16NE, rate, 1};
        if (samples.empty() || pa_sample_spec_valid(&sampleSpec) == 0) {
            throw errorOf(PA_ERR_INVALID, "play_sound");
        }
        pulse::Proplist properties(pa_proplist_new());
        pa_proplist_sets(properties.get(), PA_PROP_MEDIA_NAME, "zoq chime");
        pa_proplist_sets(properties.get(), PA_PROP_MEDIA_ROLE, "event");
        stream_.reset(
            pa_stream_new_with_proplist(context, "zoq chime", &sampleSpec, nullptr, properties.get()));
        if (!stream_) {
            throw contextError(context, "play_sound");
        }
        pa_stream_set_state_callback(stream_.get(), &onState, this);
        if (pa_stream_connect_playback(stream_.get(), nullptr, nullptr, PA_STREAM_NOFLAGS, nullptr, nullptr) <
            0) {
            throw contextError(context, "play_sound");
        }
        connection_->waitFor(
            [&] {
                const pa_stream_state_t state = pa_stream_get_state(stream_.get());
                return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
            },
            "play_sound");
        // A chime is a few kilobytes: the server takes it in one write.
        if (pa_stream_get_state(stream_.get()) != PA_STREAM_READY ||
            pa_stream_write(stream_.get(), samples.data(), samples.size() * sizeof(std::int16_t), nullptr, 0,
                            PA_SEEK_RELATIVE) < 0) {
            throw contextError(context, "play_sound");
        }
        drain_.reset(pa_stream_drain(stream_.get(), &onDrained, this));
        if (!drain_) {
            throw contextError(context, "play_sound");
        }
    }

private:
    void finish(bool played) noexcept {
        if (auto finished = std::exchange(finished_, nullptr)) {
            try {
                finished(played);
            } catch (...) {
            }
        }
    }
    static void onState(pa_stream* stream, void* userdata) noexcept {
        auto* self = static_cast<LibpulseSoundPlayback*>(userdata);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            self->finish(false);
        }
        pa_threaded_mainloop_signal(self->connection_->loop(), 0);
    }
    static void onDrained(pa_stream*, int success, void* userdata) noexcept {
        static_cast<LibpulseSoundPlayback*>(userdata)->finish(success != 0);
    }

    std::shared_ptr<Connection> connection_;
    // Touched only with the mainloop locked.
    std::function<void(bool)> finished_;
    pulse::Stream stream_;
    pulse::Operation drain_;
};

std::unique_ptr<SoundPlayback> LibpulseBackend::playSound(std::vector<std::int16_t> samples,
                                                          std::uint32_t rate,
                                                          std::function<void(bool played)> finished) {
    connection_->refuseEventThread("play_sound");
    pulse::Lock lock(connection_->loop());
    connection_->requireReady("play_sound");
    auto playback = std::make_unique<LibpulseSoundPlayback>(connection_, std::move(finished));
    playback->start(samples, rate);
    return playback;
}

std::unique_ptr<RecordStream> LibpulseBackend::openRecordStream(const RecordStreamRequest& request,
                                                                RecordStreamHandler& handler) {
    connection_->refuseEventThread("record_stream");
    pulse::Lock lock(connection_->loop());
    connection_->requireReady("record_stream");
    auto stream = std::make_unique<LibpulseRecordStream>(connection_, handler, request);
    stream->open(request);
    return stream;
}

void LibpulseBackend::barrier() {
    // Callbacks run with the mainloop locked: holding the lock once means none
    // that began before is still running.
    pulse::Lock lock(connection_->loop());
}

} // namespace zoq
