#include "tests/SoundServer/SoundServerSupport.h"

#include "tests/TestSupport/TestAudio.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <numbers>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zoq::test {

std::string soundServerKind() {
    const char* kind = std::getenv("ZOQ_SOUND_SERVER");
    if (kind == nullptr) {
        ADD_FAILURE() << "run this suite under tests/with-sound-server (ctest does)";
        return {};
    }
    return kind;
}

std::filesystem::path builtProgram(const std::string& name) {
    const char* binary = std::getenv("ZOQ_BINARY_DIR");
    const std::filesystem::path root =
        binary != nullptr ? std::filesystem::path(binary) : std::filesystem::current_path();
    return root / "bin" / name;
}

PipedProcess::PipedProcess(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const int spawned = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (spawned != 0) {
        ::close(input_);
        ::close(output_);
        throw std::runtime_error("cannot start " + args[0]);
    }
}

PipedProcess::~PipedProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    ::close(input_);
    ::close(output_);
}

std::optional<std::string> PipedProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd descriptor{output_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char chunk[256];
        const ssize_t got = ::read(output_, chunk, sizeof chunk);
        if (got <= 0) {
            return std::nullopt;
        }
        buffered_.append(chunk, static_cast<std::size_t>(got));
    }
}

void PipedProcess::writeLine(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

int PipedProcess::wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

CallApp::CallApp(const std::string& name, const std::string& id, std::vector<std::string> options)
    : process_([&] {
          std::vector<std::string> argv{builtProgram("zoq-test-call-app").string(), "--name", name, "--id",
                                        id};
          argv.insert(argv.end(), options.begin(), options.end());
          return argv;
      }()) {
    const auto ready = process_.readLine();
    if (!ready || ready->rfind("ready ", 0) != 0) {
        throw std::runtime_error("zoq-test-call-app did not start: " + ready.value_or("(no answer)"));
    }
    std::istringstream(ready->substr(6)) >> stream_ >> client_;
}

void CallApp::command(const std::string& line, const std::string& answer) {
    process_.writeLine(line);
    EXPECT_EQ(process_.readLine(), answer);
}

void CallApp::cork() {
    command("cork", "corked");
}
void CallApp::uncork() {
    command("uncork", "uncorked");
}

void CallApp::exit() {
    process_.writeLine("exit");
    EXPECT_EQ(process_.wait(), 0);
}

std::filesystem::path toneWAV(double seconds, int channels, double frequency) {
    const char* state = std::getenv("ZOQ_SOUND_SERVER_STATE");
    const std::filesystem::path path =
        std::filesystem::path(state != nullptr ? state : "/tmp") /
        ("tone-" + std::to_string(channels) + "-" + std::to_string(seconds) + ".wav");
    if (!std::filesystem::exists(path)) {
        const auto frames = static_cast<std::size_t>(seconds * 48'000);
        Bytes pcm;
        pcm.reserve(frames * static_cast<std::size_t>(channels) * 2);
        for (std::size_t frame = 0; frame < frames; ++frame) {
            const auto value = static_cast<std::int16_t>(
                8000 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(frame) / 48'000));
            for (int channel = 0; channel < channels; ++channel) {
                pcm.push_back(static_cast<std::uint8_t>(value & 0xff));
                pcm.push_back(static_cast<std::uint8_t>((value >> 8) & 0xff));
            }
        }
        writeWAV(path, pcm, 48'000, static_cast<std::uint16_t>(channels));
    }
    return path;
}

std::filesystem::path clicksWAV(int seconds, int channels) {
    const char* state = std::getenv("ZOQ_SOUND_SERVER_STATE");
    const std::filesystem::path path =
        std::filesystem::path(state != nullptr ? state : "/tmp") /
        ("clicks-" + std::to_string(seconds) + "-" + std::to_string(channels) + ".wav");
    Bytes pcm;
    for (int frame = 0; frame < seconds * 48'000; ++frame) {
        const std::int16_t value = frame % 48'000 < 48 ? 24'000 : 0;
        for (int channel = 0; channel < channels; ++channel) {
            pcm.push_back(static_cast<std::uint8_t>(value & 0xff));
            pcm.push_back(static_cast<std::uint8_t>((value >> 8) & 0xff));
        }
    }
    writeWAV(path, pcm, 48'000, static_cast<std::uint16_t>(channels));
    return path;
}

std::vector<std::size_t> clicksIn(const std::vector<float>& samples, double rate) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(samples[i]) > 0.3f &&
            (found.empty() || static_cast<double>(i - found.back()) > 0.5 * rate)) {
            found.push_back(i);
        }
    }
    return found;
}

std::unique_ptr<PipedProcess> play(double seconds, const std::string& device) {
    std::vector<std::string> argv{"paplay"};
    if (!device.empty()) {
        argv.push_back("--device=" + device);
    }
    argv.push_back(toneWAV(seconds, device.empty() ? 2 : 1).string());
    return std::make_unique<PipedProcess>(argv);
}

std::string pactl(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    PipedProcess process(argv);
    std::string output;
    while (const auto line = process.readLine()) {
        output += *line + "\n";
    }
    EXPECT_EQ(process.wait(), 0) << "pactl " << arguments.front() << " failed";
    return output;
}

std::vector<pid_t> soundServerPids() {
    std::vector<pid_t> pids;
    const char* state = std::getenv("ZOQ_SOUND_SERVER_STATE");
    std::string listed;
    if (state != nullptr) {
        std::getline(std::ifstream(std::filesystem::path(state) / "server-pids"), listed);
    }
    if (listed.empty() && std::getenv("ZOQ_SOUND_SERVER_PIDS") != nullptr) {
        listed = std::getenv("ZOQ_SOUND_SERVER_PIDS");
    }
    std::istringstream text(listed);
    for (pid_t pid = 0; text >> pid;) {
        pids.push_back(pid);
    }
    return pids;
}

namespace {

// The state letter of /proc/PID/stat, which follows the last ')'.
char processState(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

} // namespace

void stopSoundServer() {
    const std::vector<pid_t> pids = soundServerPids();
    ASSERT_FALSE(pids.empty());
    for (const pid_t pid : pids) {
        ::kill(pid, SIGSTOP);
    }
    for (const pid_t pid : pids) {
        EXPECT_TRUE(eventually([pid] { return processState(pid) == 'T'; }, std::chrono::seconds(10)))
            << "sound server process " << pid << " did not stop";
    }
}

void continueSoundServer() {
    for (const pid_t pid : soundServerPids()) {
        ::kill(pid, SIGCONT);
    }
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

namespace {

bool serverAnswers() {
    PipedProcess info({"pactl", "info"});
    while (info.readLine()) {
    }
    return info.wait() == 0;
}

int countIn(const std::filesystem::path& file) {
    int count = 0;
    std::ifstream(file) >> count;
    return count;
}

} // namespace

bool restartSoundServerIfGone() {
    if (serverAnswers()) {
        return false;
    }
    const char* control = std::getenv("ZOQ_SOUND_SERVER_CONTROL");
    const char* state = std::getenv("ZOQ_SOUND_SERVER_STATE");
    if (control == nullptr || state == nullptr) {
        ADD_FAILURE() << "the sound server does not answer, and no runner can restart it";
        return false;
    }
    const std::filesystem::path directory(state);
    // What the server said before it went: kept in the build's test artifacts
    // and shown in this test's output.
    std::string said;
    for (const char* name : {"pulseaudio.log", "pipewire.log", "pipewire-pulse.log", "wireplumber.log"}) {
        std::ifstream log(directory / name);
        std::deque<std::string> tail;
        for (std::string line; std::getline(log, line);) {
            tail.push_back(std::move(line));
            if (tail.size() > 40) {
                tail.pop_front();
            }
        }
        for (const std::string& line : tail) {
            said += std::string(name) + ": " + line + "\n";
        }
    }
    std::printf("warning: the %s server stopped answering; restarting it. It said last:\n%s",
                soundServerKind().c_str(), said.c_str());
    if (const char* binary = std::getenv("ZOQ_BINARY_DIR"); binary != nullptr) {
        const std::filesystem::path artifacts = std::filesystem::path(binary) / "test-artifacts";
        std::filesystem::create_directories(artifacts);
        std::ofstream(artifacts / ("sound-server-gone-" + soundServerKind() + ".log"), std::ios::app) << said;
    }
    const pid_t runner = std::stoi(control);
    const int stops = countIn(directory / "stops");
    const int starts = countIn(directory / "starts");
    ::kill(runner, SIGUSR1);
    EXPECT_TRUE(eventually([&] { return countIn(directory / "stops") > stops; }, std::chrono::seconds(30)));
    ::kill(runner, SIGUSR2);
    EXPECT_TRUE(eventually([&] { return countIn(directory / "starts") > starts; }, std::chrono::seconds(60)));
    EXPECT_TRUE(serverAnswers()) << "the restarted sound server does not answer";
    return true;
}

} // namespace zoq::test
