#include "Zoq/zoq/CommandLine.h"
#include "Zoq/zoq/RunningService.h"
#include "Zoq/zoq/ShellSession.h"
#include "ZoqShell/Auth/PairingClient.h"
#include "ZoqShell/Auth/PairingError.h"
#include "ZoqShell/Messages/PlainWords.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Secrets/SecretsError.h"
#include "ZoqShell/Service/ShellBusInterface.h"
#include "ZoqShell/Settings/DeviceName.h"
#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <ostream>
#include <unistd.h>

namespace zoq::cli {
namespace {

struct PairOptions {
    std::string code;
    std::string portal;
    std::string root;
};

/// The running service pairs: its device authentication is the one that
/// keeps the credentials fresh, and it resumes its own spool's recordings.
/// With --portal it pairs with that portal and applies the address only when
/// the pairing succeeds.
void pairThrough(ShellBusClient& service, const std::optional<std::string>& portal,
                 const PairOptions& options, Context& context) {
    try {
        context.streams.out << (portal ? service.pairWithPortal(*portal, options.code)
                                       : service.pair(options.code))
                            << '\n';
    } catch (const ShellBusError& error) {
        if (portal && error.name() == shellbus::error::invalidPortalURL) {
            context.streams.err << error.what() << '\n';
            context.exitCode = exitUsage;
            return;
        }
        if (error.name() != shellbus::error::pairingFailed &&
            error.name() != shellbus::error::invalidPortalURL) {
            throw serviceFailure(error);
        }
        // The fixed text is the first line; what it means for the person
        // follows it, on standard error as for a pairing made here.
        const std::string text = error.what();
        const std::size_t end = text.find('\n');
        context.streams.out << text.substr(0, end) << '\n';
        if (end != std::string::npos) {
            context.streams.err << "zoq: " << text.substr(end + 1) << '\n';
        }
        context.exitCode = exitFailure;
    }
}

void pair(const PairOptions& options, Context& context) {
    std::ostream& out = context.streams.out;
    std::optional<std::string> portal;
    if (!options.portal.empty()) {
        // Refused before anything is asked of a portal: credentials bound to
        // another portal would be useless where the address is fixed.
        if (ShellSettings(ShellPaths::settingsFile(),
                          ShellSettings::systemLayersIn(ShellPaths::systemConfigRoots()))
                .isLocked(ShellSettings::apiBaseURLKey)) {
            context.streams.err
                << "zoq: " << i18n("the portal address is set by your administrator; pair without --portal")
                << '\n';
            context.exitCode = exitUsage;
            return;
        }
        const ShellSettings::PortalCheck check = ShellSettings::checkPortalURL(options.portal);
        if (!check.url) {
            // untranslated: the same first line as the running service's bus
            // error, which scripts match whichever way the pairing went.
            context.streams.err << ShellModel::portalRefused << '\n' << "zoq: " << check.reason << '\n';
            context.exitCode = exitUsage;
            return;
        }
        portal = check.url;
    }
    if (options.root.empty()) {
        if (const auto service = runningService()) {
            pairThrough(*service, portal, options, context);
            return;
        }
    }
    // A stored address that is refused does not stop a pairing that names
    // its portal; the address is stored only once the pairing succeeded, so
    // a failed one leaves the address and the credentials as they were.
    ShellSession session(!portal.has_value());
    const PairingClient client(session.auth(), ShellPaths::installUUID(session.settings()), deviceName(),
                               portal);
    std::string deviceId;
    try {
        deviceId = client.pair(options.code).deviceId();
    } catch (const PairingError& error) {
        // untranslated: "Pairing failed: REASON" and "Paired device ID" are
        // the lines scripts read, the same as the running service's.
        out << "Pairing failed: " << error.what() << '\n';
        context.streams.err << "zoq: " << plain::words(error) << '\n';
        context.exitCode = exitFailure;
        return;
    } catch (const SecretsError& error) {
        out << "Pairing failed: " << error.what() << '\n'; // untranslated: as above
        context.streams.err << "zoq: " << plain::words(error) << '\n'
                            << plain::fileStoreChoice(ShellPaths::settingsFile()) << '\n';
        context.exitCode = exitFailure;
        return;
    } catch (const std::exception& error) {
        out << "Pairing failed: " << error.what() << '\n'; // untranslated: as above
        context.exitCode = exitFailure;
        return;
    }
    if (portal) {
        session.settings().setAPIBaseURLString(*portal);
        session.usePortal(*portal);
    }
    out << "Paired device " << deviceId << '\n'; // untranslated: read by scripts, as above
    const auto uploader = session.uploader(
        options.root.empty() ? std::nullopt : std::optional<std::filesystem::path>(options.root));
    if (const int resumed = uploader->resumeAfterPair(deviceId).get(); resumed > 0) {
        out << substitute(i18np("Resumed {1} recording that was waiting for a pairing",
                                "Resumed {1} recordings that were waiting for a pairing",
                                static_cast<unsigned long>(resumed)),
                          {std::to_string(resumed)})
            << '\n';
    }
}

} // namespace

void addPairCommand(CLI::App& app, Context& context) {
    auto options = std::make_shared<PairOptions>();
    CLI::App* command = app.add_subcommand("pair", i18n("Pair this device with your portal account"));
    command->footer(
        i18n("Redeems a pairing code created in the portal and keeps the device credentials in the\n"
             "keyring. Recordings that were waiting for a new pairing are resumed.\n\n"
             "Prints \"Paired device <id>\" or \"Pairing failed: <reason>\", where the reason is\n"
             "invalidCode, network, or rejected(\"<portal error code>\"); a failure is then explained\n"
             "on standard error (for network: certificate not trusted, connection refused, host not\n"
             "found, timed out, ...) with what to do next.\n\n"
             "When zoq runs in this session (the tray or `zoq daemon`) and no --root is given, it\n"
             "is asked to pair (and to apply --portal); with --root the command pairs by itself\n"
             "and resumes that spool.\n\n"
             "Exit status: 0 paired; 1 pairing failed; 2 usage (including an invalid --portal);\n"
             "4 no usable credential store."));
    command->add_option("code", options->code, i18n("The pairing code shown by the portal"))->required();
    command->add_option(
        "--portal", options->portal,
        i18n("Portal address (https, or http to this computer); stored in the settings once the "
             "pairing succeeded"));
    command->add_option("--root", options->root, i18n("Spool directory (default: $XDG_DATA_HOME/zoq/spool)"));
    command->callback([options, &context] {
        try {
            pair(*options, context);
        } catch (const CommandFailure& failure) {
            context.streams.err << "zoq: " << failure.what() << '\n';
            context.exitCode = failure.exitCode();
        }
    });
}

} // namespace zoq::cli
