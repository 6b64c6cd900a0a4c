#include "Zoq/zoq/CommandLine.h"

#include "ZoqCore/Support/CoreError.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>

namespace zoq::cli {

int run(const std::vector<std::string>& args, Streams streams) {
    Context context{streams};
    CLI::App app{"zoq records your calls automatically and delivers them to your portal.", "zoq"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Print help for every command");
    app.set_version_flag("--version", std::string("zoq ") + ZOQ_VERSION, "Print zoq's version and exit");
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
    app.footer("Exit status: 0 success; 1 the command failed; 2 usage; 3 the device is not paired;\n"
               "4 no usable credential store; 5 no zoq service runs (start, stop, pause, resume,\n"
               "upload-now). Each command's --help says which apply.");

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
            streams.err << "zoq: there is no command \"" << args.front() << "\"; the commands are: " << names
                        << ".\nRun 'zoq --help' for what each does.\n";
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
        streams.err << "zoq: " << error.what() << '\n' << "Run 'zoq --help' for usage.\n";
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
