#pragma once

#include "ZoqCaptureEngine/AudioBackend.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zoq::test {

/// The private server tests/with-sound-server started for this run:
/// "pulseaudio" or "pipewire". Fails the test when the suite runs without it.
std::string soundServerKind();

/// A child process with pipes on its standard input and output; killed
/// (SIGKILL) and reaped when the object goes away.
class PipedProcess {
public:
    explicit PipedProcess(const std::vector<std::string>& argv);
    ~PipedProcess();
    PipedProcess(const PipedProcess&) = delete;
    PipedProcess& operator=(const PipedProcess&) = delete;

    /// The next line of its output; absent at its end or after `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void writeLine(const std::string& line);
    /// Waits for it to end; its exit status (128 + signal when killed).
    int wait();
    pid_t pid() const noexcept { return pid_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffered_;
};

/// The stand-in call application (zoq-test-call-app) holding the microphone.
class CallApp {
public:
    /// Starts it and waits until its stream runs.
    CallApp(const std::string& name, const std::string& id, std::vector<std::string> options = {});

    void cork();
    void uncork();
    /// Closes the stream and waits for the app to exit.
    void exit();
    pid_t pid() const noexcept { return process_.pid(); }
    std::uint32_t streamIndex() const noexcept { return stream_; }
    std::uint32_t clientIndex() const noexcept { return client_; }

private:
    void command(const std::string& line, const std::string& answer);

    PipedProcess process_;
    std::uint32_t stream_ = 0;
    std::uint32_t client_ = 0;
};

/// A built program: bin/NAME under $ZOQ_BINARY_DIR.
std::filesystem::path builtProgram(const std::string& name);

/// A 48 kHz 16-bit WAV of a sine tone, `seconds` long, in a temporary file.
std::filesystem::path toneWAV(double seconds, int channels, double frequency = 440);

/// A 48 kHz 16-bit WAV of `seconds` seconds with a 1 ms click at the start of
/// every second, on every one of `channels` channels, in a temporary file.
std::filesystem::path clicksWAV(int seconds, int channels);

/// Where the clicks in `samples` (one channel at `rate`) begin, in frames.
std::vector<std::size_t> clicksIn(const std::vector<float>& samples, double rate);

/// `paplay` of a tone, on the default sink or on `device`.
std::unique_ptr<PipedProcess> play(double seconds, const std::string& device = {});

/// Runs `pactl ARGS...`; its standard output. Fails the test when it fails.
std::string pactl(const std::vector<std::string>& arguments);

/// The server processes that carry audio (SIGSTOP stalls the server).
std::vector<pid_t> soundServerPids();
/// Stops every server process and returns once each one really is stopped:
/// SIGSTOP only asks, and a process busy in the kernel (a loaded disk) stops
/// later. Fails the test when one does not stop within 10 s.
void stopSoundServer();
/// Lets the stopped server run again.
void continueSoundServer();

/// When the private server no longer answers (it died, as PulseAudio once
/// did between two tests on a loaded machine), saves what it said last in the
/// build's test artifacts, starts it again through the runner with the same
/// topology and returns true; false when it answers. For a suite's SetUp, so
/// that one server crash does not fail every test after it.
bool restartSoundServerIfGone();

/// Polls `condition` every 5 ms until it holds; false after `timeout`. For
/// conditions that hold eventually; never for asserting how fast.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(15));

} // namespace zoq::test
