#include "Zoq/zoq/CommandLine.h"

#include "ZoqCore/Support/CoreClock.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqCore/Support/SHA256.h"

#include <CLI/CLI.hpp>

#include <ostream>

namespace zoq::cli {

void addDemoCommand(CLI::App& app, Context& context) {
    auto* demo = app.add_subcommand("demo", "Show, step by step, what this build of zoq can do");
    demo->callback([&context] {
        std::ostream& out = context.streams.out;
        const HostClock clock;
        out << "zoq building blocks\n";
        out << "  recording format: " << pcm::sampleRate << " Hz, " << pcm::channels << " channels, "
            << pcm::bytesPerSample * 8 << "-bit (left microphone, right system audio)\n";
        out << "  monotonic clock:  " << clock.now() << " s\n";
        out << "  wall clock:       " << clock.wallDate().sinceReferenceDate << " s since 2001-01-01\n";
        out << "  new identifier:   " << makeUUID() << '\n';
        out << "  sha256(\"zoq\"):    " << SHA256::hex("zoq") << '\n';
    });
}

} // namespace zoq::cli
