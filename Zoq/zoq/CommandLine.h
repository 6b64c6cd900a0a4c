#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace zoq::cli {

/// Where a command reads and writes. Tests pass string streams.
struct Streams {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
};

/// Exit codes a script can rely on.
enum ExitCode : int {
    exitSuccess = 0,
    exitFailure = 1,           ///< the command ran and its answer is "no" (invalid document, failed check)
    exitUsage = 2,             ///< the command line itself was wrong
    exitNotPaired = 3,         ///< upload/status: the device holds no credentials
    exitNoCredentialStore = 4, ///< the keyring (or the chosen credential file) cannot be used
    exitNotRunning = 5,        ///< start/stop/pause/resume/upload-now: no zoq service runs
};

/// Runs the `zoq` command line on `args` (without the program name) and
/// returns the process exit code. Never throws.
int run(const std::vector<std::string>& args, Streams streams);

/// Shared state of one run: the streams, and the exit code a command sets.
struct Context {
    Streams streams;
    int exitCode = exitSuccess;
};

// Each command family registers its subcommands on the root app. The callbacks
// write to `context.streams` and set `context.exitCode`.
void addDemoCommand(CLI::App& app, Context& context);
void addWireCommand(CLI::App& app, Context& context);
void addSpoolCommand(CLI::App& app, Context& context);
void addSimulateCallCommand(CLI::App& app, Context& context);
void addPairCommand(CLI::App& app, Context& context);
void addUploadCommand(CLI::App& app, Context& context);
void addStatusCommand(CLI::App& app, Context& context);
void addRecordCommand(CLI::App& app, Context& context);
void addDaemonCommand(CLI::App& app, Context& context);
void addServiceCommands(CLI::App& app, Context& context);
/// Hidden: writes the shell completion of every command registered before it.
void addCompletionCommand(CLI::App& app, Context& context);

} // namespace zoq::cli
