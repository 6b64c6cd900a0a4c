#pragma once

#include "tests/TestSupport/ChildProcess.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zoq::test {

/// One event of `zoq record --events FILE`, as read back from its JSON line.
struct RecordEvent {
    std::string name;
    /// The engine's monotonic seconds: CLOCK_MONOTONIC, the same clock the
    /// test's `HostClock` reads and the sound server stamps audio with.
    double t = 0;
    std::map<std::string, std::string> fields;

    /// A field's value; fails the test (and gives "") when it is missing.
    std::string field(const std::string& name) const;
};

/// `zoq record` — the real program — as a child in a process group of its
/// own, on the sound server the test runs under, with its spool, its events
/// file and its output in `directory`. The device and the allowed
/// application are the test's.
class RecordRun {
public:
    static constexpr const char* allowedApp = "org.example.Call";
    static constexpr const char* deviceId = "3f2b8c1e-9a4d-4e6f-8b2a-1c3d5e7f9a0b";

    /// Starts `zoq record --root DIRECTORY/spool --device-id … --allow
    /// org.example.Call --events DIRECTORY/events.jsonl` plus `arguments`, with
    /// `environment` added to the test's; `spool` replaces DIRECTORY/spool.
    explicit RecordRun(const std::filesystem::path& directory, const std::vector<std::string>& arguments = {},
                       const std::vector<std::string>& environment = {}, std::filesystem::path spool = {});

    const std::filesystem::path& spool() const { return spool_; }

    /// Every event written so far, in order.
    std::vector<RecordEvent> events() const;
    std::vector<RecordEvent> named(const std::string& name) const;

    /// Waits for the `nth` (from 1) event called `name` that satisfies
    /// `wanted`. Fails the test (and returns nothing) when the run ends first
    /// or after `bound`, which only keeps a broken run from hanging the test.
    std::optional<RecordEvent> waitFor(const std::string& name, int nth = 1,
                                       const std::function<bool(const RecordEvent&)>& wanted = {},
                                       std::chrono::seconds bound = std::chrono::seconds(90));

    void signal(int number) { process_->signal(number); }
    /// SIGKILL to the whole group: zoq and any encoder it runs.
    void kill() { process_->kill(); }
    bool ended() { return process_->ended(); }
    /// Waits (at most `bound`, then fails the test and kills it) and returns
    /// the exit code; -1 when it did not exit normally.
    int exitCode(std::chrono::seconds bound = std::chrono::seconds(120));
    pid_t pid() const { return process_->pid(); }

    /// What the program printed, for failure messages.
    std::string output() const;

private:
    std::filesystem::path directory_;
    std::filesystem::path spool_;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace zoq::test
