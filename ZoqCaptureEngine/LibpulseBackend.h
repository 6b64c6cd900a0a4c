#pragma once

#include "ZoqCaptureEngine/AudioBackend.h"

#include <chrono>
#include <memory>
#include <string>

struct pa_proplist;

namespace zoq {

/// The production `AudioBackend`: one libpulse connection served by a
/// `pa_threaded_mainloop`. Works unchanged against PulseAudio and against
/// PipeWire's pulse server.
///
/// The mainloop's thread is the backend's event thread: subscription events
/// and every record stream's audio are delivered there. Record streams ask for
/// float32 at the requested rate and channels, fragments of the requested
/// size and DONT_MOVE: when their device
/// goes away the server ends them rather than moving them elsewhere, because a
/// change of device is the engine's to notice and handle.
///
/// Never autospawns a server. Every call waits for the server for at most
/// `deadline` and then throws `AudioBackendError` with `timeout`; after the
/// connection failed every call throws at once. Thread-safe; record streams
/// may outlive nothing but their handlers (they keep the connection alive).
class LibpulseBackend final : public AudioBackend {
public:
    struct Options {
        /// The server to connect to; empty for libpulse's default (PULSE_SERVER,
        /// then the user's runtime directory).
        std::string server;
        /// "application.name" and "application.id" of this client.
        std::string applicationName = "zoq";
        std::string applicationId = "zoq";
        std::chrono::milliseconds deadline{3000};
    };

    /// Connects and subscribes. Throws `AudioBackendError` (the server's code
    /// for a refused connection, `timeout` when it does not answer).
    explicit LibpulseBackend(Options options);
    LibpulseBackend() : LibpulseBackend(Options{}) {}
    ~LibpulseBackend() override;

    std::uint32_t ownClientIndex() const override;
    AudioGraph graph() override;
    void setEventHandler(EventHandler handler) override;
    std::unique_ptr<RecordStream> openRecordStream(const RecordStreamRequest& request,
                                                   RecordStreamHandler& handler) override;
    void barrier() override;
    std::unique_ptr<SoundPlayback> playSound(std::vector<std::int16_t> samples, std::uint32_t rate,
                                             std::function<void(bool played)> finished) override;

    /// Who a client or stream says it is, from its property list. Text
    /// that is not UTF-8 keeps its valid parts, the rest shown as U+FFFD.
    static AudioClientIdentity identityOf(const pa_proplist* properties);
    /// "pipewire.sec.pid" of a client's own property list, unjudged.
    static std::optional<std::int32_t> credentialPidOf(const pa_proplist* properties);

    struct Connection;

private:
    std::shared_ptr<Connection> connection_;
};

} // namespace zoq
