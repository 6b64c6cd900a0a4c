#include "tests/EngineEndToEnd/RecordRun.h"

#include "tests/SoundServer/SoundServerSupport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace zoq::test {

std::string RecordEvent::field(const std::string& key) const {
    const auto found = fields.find(key);
    if (found == fields.end()) {
        ADD_FAILURE() << "event " << name << " has no field " << key;
        return {};
    }
    return found->second;
}

RecordRun::RecordRun(const std::filesystem::path& directory, const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment, std::filesystem::path spool)
    : directory_(directory), spool_(spool.empty() ? directory / "spool" : std::move(spool)) {
    std::filesystem::create_directories(directory_);
    std::vector<std::string> argv{builtProgram("zoq").string(),
                                  "record",
                                  "--root",
                                  spool_.string(),
                                  "--device-id",
                                  deviceId,
                                  "--allow",
                                  allowedApp,
                                  "--events",
                                  (directory_ / "events.jsonl").string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<ChildProcess>(argv, environment, directory_ / "zoq.log", true);
}

std::vector<RecordEvent> RecordRun::events() const {
    std::vector<RecordEvent> out;
    std::ifstream in(directory_ / "events.jsonl");
    std::string line;
    // A line still being written has no newline yet: getline then hits the
    // end of the file, and the line waits for the next read.
    while (std::getline(in, line) && !in.eof()) {
        const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
        if (!object.is_object()) {
            ADD_FAILURE() << "not a JSON event line: " << line;
            continue;
        }
        RecordEvent event;
        for (const auto& [key, value] : object.items()) {
            if (!value.is_string()) {
                ADD_FAILURE() << "a member that is not a string in " << line;
            } else if (key == "event") {
                event.name = value.get<std::string>();
            } else if (key == "t") {
                event.t = std::stod(value.get<std::string>());
            } else if (key != "wall") {
                event.fields[key] = value.get<std::string>();
            }
        }
        out.push_back(std::move(event));
    }
    return out;
}

std::vector<RecordEvent> RecordRun::named(const std::string& name) const {
    std::vector<RecordEvent> out;
    for (RecordEvent& event : events()) {
        if (event.name == name) {
            out.push_back(std::move(event));
        }
    }
    return out;
}

std::optional<RecordEvent> RecordRun::waitFor(const std::string& name, int nth,
                                              const std::function<bool(const RecordEvent&)>& wanted,
                                              std::chrono::seconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const bool over = ended() || std::chrono::steady_clock::now() >= until;
        int seen = 0;
        for (RecordEvent& event : named(name)) {
            if ((!wanted || wanted(event)) && ++seen == nth) {
                return event;
            }
        }
        if (over) {
            ADD_FAILURE() << "zoq record " << (ended() ? "ended" : "ran on") << " without event " << name
                          << " #" << nth << "\n"
                          << output();
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int RecordRun::exitCode(std::chrono::seconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!ended()) {
        if (std::chrono::steady_clock::now() >= until) {
            ADD_FAILURE() << "zoq record did not end\n" << output();
            kill();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int status = process_->wait();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RecordRun::output() const {
    std::ifstream in(directory_ / "zoq.log");
    std::stringstream text;
    text << in.rdbuf();
    // The events say what the engine saw and when; a run of one event (a
    // loaded server's discontinuities) is counted rather than repeated.
    std::string events;
    std::string previous;
    int repeats = 0;
    const auto closeRun = [&] {
        if (repeats > 1) {
            events += "  (" + std::to_string(repeats) + " times)\n";
        }
    };
    for (const RecordEvent& event : this->events()) {
        if (event.name == previous) {
            ++repeats;
            continue;
        }
        closeRun();
        previous = event.name;
        repeats = 1;
        std::ostringstream line;
        line << std::fixed << std::setprecision(3) << event.t << ' ' << event.name;
        for (const auto& [key, value] : event.fields) {
            line << ' ' << key << '=' << value;
        }
        events += line.str() + "\n";
    }
    closeRun();
    return "--- zoq record output:\n" + text.str() + "--- events:\n" + events;
}

} // namespace zoq::test
