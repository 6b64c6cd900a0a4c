// `zoq record`: one capture engine run in the foreground, on the user's sound
// server, until SIGINT or SIGTERM (or --max-seconds).

#include "Zoq/zoq/CommandLine.h"
#include "Zoq/zoq/ShellSession.h"
#include "Zoq/zoq/SpoolRoot.h"
#include "Zoq/zoq/StopOnSignal.h"
#include "ZoqCaptureEngine/CaptureEngine.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Wire/WirePattern.h"
#include "ZoqShell/Messages/PlainWords.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/Settings/ShellSettings.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <cmath>
#include <csignal>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <pthread.h>
#include <thread>

namespace zoq::cli {
namespace {

struct RecordOptions {
    std::vector<std::string> allow;
    std::string root;
    std::optional<double> maxSeconds;
    std::string deviceId;
    bool chime = false;
    std::string events;
    /// "all" or "app"; empty: the settings' choice.
    std::string systemAudio;
};

/// Exit codes of `zoq record`: how the run ended.
constexpr int exitPermission = 3;

/// How the engine's failure to reach the sound server begins.
constexpr std::string_view noServerPrefix = "tap_start_failed:";

constexpr const char* pausedLine = I18N_NOOP("recording is paused (zoq resume)");

/// A finite number of seconds above zero. CLI11's own range check lets NaN
/// through (every comparison with it is false) and words its refusal with
/// the largest double written out in full.
CLI::Validator positiveSeconds() {
    return CLI::Validator(
        [](const std::string& input) -> std::string {
            double seconds = 0;
            if (!CLI::detail::lexical_cast(input, seconds) || !std::isfinite(seconds) || !(seconds > 0)) {
                return i18n("wants a number of seconds above zero, such as 90");
            }
            return {};
        },
        "SECONDS > 0");
}

/// One readable line for the events a person watching wants to see; none for
/// the rest (they are all in --events).
std::optional<std::string> readable(const EngineEvent& event, const std::filesystem::path& spool) {
    const auto field = [&](const char* name) {
        const auto found = event.fields.find(name);
        return found == event.fields.end() ? std::string("?") : found->second;
    };
    const std::string& name = event.name;
    if (name == "engine_started") {
        return substitute(
            i18n("armed: allowed {1}, spool {2}"),
            {field("allowed").empty() ? std::string(i18n("(none)")) : field("allowed"), field("spool")});
    }
    if (name == "tap_started") {
        // The reason is an event's word, English in every language.
        return substitute(i18n("listening ({1}): microphone {2} Hz, system audio {3} Hz"),
                          {field("reason"), field("mic_rate"), field("tap_rate")});
    }
    if (name == "mic_opened") {
        return substitute(i18n("{1} took the microphone"), {field("bundleID")});
    }
    if (name == "mic_ignored") {
        return substitute(i18n("{1} uses the microphone but is not allowed: not recorded"),
                          {field("bundleID")});
    }
    if (name == "debouncing") {
        return i18n("an allowed application holds the microphone…");
    }
    if (name == "recording_started") {
        const std::string source = field("system_source");
        return substitute(source == "recordedApp" ? i18n("recording {1} (right channel: only its own playback)")
                          : source == "fallback"
                              ? i18n("recording {1} (right channel: everything the computer plays, as it "
                                     "played nothing)")
                              : i18n("recording {1}"),
                          {field("app")});
    }
    if (name == "system_audio_source" && field("reason") == "no_app_playback") {
        return i18n(
            "the recorded application played nothing for 5 s: the right channel records everything the "
            "computer plays for the rest of the part");
    }
    if (name == "idle_grace") {
        return i18n("the call let go of the microphone; the part ends in 15 s unless it comes back");
    }
    if (name == "finalized") {
        return substitute(i18n("part saved: {1}"), {field("directory")});
    }
    // The event's own name leads these lines: untranslated, like every event name.
    if (name == "recovered" || name == "recovery_quarantined") {
        return name + ": " + field("directory") + " " +
               (name == "recovered" ? field("state") : field("detail"));
    }
    if (name == "discontinuity" || name == "hardware_changed" || name == "resumed" || name == "sleep" ||
        name == "wake") {
        return name;
    }
    if (name == "permission_required" || name == "permission_not_granted") {
        return substitute(i18n("the microphone is not available: {1}"), {field("detail")});
    }
    if (name == "capture_health_failed") {
        // The stream is an event's word ("mic", "system"), English in every language.
        return substitute(i18n("no {1} audio for 19 s ({2})"), {field("stream"), field("detail")});
    }
    if (name == "error_visible" && event.fields.contains("detail")) {
        // A full or read-only disk is said in words; the detail stays in them.
        return substitute(i18n("error: {1}"),
                          {plain::ioWords(field("detail"), spool).value_or(field("detail"))});
    }
    if (name == "engine_stopped") {
        return substitute(i18n("stopped: {1}"), {field("reason")});
    }
    return std::nullopt;
}

void record(const RecordOptions& options, Context& context) {
    std::ostream& out = context.streams.out;
    ShellSettings settings(ShellPaths::settingsFile(),
                           ShellSettings::systemLayersIn(ShellPaths::systemConfigRoots()));
    EngineConfiguration config;
    config.spool = options.root.empty() ? defaultSpoolRoot() : std::filesystem::path(options.root);
    config.allowed = options.allow.empty()
                         ? settings.allowedBundleIDs()
                         : std::set<std::string>(options.allow.begin(), options.allow.end());
    config.ffmpeg = settings.ffmpegPath().value_or(FFmpegFLACEncoder::defaultExecutable);
    config.deviceId = options.deviceId.empty() ? pairedDeviceId().value_or("") : options.deviceId;
    config.maxSeconds = options.maxSeconds;
    config.alertFrequency = options.chime ? 880 : 0;
    config.alertDuration = 0.12;
    config.systemAudioSource = options.systemAudio.empty()    ? settings.systemAudioSource()
                               : options.systemAudio == "app" ? SystemAudioSource::recordedApp
                                                              : SystemAudioSource::all;
    if (config.deviceId.empty()) {
        context.streams.err << "zoq: "
                            << i18n(
                                   "this device is not paired; pair it ('zoq pair CODE') or give --device-id")
                            << '\n';
        context.exitCode = exitUsage;
        return;
    }
    if (!WirePattern::uuid().matches(config.deviceId)) {
        context.streams.err << "zoq: " << i18n("--device-id is not a UUID") << '\n';
        context.exitCode = exitUsage;
        return;
    }
    try {
        ensureSpoolRoot(config.spool);
    } catch (const CoreError& error) {
        context.streams.err << "zoq: " << plain::words(error, config.spool) << '\n';
        context.exitCode = exitFailure;
        return;
    }

    std::unique_ptr<std::ofstream> eventFile;
    std::ostream* eventStream = nullptr;
    if (options.events == "-") {
        eventStream = &out;
    } else if (!options.events.empty()) {
        eventFile = std::make_unique<std::ofstream>(options.events, std::ios::app);
        if (!*eventFile) {
            context.streams.err << "zoq: " << substitute(i18n("cannot write events to {1}"), {options.events})
                                << '\n';
            context.exitCode = exitUsage;
            return;
        }
        eventStream = eventFile.get();
    }

    // Before the engine and its threads: a signal that comes before the
    // engine runs stops it as soon as it exists.
    std::mutex runningLock;
    CaptureEngine* running = nullptr; // guarded by runningLock
    bool stopRequested = false;       // guarded by runningLock
    const StopOnSignal signals([&] {
        const std::lock_guard guard(runningLock);
        stopRequested = true;
        if (running != nullptr) {
            running->stop();
        }
    });

    std::mutex outputLock;
    bool saidPaused = false; // guarded by outputLock
    ClosureEventSink sink([&](const EngineEvent& event) {
        {
            const std::lock_guard guard(outputLock);
            if (eventStream != nullptr) {
                *eventStream << event.jsonLine() << std::endl;
            }
            if (eventStream != &out) {
                if (const auto line = readable(event, config.spool)) {
                    out << *line << std::endl;
                }
                // A spool the service left paused records nothing until it
                // is resumed: said once, whether the run booted paused or
                // was paused later, so that it never looks armed.
                const auto state = event.fields.find("state");
                const bool paused = state != event.fields.end() && state->second == "PAUSED" &&
                                    (event.name == "engine_started" || event.name == "paused");
                if (paused && !saidPaused) {
                    out << i18n(pausedLine) << std::endl;
                }
                saidPaused = paused || (saidPaused && event.name != "resumed");
            }
        }
        // The chime tells the person that this call is now being recorded.
        if (event.name == "recording_started" && options.chime) {
            const std::lock_guard guard(runningLock);
            if (running != nullptr) {
                running->requestAlert();
            }
        }
    });
    const HostClock clock;
    CaptureEngine engine(config, sink, clock, CaptureEngine::systemPlatform());
    {
        const std::lock_guard guard(runningLock);
        running = &engine;
        if (stopRequested) {
            engine.stop();
        }
    }
    engine.start();
    const EngineTermination termination = engine.wait();
    {
        const std::lock_guard guard(runningLock);
        running = nullptr;
    }
    switch (termination.kind) {
    case EngineTermination::Kind::stopped:
        context.exitCode = exitSuccess;
        break;
    case EngineTermination::Kind::permissionNotGranted:
        context.exitCode = exitPermission;
        break;
    case EngineTermination::Kind::deadGrant:
    case EngineTermination::Kind::failure:
        context.exitCode = exitFailure;
        break;
    }
    // Without a sound server the run cannot even begin: the likely cause
    // of a failed connection, said with the way out.
    if (termination.kind == EngineTermination::Kind::failure &&
        termination.detail.starts_with(noServerPrefix)) {
        context.streams.err << "zoq: " << i18n(plain::noSoundServer) << " (" << termination.detail << ")\n";
    }
}

} // namespace

void addRecordCommand(CLI::App& app, Context& context) {
    auto options = std::make_shared<RecordOptions>();
    CLI::App* command =
        app.add_subcommand("record", i18n("Record calls from the sound server in the foreground"));
    command->footer(
        i18n("Arms the recorder on your sound server (PulseAudio or PipeWire) until SIGINT or SIGTERM, or\n"
             "--max-seconds: when an allowed application holds the microphone for 3 s a part begins, with\n"
             "the microphone on the left and on the right everything else the computer plays, or with\n"
             "--system-audio app only what the recorded application plays (everything, from 5 s into a\n"
             "part without any playback of it, for the rest of the part); it ends\n"
             "15 s after the application lets go, and is encoded, verified and left for the uploader.\n"
             "Prints a line for each notable event; --events writes every event as one JSON line\n"
             "(to a file, or '-' for standard output instead of the lines).\n\n"
             "Exit status: 0 stopped; 1 the run failed; 2 usage; 3 the microphone is not available."));
    command->add_option(
        "--allow", options->allow,
        i18n("An application identifier allowed to trigger recording (repeatable; default: the "
             "allowlist in the settings)"));
    command->add_option("--root", options->root, i18n("Spool directory (default: $XDG_DATA_HOME/zoq/spool)"));
    command->add_option("--max-seconds", options->maxSeconds, i18n("Stop after this many seconds"))
        ->check(positiveSeconds());
    command->add_option("--device-id", options->deviceId,
                        i18n("Record under this device (default: the paired one)"));
    command->add_flag("--chime", options->chime, i18n("Play a short chime when a recording starts"));
    command->add_option("--events", options->events,
                        i18n("Write every event as a JSON line to FILE, or '-'"));
    command
        ->add_option("--system-audio", options->systemAudio,
                     i18n("The right channel: 'all' the computer plays, or only the recorded 'app' (default: "
                          "the settings' \"systemAudioSource\")"))
        ->check(CLI::IsMember({"all", "app"}));
    command->callback([options, &context] { record(*options, context); });
}

} // namespace zoq::cli
