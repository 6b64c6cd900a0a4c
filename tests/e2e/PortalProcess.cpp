#include "tests/e2e/PortalProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zoq::test {
namespace {

std::string readLine(int fd) {
    std::string line;
    char c = 0;
    while (true) {
        const ssize_t count = ::read(fd, &c, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            throw std::runtime_error("zoq-dev-portal ended before naming its address");
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
}

std::string after(const std::string& line, const std::string& prefix) {
    if (!line.starts_with(prefix)) {
        throw std::runtime_error("unexpected zoq-dev-portal output: " + line);
    }
    return line.substr(prefix.size());
}

} // namespace

std::filesystem::path PortalProcess::program(const std::string& name) {
    // ctest runs the suites in the build directory; ZOQ_BINARY_DIR, when
    // set, names another one.
    const char* binary = std::getenv("ZOQ_BINARY_DIR");
    const std::filesystem::path root =
        binary != nullptr ? std::filesystem::path(binary) : std::filesystem::current_path();
    const std::filesystem::path path = root / "bin" / name;
    if (!std::filesystem::exists(path)) {
        throw std::runtime_error(path.string() +
                                 " not found: run the suite from the build directory (ctest)");
    }
    return path;
}

PortalProcess::PortalProcess(const std::filesystem::path& data, const std::vector<std::string>& options,
                             const std::filesystem::path& log)
    : data_(data) {
    std::vector<std::string> args{program("zoq-dev-portal").string(), "--data", data.string()};
    if (log.empty()) {
        args.emplace_back("--quiet");
    }
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    const std::string logPath = log.empty() ? std::string("/dev/null") : log.string();
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("cannot start " + args[0]);
    }
    try {
        url_ = after(readLine(pipeFds[0]), "listening on ");
        code_ = after(readLine(pipeFds[0]), "pairing code: ");
    } catch (...) {
        ::close(pipeFds[0]);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        throw;
    }
    ::close(pipeFds[0]);
}

PortalProcess::~PortalProcess() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

JSONValue::Array PortalProcess::uploads() {
    const TransportResponse response =
        transport_.execute({"GET", url_ + "/dev/uploads", {}, RequestBody::none()});
    const JSONValue document = JSONValue::parse(ByteView(response.body));
    return *document.find("uploads")->array();
}

void PortalProcess::setFaults(const JSONValue::Object& faults) {
    const TransportResponse response = transport_.execute({"POST",
                                                           url_ + "/dev/faults",
                                                           {{"content-type", "application/json"}},
                                                           RequestBody(JSONValue(faults).canonicalBytes())});
    if (response.status != 200) {
        throw std::runtime_error("the portal refused the faults: " + std::to_string(response.status));
    }
}

} // namespace zoq::test
