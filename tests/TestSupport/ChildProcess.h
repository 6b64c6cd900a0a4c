#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zoq::test {

/// A program started as a child process, with the test's environment plus
/// `extraEnvironment` (which wins over inherited entries of the same name),
/// its standard output and error going to `output` (or /dev/null). Killed
/// with SIGKILL and reaped when the object goes away while it still runs.
///
/// With `ownProcessGroup` the child leads a process group of its own and
/// `kill` reaches the whole group: whatever it started (an encoder) dies with
/// it, as in a power cut. `signal` always reaches the child alone.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> args, const std::vector<std::string>& extraEnvironment,
                 const std::filesystem::path& output = {}, bool ownProcessGroup = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void signal(int number);
    void kill();
    /// Whether the child has ended (it is then reaped, and `wait` returns its
    /// status at once).
    bool ended();
    /// Waits for the child to end and returns its wait status.
    int wait();
    /// Waits, and returns the exit code (-1 when it did not exit normally).
    int exitCode();
    pid_t pid() const noexcept { return pid_; }

private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool group_ = false;
};

} // namespace zoq::test
