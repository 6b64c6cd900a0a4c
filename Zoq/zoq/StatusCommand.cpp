#include "Zoq/zoq/CommandLine.h"
#include "Zoq/zoq/ShellSession.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <ostream>

namespace zoq::cli {
namespace {

struct StatusOptions {
    bool json = false;
    std::string root;
};

void status(const StatusOptions& options, Context& context) {
    ShellSession session;
    const std::optional<CredentialSnapshot> snapshot = session.auth().snapshot();
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
            {"paired", snapshot.has_value()},
            {"deviceId", snapshot ? JSONValue(snapshot->credentials.deviceId()) : JSONValue(nullptr)},
            {"blocked", snapshot && snapshot->blocked},
            {"portal", session.portal()},
            {"credentialStore", session.credentialStore()},
            {"rows", std::move(rowValues)},
        });
        out << document.canonicalText() << '\n';
    } else {
        out << "paired: "
            << (snapshot ? "yes, device " + snapshot->credentials.deviceId() : std::string("no")) << '\n';
        out << "blocked: " << (snapshot && snapshot->blocked ? "yes (pair again)" : "no") << '\n';
        out << "portal: " << session.portal() << '\n';
        out << "credentials: " << session.credentialStore() << '\n';
        out << "recordings: " << rows.size() << '\n';
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
    CLI::App* command = app.add_subcommand("status", "Show pairing, the portal address and the recordings");
    command->footer("Reads the settings, the credentials and every recording's manifest; changes nothing\n"
                    "and sends nothing. --json prints one object: paired, deviceId, blocked, portal,\n"
                    "credentialStore and rows (directoryName, state, stage, recordingId, failures,\n"
                    "retryAt, lastError, stuck, sentBytes, byteSize).\n\n"
                    "Exit status: 0 paired; 3 not paired (the status is still printed); 2 usage;\n"
                    "4 no usable credential store.");
    command->add_flag("--json", options->json, "Print the status as JSON");
    command->add_option("--root", options->root, "Spool directory (default: $XDG_DATA_HOME/zoq/spool)");
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
