#include "Zoq/zoq/CommandLine.h"

#include "ZoqCore/Support/CoreError.h"
#include "ZoqShell/Messages/Translation.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>

namespace zoq::cli {
namespace {

/// The headings CLI11 writes around the help, in the person's language.
void translateLabels(CLI::App& app) {
    const std::shared_ptr<CLI::Formatter> formatter = std::make_shared<CLI::Formatter>();
    formatter->label("Usage", i18n("Usage"));
    formatter->label("OPTIONS", i18n("OPTIONS"));
    formatter->label("SUBCOMMAND", i18n("SUBCOMMAND"));
    formatter->label("SUBCOMMANDS", i18n("SUBCOMMANDS"));
    formatter->label("REQUIRED", i18n("REQUIRED"));
    formatter->label("Positionals", i18n("Positionals"));
    app.formatter(formatter);
    app.set_help_flag("-h,--help", i18n("Print this help message and exit"));
}

/// Group headings are the groups' names: CLI11's default groups are renamed
/// in every command once all exist. Hidden ones (no group) stay hidden.
void translateGroups(CLI::App& app) {
    for (CLI::Option* option : app.get_options()) {
        if (option->get_group() == "Options") {
            option->group(i18n("Options"));
        }
    }
    for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        if (command->get_group() == "Subcommands") {
            command->group(i18n("Subcommands"));
        }
        translateGroups(*command);
    }
}

} // namespace

int run(const std::vector<std::string>& args, Streams streams) {
    Context context{streams};
    CLI::App app{i18n("zoq records your calls automatically and delivers them to your portal."), "zoq"};
    translateLabels(app);
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", i18n("Print help for every command"));
    app.set_version_flag("--version", std::string("zoq ") + ZOQ_VERSION,
                         i18n("Print zoq's version and exit"));
    addDemoCommand(app, context);
    addWireCommand(app, context);
    addSpoolCommand(app, context);
    addSimulateCallCommand(app, context);
    addPairCommand(app, context);
    addUploadCommand(app, context);
    addStatusCommand(app, context);
    addRecordCommand(app, context);
    addDaemonCommand(app, context);
    addServiceCommands(app, context);
    addCompletionCommand(app, context);
    translateGroups(app);
    app.footer(i18n("Exit status: 0 success; 1 the command failed; 2 usage; 3 the device is not paired;\n"
                    "4 no usable credential store; 5 no zoq service runs (start, stop, pause, resume,\n"
                    "upload-now). Each command's --help says which apply."));

    // A first word that names no command is most likely a slip: say which
    // commands there are, rather than CLI11's "not expected".
    if (!args.empty() && !args.front().empty() && args.front().front() != '-') {
        const std::vector<CLI::App*> commands = app.get_subcommands([](CLI::App*) { return true; });
        if (std::none_of(commands.begin(), commands.end(),
                         [&](CLI::App* command) { return command->check_name(args.front()); })) {
            std::string names;
            for (const CLI::App* command : commands) {
                names += (names.empty() ? "" : ", ") + command->get_name();
            }
            streams.err << "zoq: "
                        << substitute(
                               i18n("there is no command \"{1}\"; the commands are: {2}.\nRun 'zoq --help' "
                                    "for what each does."),
                               {args.front(), names})
                        << '\n';
            return exitUsage;
        }
    }

    // CLI11 parses argv in reverse order from a vector.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp& help) {
        streams.out << app.help();
        return exitSuccess;
    } catch (const CLI::CallForAllHelp&) {
        streams.out << app.help("", CLI::AppFormatMode::All);
        return exitSuccess;
    } catch (const CLI::CallForVersion&) {
        streams.out << app.version() << '\n';
        return exitSuccess;
    } catch (const CLI::ParseError& error) {
        // A subcommand's --help raises CallForHelp from within that subcommand.
        streams.err << "zoq: " << error.what() << '\n' << i18n("Run 'zoq --help' for usage.") << '\n';
        return exitUsage;
    } catch (const CoreError& error) {
        streams.err << "zoq: " << error.reason() << '\n';
        return exitFailure;
    } catch (const std::exception& error) {
        streams.err << "zoq: " << error.what() << '\n';
        return exitFailure;
    }
    return context.exitCode;
}

} // namespace zoq::cli
