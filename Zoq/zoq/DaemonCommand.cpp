// `zoq daemon`: the long-lived zoq service without a tray: it arms recording
// as the settings say, records every allowed call, uploads, and runs until
// SIGINT or SIGTERM.

#include "Zoq/zoq/CommandLine.h"
#include "Zoq/zoq/RunningService.h"
#include "Zoq/zoq/ShellSession.h"
#include "Zoq/zoq/StopOnSignal.h"
#include "ZoqCaptureEngine/DesktopEntryIndex.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Recorder/MainLoop.h"
#include "ZoqShell/Recorder/SystemRecording.h"
#include "ZoqShell/Service/ShellBusService.h"
#include "ZoqShell/Settings/DeviceName.h"
#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqShell/System/DesktopGlobalHotKey.h"
#include "ZoqShell/System/LoginItemManager.h"
#include "ZoqShell/System/XdgLinkOpener.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <memory>
#include <ostream>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace zoq::cli {
namespace {

struct DaemonOptions {
    std::string root;
};

std::filesystem::path trayProgram() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::path("/usr/bin") : self.parent_path()) / "zoq-tray";
}

/// Prints what changed, one line each: the recorder's state and the rows.
class Reporter {
public:
    Reporter(ShellModel& model, std::ostream& out) : model_(model), out_(out) {}

    void report() {
        const RecorderController& recorder = model_.recorder();
        std::string state(rawValue(recorder.uiState()));
        if (recorder.uiState() == RecorderUIState::recording && recorder.recordingApp()) {
            // The identifier (what the allowlist holds), then the name the
            // tray and `zoq status` show, once the desktop entries are read.
            const std::string& app = *recorder.recordingApp();
            state += " " + app;
            if (const std::string name = model_.applicationName(app); name != app) {
                state += " (" + name + ")";
            }
        }
        if (const auto& info = recorder.terminationInfo()) {
            state += " (" + info->kind + ": " + info->detail + ")";
        }
        if (state != lastState_) {
            lastState_ = state;
            out_ << substitute(i18n("recorder: {1}"), {state}) << std::endl;
        }
        for (const UploadRow& row : model_.rows()) {
            const std::string line = rowLine(row);
            if (rows_[row.directoryName] != line) {
                rows_[row.directoryName] = line;
                out_ << substitute(i18n("upload: {1}"), {line}) << std::endl;
            }
        }
        // Each settings warning once, when it first shows.
        const std::vector<std::string> warnings = model_.settings().warnings();
        for (const std::string& warning : warnings) {
            if (std::find(warnings_.begin(), warnings_.end(), warning) == warnings_.end()) {
                out_ << substitute(i18n("settings: {1}"), {warning}) << std::endl;
            }
        }
        warnings_ = warnings;
        if (model_.pairingMessage()) {
            // A refused address also says why (the bus reply and the windows
            // carry the message alone).
            // The model's messages are the marked constants of ShellModel.
            std::string message = i18n(model_.pairingMessage()->c_str());
            if (*model_.pairingMessage() == ShellModel::portalRefused && !model_.portalProblem().empty()) {
                message += " (" + model_.portalProblem() + ")";
            }
            if (message != lastMessage_) {
                lastMessage_ = message;
                out_ << message << std::endl;
            }
        }
    }

private:
    ShellModel& model_;
    std::ostream& out_;
    std::string lastState_;
    std::string lastMessage_;
    std::map<std::string, std::string> rows_;
    std::vector<std::string> warnings_;
};

void daemon(const DaemonOptions& options, Context& context) {
    MainLoop loop;
    const StopOnSignal signals([&loop] { loop.quit(); });
    // Before the model: a second zoq must not arm a second recorder.
    ServiceClaim claim = claimService(loop, [&context] {
        context.streams.out << i18n("another start of zoq found this one running") << std::endl;
    });
    if (claim.alreadyRunning) {
        context.streams.out << i18n("zoq is already running") << std::endl;
        return;
    }
    if (!claim.unavailable.empty()) {
        context.streams.err
            << "zoq: "
            << substitute(
                   i18n("{1}; running without `zoq status`, `zoq pause` and the other commands that ask it"),
                   {claim.unavailable})
            << std::endl;
    }
    const std::unique_ptr<ShellBusService> service = std::move(claim.service);
    {
        // A refused stored portal address is reported by the model (and
        // printed below), not fatal: the recorder still runs.
        ShellSession session(/*storedPortalRequired=*/false);
        session.settings().storeDefaultAPIBaseURL();
        const HostClock clock;
        LoginItemManager loginItems(trayProgram(), ShellPaths::autostartFile());
        XdgLinkOpener links;
        const std::filesystem::path ffmpeg =
            session.settings().ffmpegPath().value_or(FFmpegFLACEncoder::defaultExecutable);
        ShellModel model(ShellModel::Dependencies{
            session.settings(), loop, session.transport(), session.persistence(),
            options.root.empty() ? ShellPaths::spoolRoot() : std::filesystem::path(options.root),
            session.network(), [ffmpeg] { return std::make_unique<FFmpegFLACEncoder>(ffmpeg); },
            SystemRecording::engineFactory(), SystemRecording::microphoneRequester(),
            [](GlobalHotKey::Callback pressed) { return makeDesktopGlobalHotKey(std::move(pressed)); },
            loginItems, links, deviceName(), clock, std::chrono::milliseconds(5'000),
            SystemRecording::soundServerProbe(),
            [] { return std::make_shared<const DesktopEntryIndex>(DesktopEntryIndex::installed()); }});
        Reporter reporter(model, context.streams.out);
        model.onChange([&reporter] { reporter.report(); });
        reporter.report();
        if (service) {
            service->attach(model);
        }
        model.startUp();
        context.streams.out << i18n("zoq is running (stop with Ctrl-C)") << std::endl;

        loop.run();
        context.streams.out << i18n("stopping: finishing any recording") << std::endl;
        if (service) {
            service->detach();
        }
    } // the model stops the recorder, which finalises an open part
}

} // namespace

void addDaemonCommand(CLI::App& app, Context& context) {
    auto options = std::make_shared<DaemonOptions>();
    CLI::App* command = app.add_subcommand("daemon", i18n("Run zoq in the foreground without a tray"));
    command->footer(
        i18n("The zoq service as the tray runs it, for sessions without a tray: records every call of\n"
             "an allowed application while recording is on (it is re-armed at start when it was on\n"
             "and the device is paired), uploads every 5 s, and pauses or resumes on the global\n"
             "hotkey. Prints a line when the recorder's state or a recording's upload changes.\n"
             "SIGINT or SIGTERM stops it; an open part is finished first.\n\n"
             "It owns the name org.zoq.Zoq on the session bus, where `zoq status`, `zoq start`,\n"
             "`stop`, `pause`, `resume`, `upload-now`, `upload` and `pair` reach it. When another zoq\n"
             "(the tray or a daemon) owns the name already, it asks that one to show itself, prints\n"
             "\"zoq is already running\" and exits with status 0."));
    command->add_option("--root", options->root, i18n("Spool directory (default: $XDG_DATA_HOME/zoq/spool)"));
    command->callback([options, &context] {
        try {
            daemon(*options, context);
        } catch (const CommandFailure& failure) {
            context.streams.err << "zoq: " << failure.what() << '\n';
            context.exitCode = failure.exitCode();
        }
    });
}

} // namespace zoq::cli
