// What attributing sound-server clients costs on the engine's queue, which
// attributes each client that holds the microphone on every 250 ms tick.
// Fake trees live in a scratch directory (a disk file system, slower than
// procfs); the "OnThisSystem" cases read the real /proc.
#include "ZoqCaptureEngine/AttributionResolver.h"
#include "ZoqCaptureEngine/DesktopEntryIndex.h"
#include "ZoqCaptureEngine/SystemProcessTree.h"
#include "bench/ScratchDirectory.h"
#include "tests/ZoqCaptureEngine/FakeSystem.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <unistd.h>

namespace {

using zoq::test::FakeProcess;
using zoq::test::FakeSystem;

const std::string apps = "/user.slice/user-1000.slice/user@1000.service/app.slice/";

zoq::AudioClientIdentity claims(std::int32_t pid, std::string binary) {
    zoq::AudioClientIdentity client;
    client.claimedPid = pid;
    client.processBinary = std::move(binary);
    return client;
}

/// `count` installed applications, each with its own program.
void installApplications(const FakeSystem& system, int count) {
    for (int i = 0; i < count; ++i) {
        const std::string name = "app" + std::to_string(i);
        system.program("bin/" + name);
        system.installApplication("org.example." + name + ".desktop",
                                  "[Desktop Entry]\nType=Application\nName=App " + std::to_string(i) +
                                      "\nName[de]=Anwendung\nComment=An application\nIcon=" + name +
                                      "\nExec=" + name + " %U\nCategories=Network;\n");
    }
    FakeSystem::settle(system.applications());
}

/// Attributes `client` over and over: with `state.range(0)` 1 through one
/// resolver, whose cache answers after the first time; with 0 through a new
/// resolver each time (the tree and its loaded desktop entries stay).
void resolve(benchmark::State& state, const std::shared_ptr<const zoq::ProcessTreeProviding>& tree,
             const zoq::AudioClientIdentity& client, zoq::AttributionSource expected) {
    const zoq::AttributionResolver resolver(tree);
    if (resolver.attribute(client).source != expected) {
        state.SkipWithError("unexpected attribution");
        return;
    }
    const bool cached = state.range(0) == 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cached ? resolver.attribute(client)
                                        : zoq::AttributionResolver(tree).attribute(client));
    }
}

/// A browser helper started from the desktop: helper, then main process, both
/// in the application's scope.
void BM_ResolveByUnit(benchmark::State& state) {
    const zoq::bench::ScratchDirectory scratch;
    const FakeSystem system(scratch.path());
    const std::string unit = apps + "app-gnome-org.mozilla.firefox-4242.scope";
    system.add(
        {.pid = 100, .startTime = 1, .exe = "bin/gnome-shell", .cgroup = "/user.slice/x/session-2.scope"});
    system.add({.pid = 4242, .parentPid = 100, .startTime = 2, .exe = "bin/firefox", .cgroup = unit});
    system.add({.pid = 4300, .parentPid = 4242, .startTime = 3, .exe = "bin/firefox", .cgroup = unit});
    resolve(state, system.tree(), claims(4300, "firefox"), zoq::AttributionSource::systemdUnit);
}
BENCHMARK(BM_ResolveByUnit)->ArgName("cached")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

/// The last resort: a Chromium-style tree of four processes under a panel,
/// no unit, no launch variables, matched against 300 installed applications (loaded once; each call checks
/// they have not changed).
void BM_ResolveByDesktopExec(benchmark::State& state) {
    const zoq::bench::ScratchDirectory scratch;
    const FakeSystem system(scratch.path());
    installApplications(system, 300);
    system.add({.pid = 598, .startTime = 1, .exe = "bin/panel"});
    system.add({.pid = 599, .parentPid = 598, .startTime = 2, .exe = "bin/app7"});
    system.add({.pid = 600, .parentPid = 599, .startTime = 3, .exe = "bin/app7"});
    system.add({.pid = 601, .parentPid = 600, .startTime = 4, .exe = "bin/app7"});
    resolve(state, system.tree(), claims(601, "app7"), zoq::AttributionSource::desktopExec);
}
BENCHMARK(BM_ResolveByDesktopExec)->ArgName("cached")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

/// Loading the desktop entries: once per resolver, and again after a
/// directory changes.
void BM_LoadDesktopEntries(benchmark::State& state) {
    const zoq::bench::ScratchDirectory scratch;
    const FakeSystem system(scratch.path());
    installApplications(system, static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            zoq::DesktopEntryIndex::load({system.applications()}, {system.root() / "bin"}, "de_DE.UTF-8"));
    }
}
BENCHMARK(BM_LoadDesktopEntries)->Arg(300)->Unit(benchmark::kMillisecond);

/// A client in a sandbox claims a pid from its own namespace: every process
/// (300 of them) is read to map it back.
void BM_ResolveSandboxPid(benchmark::State& state) {
    const zoq::bench::ScratchDirectory scratch;
    const FakeSystem system(scratch.path());
    for (int pid = 10; pid < 310; ++pid) {
        system.add({.pid = pid, .exe = "bin/p" + std::to_string(pid)});
    }
    system.add({.pid = 5000,
                .exe = "/app/zoom",
                .flatpakInfo = "[Application]\nname=us.zoom.Zoom\n",
                .innerPids = {5}});
    resolve(state, system.tree(), claims(5, "zoom"), zoq::AttributionSource::flatpak);
}
BENCHMARK(BM_ResolveSandboxPid)->ArgName("cached")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

/// This benchmark's own process on the real /proc, walking up to pid 1.
void BM_ResolveOnThisSystem(benchmark::State& state) {
    const zoq::AudioClientIdentity client =
        claims(::getpid(), std::filesystem::read_symlink("/proc/self/exe").filename());
    resolve(state, std::make_shared<zoq::SystemProcessTree>(), client, zoq::AttributionSource::reported);
}
BENCHMARK(BM_ResolveOnThisSystem)->ArgName("cached")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

/// A claim that fits no process on the real /proc: every process is read.
void BM_RejectClaimOnThisSystem(benchmark::State& state) {
    const auto tree = std::make_shared<zoq::SystemProcessTree>();
    resolve(state, tree, claims(::getpid(), "not-this-binary"), zoq::AttributionSource::reported);
    state.counters["processes"] = static_cast<double>(tree->processIDs().size());
}
BENCHMARK(BM_RejectClaimOnThisSystem)->ArgName("cached")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace
