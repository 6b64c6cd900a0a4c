// zoq-dev-portal: runs the development portal until SIGINT or SIGTERM.

#include "tools/dev-portal/DevPortal.h"

#include "ZoqCore/Support/CoreClock.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <pthread.h>

int main(int argc, char** argv) {
    using zoq::portal::PortalOptions;
    PortalOptions options;
    std::string pairingCode;
    bool quiet = false;

    CLI::App app("A development portal for zoq on 127.0.0.1: pairing, credential refresh, uploads,\n"
                 "fault switches (also at run time: POST /dev/faults) and GET /dev/uploads.",
                 "zoq-dev-portal");
    app.set_version_flag("--version", std::string("zoq-dev-portal ") + ZOQ_VERSION,
                         "Print the version and exit");
    app.add_option("--port", options.port, "Port to listen on; 0 picks a free one")->default_val(0);
    app.add_option("--data", options.dataDirectory, "State and received objects live here")->required();
    app.add_option("--pairing-code", pairingCode, "Accept this pairing code instead of a random one");
    app.add_option("--multipart-threshold", options.multipartThreshold,
                   "Uploads above this many bytes use 16 MiB parts")
        ->default_val(options.multipartThreshold);
    app.add_option("--verifying-polls", options.verifyingPolls,
                   "Status polls answered \"verifying\" before \"stored\"")
        ->default_val(options.verifyingPolls);
    app.add_option("--verifying-delay", options.verifyingDelaySeconds,
                   "retry-after of the \"verifying\" answers, whole seconds (none by default)")
        ->check(CLI::Range(0, 86'400));
    app.add_option("--url-lifetime", options.urlLifetimeSeconds, "Presigned URL lifetime, seconds")
        ->default_val(options.urlLifetimeSeconds);
    app.add_option("--access-lifetime", options.accessLifetimeSeconds, "Access token lifetime, seconds")
        ->default_val(options.accessLifetimeSeconds);
    app.add_option("--seed", options.seed, "Seed of the injected 503s")->default_val(options.seed);
    app.add_flag("--quiet", quiet, "Do not log requests on standard error");

    auto& faults = options.faults;
    const std::string group = "Fault switches";
    app.add_option("--unavailable-rate", faults.unavailableRate, "Share of requests answered 503 (0 to 1)")
        ->check(CLI::Range(0.0, 1.0))
        ->group(group);
    app.add_option("--retry-after", faults.retryAfterSeconds, "retry-after of those 503s, seconds")
        ->check(CLI::Range(0, 1'000'000))
        ->group(group);
    app.add_flag("--unauthorized-first-use", faults.unauthorizedFirstUse,
                 "Refuse each fresh access token once with 401")
        ->group(group);
    app.add_option("--lose-refresh-replies", faults.loseRefreshReplies,
                   "Apply this many refreshes but cut off their replies")
        ->check(CLI::Range(0, 1'000'000))
        ->group(group);
    app.add_option("--quick-urls", faults.urlLifetimeSeconds, "Presigned URLs expire after this many seconds")
        ->check(CLI::PositiveNumber)
        ->group(group);
    app.add_flag("--upload-expired-once", faults.uploadExpiredOnce,
                 "Answer each upload's first completion 410 upload_expired")
        ->group(group);
    app.add_flag("--parts-already-held", faults.partsAlreadyHeld,
                 "Store each part's first PUT but cut off its reply")
        ->group(group);
    app.add_option("--malformed-replies", faults.malformedReplies,
                   "Break the schema of this many API replies")
        ->check(CLI::Range(0, 1'000'000))
        ->group(group);
    app.add_option("--stall-seconds", faults.stallSeconds,
                   "Answer upload API and storage requests only after this many seconds")
        ->check(CLI::Range(0.0, 3600.0))
        ->group(group);
    CLI11_PARSE(app, argc, argv);
    if (!pairingCode.empty()) {
        options.pairingCode = pairingCode;
    }

    // Every thread the portal starts inherits this mask, so the signals wait
    // for sigwait below instead of killing the process mid-write.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A client that hangs up mid-reply must not end the portal.
    std::signal(SIGPIPE, SIG_IGN);

    try {
        const zoq::HostClock clock;
        zoq::portal::DevPortal portal(options, clock, quiet ? nullptr : &std::cerr);
        std::cout << "listening on " << portal.url() << "\n"
                  << "pairing code: " << portal.pairingCode() << std::endl;
        int received = 0;
        sigwait(&signals, &received);
        portal.stop();
        std::cerr << "zoq-dev-portal: stopped" << std::endl;
    } catch (const std::exception& failure) {
        std::cerr << "zoq-dev-portal: " << failure.what() << std::endl;
        return 1;
    }
    return 0;
}
