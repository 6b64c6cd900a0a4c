#include "Zoq/zoq/CommandLine.h"
#include "Zoq/zoq/RunningService.h"
#include "Zoq/zoq/ShellSession.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Shell/ShellModel.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <ostream>

namespace zoq::cli {
namespace {

struct StatusOptions {
    bool json = false;
    std::string root;
};

/// What the running service says about itself; none when no service runs
/// (or it went away while asked).
std::optional<ShellStatus> liveStatus() {
    try {
        if (const auto service = runningService()) {
            return service->status();
        }
    } catch (const ShellBusError&) {
    }
    return std::nullopt;
}

JSONValue liveJSON(const std::optional<ShellStatus>& live) {
    if (!live) {
        return JSONValue(nullptr);
    }
    return JSONValue(JSONValue::Object{
        {"ready", live->ready},
        {"statusLine", live->statusLine},
        {"statusWarning", live->statusWarning},
        {"recorderState", live->recorderState},
        {"recordingApp", live->recordingApp.empty() ? JSONValue(nullptr) : JSONValue(live->recordingApp)},
        {"running", live->running},
        {"pairingMessage",
         live->pairingMessage.empty() ? JSONValue(nullptr) : JSONValue(live->pairingMessage)},
    });
}

void status(const StatusOptions& options, Context& context) {
    const std::optional<ShellStatus> live = liveStatus();
    ShellSession session;
    const std::vector<std::string> warnings = session.settings().warnings();
    const SystemAudioSource systemAudio = session.settings().systemAudioSource();
    const std::optional<CredentialSnapshot> snapshot = session.auth().snapshot();
    // Credentials of another portal than the address names are not used.
    const bool portalChanged = snapshot && !session.auth().servesConfiguredPortal();
    const auto uploader = session.uploader(
        options.root.empty() ? std::nullopt : std::optional<std::filesystem::path>(options.root));
    const std::vector<UploadRow> rows = uploader->readRows().get();
    std::ostream& out = context.streams.out;
    if (options.json) {
        JSONValue::Array rowValues;
        for (const UploadRow& row : rows) {
            rowValues.push_back(rowJSON(row));
        }
        const JSONValue document(JSONValue::Object{
            {"paired", snapshot.has_value() && !portalChanged},
            {"portalChanged", portalChanged},
            {"deviceId", snapshot ? JSONValue(snapshot->credentials.deviceId()) : JSONValue(nullptr)},
            {"blocked", snapshot && snapshot->blocked},
            {"portal", session.portal()},
            {"credentialStore", session.credentialStore()},
            {"systemAudioSource", ShellSettings::systemAudioSourceName(systemAudio)},
            {"rows", std::move(rowValues)},
            {"service", liveJSON(live)},
            {"settingsWarnings", JSONValue::Array(warnings.begin(), warnings.end())},
        });
        out << document.canonicalText() << '\n';
    } else {
        if (live) {
            // The recorder's state is a state name: English in every language.
            out << substitute(i18n("zoq: running, {1}"),
                              {live->ready ? live->statusLine : std::string(i18n("starting"))})
                << '\n';
            out << substitute(i18n("recorder: {1}"),
                              {live->recorderState +
                               (live->recordingApp.empty() ? std::string() : " " + live->recordingApp)})
                << '\n';
        } else {
            out << i18n("zoq: not running") << '\n';
        }
        const std::string paired =
            !snapshot       ? std::string(i18n("no"))
            : portalChanged ? substitute(i18n("no ({1})"), {i18n(ShellModel::portalChangedMessage)})
                            : substitute(i18n("yes, device {1}"), {snapshot->credentials.deviceId()});
        out << substitute(i18n("paired: {1}"), {paired}) << '\n';
        out << substitute(i18n("blocked: {1}"),
                          {snapshot && snapshot->blocked ? i18n("yes (pair again)") : i18n("no")})
            << '\n';
        out << substitute(i18n("portal: {1}"), {session.portal()}) << '\n';
        out << substitute(i18n("credentials: {1}"), {session.credentialStore()}) << '\n';
        out << substitute(i18n("right channel: {1}"), {systemAudio == SystemAudioSource::recordedApp
                                                           ? i18n("only the recorded application")
                                                           : i18n("everything the computer plays")})
            << '\n';
        for (const std::string& warning : warnings) {
            out << substitute(i18n("settings: {1}"), {warning}) << '\n';
        }
        out << substitute(i18n("recordings: {1}"), {std::to_string(rows.size())}) << '\n';
        for (const UploadRow& row : rows) {
            out << "  " << rowLine(row) << '\n';
        }
    }
    if (!snapshot) {
        context.exitCode = exitNotPaired;
    }
}

} // namespace

void addStatusCommand(CLI::App& app, Context& context) {
    auto options = std::make_shared<StatusOptions>();
    CLI::App* command = app.add_subcommand(
        "status", i18n("Show the running zoq's state, pairing, the portal address and the recordings"));
    command->footer(
        i18n("Asks the running zoq (the tray or `zoq daemon`, if any) for its status line and the\n"
             "recorder's state, and reads the settings, the credentials and every recording's\n"
             "manifest itself; changes nothing and sends nothing. --json prints one object:\n"
             "paired, portalChanged, deviceId, blocked, portal, credentialStore, systemAudioSource\n"
             "(\"all\" or \"recordedApp\": what the right channel records), rows (directoryName, state,\n"
             "stage, recordingId, failures, retryAt, lastError, stuck, sentBytes, byteSize),\n"
             "and service: null when no zoq\n"
             "service runs in this session, else what it shows now (ready, statusLine,\n"
             "statusWarning, recorderState, recordingApp, running, pairingMessage), and\n"
             "settingsWarnings: a sentence for each value in the settings that is ignored.\n\n"
             "Exit status: 0 paired; 3 not paired (the status is still printed); 2 usage;\n"
             "4 no usable credential store."));
    command->add_flag("--json", options->json, i18n("Print the status as JSON"));
    command->add_option("--root", options->root, i18n("Spool directory (default: $XDG_DATA_HOME/zoq/spool)"));
    command->callback([options, &context] {
        try {
            status(*options, context);
        } catch (const CommandFailure& failure) {
            context.streams.err << "zoq: " << failure.what() << '\n';
            context.exitCode = failure.exitCode();
        }
    });
}

} // namespace zoq::cli
