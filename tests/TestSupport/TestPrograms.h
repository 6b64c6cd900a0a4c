#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace zoq::test {

/// The absolute path of `name` on PATH. Throws std::runtime_error naming the
/// Debian `package` when it is missing, so a test that needs a real program
/// fails with the fix in its message instead of skipping.
std::string requireProgram(const std::string& name, const std::string& package);

/// Polls `done` until it holds or `bound` passes and returns its last answer.
/// The bound only keeps a broken test from hanging; nothing is timed.
template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

/// Runs `args` (args[0] found on PATH) with `extraEnvironment` to completion
/// and returns its exit code (-1 when it did not exit normally); its output
/// goes to /dev/null.
int runProgram(const std::vector<std::string>& args, const std::vector<std::string>& extraEnvironment = {});

} // namespace zoq::test
