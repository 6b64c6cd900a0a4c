#include "Zoq/zoq/CommandLine.h"
#include "ZoqCore/Capture/CaptureMachine.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Support/SHA256.h"
#include "ZoqShell/Messages/Translation.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace zoq::cli {
namespace {

/// Prints the simulated call one line per event, summing up runs of appends:
/// a call appends every 250 ms, which would bury the decisions that matter.
class CallNarrator {
public:
    CallNarrator(std::ostream& out, const ManualClock& clock, double start)
        : out_(out), clock_(clock), start_(start) {}

    void say(const std::string& text) {
        flushAppends();
        out_ << "  " << stamp(clock_.now()) << "  " << text << '\n';
    }

    void stateChange(CaptureState from, CaptureState to) {
        if (from != to) {
            // State names are English in every language.
            say(substitute(i18n("state {1} -> {2}"), {toText(from), toText(to)}));
        }
    }

    void actions(const std::vector<CaptureAction>& list) {
        for (const CaptureAction& action : list) {
            if (action.kind() == CaptureAction::Kind::append) {
                if (appends_ == 0) {
                    firstAppendAt_ = clock_.now();
                }
                ++appends_;
                appendedFrames_ += static_cast<std::int64_t>(action.data().size()) / pcm::bytesPerFrame;
                lastAppendAt_ = clock_.now();
            } else {
                std::ostringstream line;
                line << action;
                say(line.str());
            }
        }
    }

    void flushAppends() {
        if (appends_ == 0) {
            return;
        }
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f",
                      static_cast<double>(appendedFrames_) / static_cast<double>(pcm::sampleRate));
        out_ << "  " << stamp(firstAppendAt_) << "  "
             << substitute(i18n("append x{1}: {2} frames ({3} s of audio), last at {4}"),
                           {std::to_string(appends_), std::to_string(appendedFrames_), seconds,
                            stamp(lastAppendAt_)})
             << '\n';
        appends_ = 0;
        appendedFrames_ = 0;
    }

private:
    std::string stamp(double now) const {
        char text[32];
        std::snprintf(text, sizeof text, "t=%6.2f s", now - start_);
        return text;
    }

    std::ostream& out_;
    const ManualClock& clock_;
    double start_;
    int appends_ = 0;
    std::int64_t appendedFrames_ = 0;
    double firstAppendAt_ = 0;
    double lastAppendAt_ = 0;
};

/// A short call on a manual clock: an allowed application takes the microphone
/// for 25 s while the capture engine's 250 ms ticks deliver audio, then lets
/// go, and the grace interval runs out. The owner's part (applying actions) is
/// only narrated.
void simulateCall(std::ostream& out) {
    constexpr double tickSeconds = 0.25;
    constexpr std::int64_t chunkFrames = pcm::sampleRate / 4;
    constexpr double callSeconds = 25.0;
    constexpr double endSeconds = callSeconds + CaptureMachine::idleGraceInterval + 1.0;

    ManualClock clock;
    const double start = clock.now();
    CaptureMachine machine(clock, CaptureAllowlist{{"us.zoom.xos"}, 4100, "org.zoq.Zoq"}, false);
    CallNarrator narrator(out, clock, start);
    const Bytes chunk(static_cast<std::size_t>(chunkFrames * pcm::bytesPerFrame), 0);
    std::int64_t position = 0;

    auto run = [&](auto&& call) {
        const CaptureState before = machine.state();
        const std::vector<CaptureAction> actions = call();
        narrator.stateChange(before, machine.state());
        narrator.actions(actions);
        // The recorder core applies a finish at once and reports back.
        for (const CaptureAction& action : actions) {
            if (action.kind() == CaptureAction::Kind::finish) {
                narrator.say(i18n("owner: part encoded and published; finalised()"));
                const CaptureState finalising = machine.state();
                machine.finalised();
                narrator.stateChange(finalising, machine.state());
            }
        }
    };

    out << i18n("simulated call (manual clock, 250 ms ticks; allowlist: us.zoom.xos)") << '\n';
    narrator.say(i18n("us.zoom.xos (pid 4242) takes the microphone"));
    std::vector<ProcessActivity> activity{{4242, "us.zoom.xos", true}};
    bool talking = true;
    while (clock.now() - start < endSeconds) {
        if (talking && clock.now() - start >= callSeconds) {
            talking = false;
            activity[0].runningInput = false;
            narrator.say(i18n("us.zoom.xos lets go of the microphone"));
        }
        run([&] { return machine.processes(activity); });
        run([&] { return machine.samples(chunk, position); });
        position += chunkFrames;
        clock.advance(tickSeconds);
    }
    narrator.flushAppends();
    std::ostringstream state;
    state << machine.state();
    out << "  " << substitute(i18n("final state: {1}"), {state.str()}) << '\n';
}

} // namespace

void addDemoCommand(CLI::App& app, Context& context) {
    auto* demo = app.add_subcommand("demo", i18n("Show, step by step, what this build of zoq can do"));
    demo->callback([&context] {
        std::ostream& out = context.streams.out;
        const HostClock clock;
        out << i18n("zoq building blocks") << '\n';
        std::ostringstream now;
        std::ostringstream wall;
        now << clock.now();
        wall << clock.wallDate().sinceReferenceDate;
        out << "  "
            << substitute(i18n("recording format: {1} Hz, {2} channels, {3}-bit (left microphone, right "
                               "system audio)"),
                          {std::to_string(pcm::sampleRate), std::to_string(pcm::channels),
                           std::to_string(pcm::bytesPerSample * 8)})
            << '\n';
        out << "  " << substitute(i18n("monotonic clock: {1} s"), {now.str()}) << '\n';
        out << "  " << substitute(i18n("wall clock: {1} s since 2001-01-01"), {wall.str()}) << '\n';
        out << "  " << substitute(i18n("new identifier: {1}"), {makeUUID()}) << '\n';
        out << "  sha256(\"zoq\"): " << SHA256::hex("zoq") << '\n';
        out << '\n';
        simulateCall(out);
    });
}

} // namespace zoq::cli
