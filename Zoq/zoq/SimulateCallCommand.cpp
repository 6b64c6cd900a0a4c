#include "Zoq/zoq/CallAudio.h"
#include "Zoq/zoq/CommandLine.h"
#include "Zoq/zoq/ShellSession.h"
#include "Zoq/zoq/SpoolRoot.h"
#include "ZoqCore/Capture/RecorderCore.h"
#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/ArtifactState.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqShell/Messages/Translation.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace zoq::cli {
namespace {

namespace fs = std::filesystem;

struct SimulateOptions {
    std::string wav;
    std::string app = "org.example.Call";
    std::string root;
    std::string deviceId;
    std::string ffmpeg = FFmpegFLACEncoder::defaultExecutable;
};

/// The capture engine's cadence: every 250 ms one rescan and one chunk.
constexpr double tickSeconds = 0.25;
constexpr std::int64_t chunkFrames = pcm::sampleRate / 4;
/// The pid the simulated call application's helper process appears with.
constexpr std::int32_t callPID = 4242;

std::string seconds(std::int64_t frames) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s",
                  static_cast<double>(frames) / static_cast<double>(pcm::sampleRate));
    return text;
}

/// Drives a real `RecorderCore` on a manual clock as the capture engine would
/// during one call: the application holds the microphone for the length of the
/// audio, lets go, and the grace interval runs out on silence. Every spool file
/// is written for real, so the result is the part a real call would leave.
void simulateCall(const SimulateOptions& options, Context& context) {
    std::ostream& out = context.streams.out;
    const fs::path root = options.root.empty() ? defaultSpoolRoot() : fs::path(options.root);
    const Bytes audio = loadCallAudio(options.wav, options.ffmpeg);
    // Under the paired device, so the portal takes the upload; an unpaired
    // machine gets a device of its own, rebased when it pairs.
    const std::string deviceId =
        !options.deviceId.empty() ? options.deviceId : pairedDeviceId().value_or(makeUUID());
    ensureSpoolRoot(root);

    // Wall time starts now so the part is dated like a real one; only the
    // monotonic reading is simulated (the call takes seconds, not minutes).
    ManualClock clock(1000.0, HostClock().wallDate());
    const FFmpegFLACEncoder encoder(options.ffmpeg);
    const auto io = std::make_shared<DurableIO>();
    RecorderCore core(root, clock,
                      CaptureAllowlist{.allowed = {options.app},
                                       .ownPID = static_cast<std::int32_t>(::getpid()),
                                       .ownBundleId = "org.zoq.Zoq"},
                      deviceId, encoder, io);
    if (core.machine().state() == CaptureState::paused) {
        context.streams.err << "zoq: "
                            << substitute(
                                   i18n("recording is paused in {1} (capture-preferences.json); nothing was "
                                        "recorded"),
                                   {root.string()})
                            << '\n';
        context.exitCode = exitFailure;
        return;
    }

    const std::int64_t totalFrames = static_cast<std::int64_t>(audio.size()) / pcm::bytesPerFrame;
    out << substitute(i18n("simulated call: {1} holds the microphone for {2} of audio from {3}"),
                      {options.app, seconds(totalFrames), options.wav})
        << '\n';
    out << substitute(i18n("spool root: {1}"), {root.string()}) << '\n';

    std::vector<ProcessActivity> activity{{callPID, options.app, true}};
    const Bytes silence(static_cast<std::size_t>(chunkFrames * pcm::bytesPerFrame), 0);
    std::int64_t position = 0;
    const double start = clock.now();
    auto say = [&](const std::string& text) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "  t=%6.2f s  ", clock.now() - start);
        out << stamp << text << '\n';
    };
    auto step = [&](ByteView chunk) {
        const CaptureState before = core.machine().state();
        const bool hadPart = core.active() != nullptr;
        const std::size_t finished = core.completed().size();
        core.processes(activity);
        core.samples(chunk, position);
        core.tick();
        if (core.machine().state() != before) {
            // State names are English in every language.
            say(substitute(i18n("state {1} -> {2}"), {toText(before), toText(core.machine().state())}));
        }
        for (std::size_t index = finished; index < core.completed().size(); ++index) {
            // A part shorter than the minimum is discarded when it ends, its
            // audio removed: nothing is published or queued for it.
            const ArtifactState state = Artifact::readManifest(core.completed()[index], *io).state;
            say(state == ArtifactState::discardedShort
                    ? substitute(
                          i18n("part discarded: shorter than {1}, its audio removed; nothing to upload"),
                          {seconds(pcm::minimumPartFrames)})
                    : std::string(i18n("part finished: flushed, encoded to FLAC, verified, published")));
        }
        if (!hadPart && core.active() != nullptr) {
            say(substitute(i18n("part begins: {1}"), {core.active()->directory().filename().string()}));
        }
        position += static_cast<std::int64_t>(chunk.size()) / pcm::bytesPerFrame;
        clock.advance(tickSeconds);
    };

    say(substitute(i18n("{1} takes the microphone"), {options.app}));
    for (std::int64_t frame = 0; frame < totalFrames; frame += chunkFrames) {
        const std::int64_t count = std::min(chunkFrames, totalFrames - frame);
        step(ByteView(audio).subspan(static_cast<std::size_t>(frame * pcm::bytesPerFrame),
                                     static_cast<std::size_t>(count * pcm::bytesPerFrame)));
    }
    activity[0].runningInput = false;
    say(substitute(i18n("{1} lets go of the microphone"), {options.app}));
    // The grace interval runs on silence; a few ticks more than it lasts is
    // plenty for the finish to come.
    const double until = clock.now() + CaptureMachine::idleGraceInterval + 2.0;
    while (core.completed().empty() && core.active() != nullptr && clock.now() < until) {
        step(silence);
    }

    if (core.completed().empty()) {
        context.streams.err
            << "zoq: "
            << substitute(
                   i18n("no part was recorded (an allowed application must hold the microphone for {1} s)"),
                   {std::to_string(static_cast<int>(CaptureMachine::debounceInterval))})
            << '\n';
        context.exitCode = exitFailure;
        return;
    }
    // untranslated: the summary below ("part: DIR", "state: STATE", ...) is
    // what scripts read to find the part, in every language.
    for (const fs::path& directory : core.completed()) {
        const ArtifactManifest manifest = Artifact::readManifest(directory, *io);
        out << "part: " << directory.string() << '\n';
        out << "state: " << rawValue(manifest.state) << " (" << seconds(manifest.durableFrames)
            << " durable)\n";
        if (manifest.state == ArtifactState::discardedShort) {
            out << "upload: none (the part is discarded)\n"; // untranslated: the summary
        }
        if (manifest.state == ArtifactState::ready) {
            out << "flac: " << (directory / Artifact::flacName).string() << " ("
                << io->size(directory / Artifact::flacName)
                << " bytes; decoded again and matched against the durable audio)\n"; // untranslated: the
                                                                                     // summary
        }
    }
}

} // namespace

void addSimulateCallCommand(CLI::App& app, Context& context) {
    auto options = std::make_shared<SimulateOptions>();
    auto* command = app.add_subcommand(
        "simulate-call",
        i18n("Record a call from an audio file into the spool, exactly as a real call would be recorded:\n"
             "the application takes the microphone, 3 s debounce, the audio in 250 ms chunks, the "
             "application\n"
             "lets go, 15 s grace on silence, then the part is encoded to FLAC, verified and published.\n"
             "Prints the part's directory and final state."));
    command
        ->add_option("--wav", options->wav,
                     i18n("Audio file (16 kHz stereo 16-bit WAV is read directly; "
                          "anything else is converted with ffmpeg)"))
        ->required();
    command->add_option("--app", options->app, i18n("Bundle identifier of the simulated call application"))
        ->capture_default_str();
    command->add_option(
        "--root", options->root,
        i18n("Spool root (default: $XDG_DATA_HOME/zoq/spool, else ~/.local/share/zoq/spool)"));
    command->add_option("--device-id", options->deviceId,
                        i18n("Device identifier (default: the paired device, else a new random UUID)"));
    command->add_option("--ffmpeg", options->ffmpeg, i18n("The ffmpeg executable"))->capture_default_str();
    command->callback([options, &context] { simulateCall(*options, context); });
}

} // namespace zoq::cli
