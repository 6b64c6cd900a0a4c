// `zoq start|stop|pause|resume|upload-now`: ask the running zoq service (the
// tray or `zoq daemon`) to act, over the session bus.

#include "Zoq/zoq/CommandLine.h"
#include "Zoq/zoq/RunningService.h"
#include "Zoq/zoq/ShellSession.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Service/ShellBusInterface.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <functional>
#include <ostream>
#include <thread>

namespace zoq::cli {
namespace {

/// The engine applies a pause or a resume shortly after the call returns;
/// the command waits this long for the state to show it before it reports.
constexpr auto settleTime = std::chrono::seconds(5);
/// How long a request waits for a zoq that is still starting.
constexpr auto startTime = std::chrono::seconds(30);

struct ServiceAction {
    const char* name;
    /// Whether the command starts zoq when none runs: only asking it to
    /// record does; the others mean nothing to a zoq that is not running.
    bool activates;
    const char* summary;
    void (ShellBusClient::*call)();
    /// The state the request leads to, once the recorder has applied it.
    bool (*reached)(const ShellStatus&);
};

const ServiceAction actions[] = {
    {"start", true, I18N_NOOP("Switch recording on in the running zoq (arm the recorder)"),
     &ShellBusClient::startRecording, [](const ShellStatus& status) { return status.running; }},
    {"stop", false, I18N_NOOP("Switch recording off in the running zoq (an open part is finished first)"),
     &ShellBusClient::stopRecording, [](const ShellStatus& status) { return !status.running; }},
    {"pause", false, I18N_NOOP("Pause recording in the running zoq (no effect when paused already)"),
     &ShellBusClient::pause, [](const ShellStatus& status) { return status.recorderState == "paused"; }},
    {"resume", false, I18N_NOOP("Resume recording in the running zoq (no effect when not paused)"),
     &ShellBusClient::resume, [](const ShellStatus& status) { return status.recorderState != "paused"; }},
};

ShellBusClient& service(std::unique_ptr<ShellBusClient>& client, bool activates = false) {
    client = runningService();
    if (!client && activates) {
        try {
            client = ShellBusClient::activate();
        } catch (const ShellBusError& error) {
            // Not installed as a service here: the same answer as without one.
            if (error.name() != "org.freedesktop.DBus.Error.ServiceUnknown") {
                throw CommandFailure(exitNotRunning,
                                     substitute(i18n("zoq could not be started: {1}"), {error.what()}));
            }
        }
    }
    if (!client) {
        throw notRunning();
    }
    return *client;
}

void act(const ServiceAction& action, Context& context) {
    std::unique_ptr<ShellBusClient> client;
    try {
        ShellBusClient& zoq = service(client, action.activates);
        // A zoq that has just been started owns its name before it has
        // opened the credentials: the request waits for it, as a person
        // would have to.
        const auto ready = std::chrono::steady_clock::now() + startTime;
        for (;;) {
            try {
                (zoq.*action.call)();
                break;
            } catch (const ShellBusError& error) {
                if (error.name() != shellbus::error::notReady || std::chrono::steady_clock::now() > ready) {
                    throw;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ShellStatus status = zoq.status();
        const auto giveUp = std::chrono::steady_clock::now() + settleTime;
        while (!action.reached(status) && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            status = zoq.status();
        }
        context.streams.out << status.statusLine << '\n';
    } catch (const ShellBusError& error) {
        throw serviceFailure(error);
    }
}

void uploadNow(Context& context) {
    std::unique_ptr<ShellBusClient> client;
    try {
        ShellBusClient& zoq = service(client);
        zoq.uploadNow();
        const ShellStatus status = zoq.status();
        for (const UploadRow& row : status.rows) {
            context.streams.out << rowLine(row) << '\n';
        }
        if (status.blockedAuth) {
            context.streams.out << i18n("credentials blocked: pair again with 'zoq pair CODE'") << '\n';
        }
    } catch (const ShellBusError& error) {
        throw serviceFailure(error);
    }
}

void guarded(Context& context, const std::function<void()>& work) {
    try {
        work();
    } catch (const CommandFailure& failure) {
        context.streams.err << "zoq: " << failure.what() << '\n';
        context.exitCode = failure.exitCode();
    }
}

constexpr const char* footer =
    I18N_NOOP("Asks the zoq service running in this session (the tray or `zoq daemon`), over the\n"
              "session bus, and prints its status line once the recorder shows the change (or\n"
              "after 5 s). When none runs, start has the session bus start the installed zoq\n"
              "service (the systemd user unit zoq.service); the others never start one.\n\n"
              "Exit status: 0 done; 1 the service refused (the reason is printed); 3 not paired\n"
              "(start); 5 zoq is not running (or could not be started).");

} // namespace

void addServiceCommands(CLI::App& app, Context& context) {
    for (const ServiceAction& action : actions) {
        CLI::App* command = app.add_subcommand(action.name, i18n(action.summary));
        command->footer(i18n(footer));
        command->callback([&action, &context] { guarded(context, [&] { act(action, context); }); });
    }
    CLI::App* upload =
        app.add_subcommand("upload-now", i18n("Ask the running zoq to run an upload pass now"));
    upload->footer(
        i18n("Asks the zoq service running in this session to run one uploader pass, waits until it\n"
             "has ended (up to an hour), then prints the spool's rows as `zoq upload` does.\n\n"
             "Exit status: 0 the pass ran; 1 the service failed; 3 not paired; 5 zoq is not running."));
    upload->callback([&context] { guarded(context, [&] { uploadNow(context); }); });
}

} // namespace zoq::cli
