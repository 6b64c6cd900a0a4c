#include "Zoq/zoq/CommandLine.h"
#include "Zoq/zoq/RunningService.h"
#include "Zoq/zoq/ShellSession.h"
#include "Zoq/zoq/SpoolRoot.h"
#include "ZoqShell/Messages/Translation.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>

namespace zoq::cli {
namespace {

struct UploadOptions {
    bool once = false;
    bool watch = false;
    bool untilDone = false;
    double interval = 5;
    std::string root;
};

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void requestStop(int) {
    stopRequested.store(true);
}

/// SIGINT and SIGTERM end the watch loop after the running pass, so a pass is
/// never cut off by the command itself (a SIGKILL is safe too: every step is
/// committed before the next is sent).
class StopSignals {
public:
    StopSignals() {
        stopRequested.store(false);
        struct sigaction action {};
        action.sa_handler = requestStop;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &oldInterrupt_);
        ::sigaction(SIGTERM, &action, &oldTerminate_);
    }
    ~StopSignals() {
        ::sigaction(SIGINT, &oldInterrupt_, nullptr);
        ::sigaction(SIGTERM, &oldTerminate_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction oldInterrupt_ {};
    struct sigaction oldTerminate_ {};
};

// Whether a pass may still move the recording without the user stepping in.
bool pending(const UploadRow& row) {
    if (row.stage == QueueStage::blockedAuth || row.stage == QueueStage::blockedPermission ||
        row.stage == QueueStage::quarantined) {
        return false;
    }
    switch (row.state) {
    case ArtifactState::ready:
    case ArtifactState::uploading:
    case ArtifactState::verifyingRemote:
    case ArtifactState::retryWait:
    case ArtifactState::stored:
        return true;
    default:
        return false;
    }
}

/// Prints the rows whenever they change; called from any thread.
class RowPrinter {
public:
    explicit RowPrinter(std::ostream& out) : out_(out) {}

    void show(const std::vector<UploadRow>& rows, bool blocked) {
        const std::lock_guard guard(lock_);
        if (blocked != printedBlocked_ && blocked) {
            out_ << i18n("credentials blocked: pair again with 'zoq pair CODE'") << '\n';
        }
        printedBlocked_ = blocked;
        if (rows != printed_) {
            for (const UploadRow& row : rows) {
                out_ << rowLine(row) << '\n';
            }
            out_ << std::flush;
            printed_ = rows;
        }
        done_ = blocked ||
                std::none_of(rows.begin(), rows.end(), [](const UploadRow& row) { return pending(row); });
    }

    /// Nothing is left that a pass could move.
    bool done() {
        const std::lock_guard guard(lock_);
        return done_;
    }

private:
    std::ostream& out_;
    std::mutex lock_;
    std::optional<std::vector<UploadRow>> printed_; // guarded by lock_
    std::optional<bool> printedBlocked_;            // guarded by lock_
    bool done_ = false;                             // guarded by lock_
};

/// Runs passes, once or until stopped, printing the rows as they change.
void runPasses(const UploadOptions& options, RowPrinter& printer, const std::function<void()>& pass) {
    if (!options.watch) {
        pass();
        return;
    }
    const StopSignals signals;
    const auto slice = std::chrono::milliseconds(100);
    while (!stopRequested.load()) {
        pass();
        if (options.untilDone && printer.done()) {
            break;
        }
        const auto wakeAt =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(options.interval);
        while (!stopRequested.load() && std::chrono::steady_clock::now() < wakeAt) {
            std::this_thread::sleep_for(slice);
        }
    }
}

void notPaired(Context& context) {
    context.streams.err << "zoq: " << i18n("not paired; run 'zoq pair CODE' first") << '\n';
    context.exitCode = exitNotPaired;
}

/// The running service's uploader makes the passes: one uploader per spool.
void uploadThrough(ShellBusClient& service, const UploadOptions& options, Context& context) {
    try {
        if (!service.status().paired) {
            notPaired(context);
            return;
        }
        RowPrinter printer(context.streams.out);
        runPasses(options, printer, [&] {
            service.uploadNow();
            const ShellStatus status = service.status();
            printer.show(status.rows, status.blockedAuth);
        });
    } catch (const ShellBusError& error) {
        throw serviceFailure(error);
    }
}

void upload(const UploadOptions& options, Context& context) {
    if (options.root.empty()) {
        if (const auto service = runningService()) {
            uploadThrough(*service, options, context);
            return;
        }
    }
    if (!options.root.empty()) {
        refuseForeignSpoolRoot(options.root);
    }
    ShellSession session;
    if (!session.auth().hasCredentials()) {
        notPaired(context);
        return;
    }
    const auto uploader = session.uploader(
        options.root.empty() ? std::nullopt : std::optional<std::filesystem::path>(options.root));
    // Rows arrive on the uploader's thread, during the pass.
    RowPrinter printer(context.streams.out);
    uploader->onRows([&](const std::vector<UploadRow>& rows, bool blocked) { printer.show(rows, blocked); });
    runPasses(options, printer, [&] { uploader->tickOnce().get(); });
}

} // namespace

void addUploadCommand(CLI::App& app, Context& context) {
    auto options = std::make_shared<UploadOptions>();
    CLI::App* command = app.add_subcommand("upload", i18n("Upload finished recordings to the portal"));
    command->footer(i18n("Runs uploader passes over the spool: once (the default), or with --watch every\n"
                         "--interval seconds until SIGINT or SIGTERM (or, with --until-done, until no\n"
                         "recording is left to upload). Prints the spool's rows whenever they change:\n"
                         "  <session>-<part>  <STATE>  <STAGE>  sent <n>/<size> bytes  [recording <id>]\n"
                         "  [failures <n>]  [retry at <time>]  [error: <text>]  [STUCK]\n\n"
                         "When zoq runs in this session (the tray or `zoq daemon`) and no --root is given,\n"
                         "the passes are its own (as with `zoq upload-now`): a spool has one uploader. With\n"
                         "--root the command works on that directory itself, whether zoq runs or not.\n\n"
                         "Exit status: 0 the passes ran (uploads that must wait are retried later);\n"
                         "2 usage; 3 not paired; 4 no usable credential store."));
    auto* once = command->add_flag("--once", options->once, i18n("Run one pass and exit (the default)"));
    auto* watch = command->add_flag("--watch", options->watch, i18n("Keep running passes until interrupted"));
    once->excludes(watch);
    command
        ->add_flag("--until-done", options->untilDone,
                   i18n("With --watch: exit once nothing is left to upload or the credentials are blocked"))
        ->needs(watch);
    command->add_option("--interval", options->interval, i18n("Seconds between passes with --watch"))
        ->check(CLI::Validator(
            [](const std::string& input) -> std::string {
                double seconds = -1;
                if (!CLI::detail::lexical_cast(input, seconds) || !(seconds >= 0 && seconds <= 3600)) {
                    return i18n("wants a number of seconds from 0 to 3600");
                }
                return {};
            },
            "SECONDS 0-3600"))
        ->capture_default_str();
    command->add_option("--root", options->root, i18n("Spool directory (default: $XDG_DATA_HOME/zoq/spool)"));
    command->callback([options, &context] {
        try {
            upload(*options, context);
        } catch (const CommandFailure& failure) {
            context.streams.err << "zoq: " << failure.what() << '\n';
            context.exitCode = failure.exitCode();
        }
    });
}

} // namespace zoq::cli
