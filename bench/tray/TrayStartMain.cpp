// tray-start SECONDS PROGRAM [ARGS...] — starts a tray program on $DISPLAY,
// where an XEmbed tray host runs, and prints one line:
//
//   ready_ms=N rss_kib=N anon_kib=N pss_kib=N
//
// ready_ms is the time from spawning PROGRAM until one of its windows
// (_NET_WM_PID) is viewable inside another window: its icon is docked in the
// tray, which a Qt program does only once its event loop runs. Then it waits
// SECONDS more for the program to settle and reads its resident set, its
// anonymous (private) part and its proportional set size from /proc.
// Finally the program gets SIGTERM. Exits 1 when the icon never docks.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <xcb/xcb.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

template <typename Reply>
using ReplyPointer = std::unique_ptr<Reply, decltype(&std::free)>;

xcb_atom_t atomNamed(xcb_connection_t* connection, const char* name) {
    const ReplyPointer<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
            nullptr),
        &std::free);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

/// Every window below `window`, with its parent, depth first.
void collect(xcb_connection_t* connection, xcb_window_t window,
             std::vector<std::pair<xcb_window_t, xcb_window_t>>& windows) {
    const ReplyPointer<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr), &std::free);
    if (!tree) {
        return; // destroyed meanwhile
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        windows.emplace_back(children[i], window);
        collect(connection, children[i], windows);
    }
}

/// Whether a window of process `pid` is viewable inside another client's
/// window (not a top-level one).
bool docked(xcb_connection_t* connection, xcb_window_t root, xcb_atom_t wmPid, pid_t pid) {
    std::vector<std::pair<xcb_window_t, xcb_window_t>> windows;
    collect(connection, root, windows);
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(windows.size());
    for (const auto& [window, parent] : windows) {
        cookies.push_back(xcb_get_property(connection, 0, window, wmPid, XCB_ATOM_CARDINAL, 0, 1));
    }
    bool found = false;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const ReplyPointer<xcb_get_property_reply_t> property(
            xcb_get_property_reply(connection, cookies[i], nullptr), &std::free);
        if (found || !property || xcb_get_property_value_length(property.get()) != 4 ||
            *static_cast<const std::uint32_t*>(xcb_get_property_value(property.get())) !=
                static_cast<std::uint32_t>(pid) ||
            windows[i].second == root) {
            continue;
        }
        const ReplyPointer<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(connection,
                                            xcb_get_window_attributes(connection, windows[i].first), nullptr),
            &std::free);
        found = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    }
    return found;
}

/// The value in kB of `key` in a /proc file of "Key:   N kB" lines, or -1.
long procKib(pid_t pid, const char* file, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(key + ":")) {
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: tray-start SECONDS PROGRAM [ARGS...]\n";
        return 2;
    }
    const auto settle = std::chrono::duration<double>(std::strtod(argv[1], nullptr));
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::cerr << "tray-start: cannot open the display\n";
        return 1;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_atom_t wmPid = atomNamed(connection, "_NET_WM_PID");

    pid_t pid = 0;
    const auto started = Clock::now();
    if (const int error = posix_spawn(&pid, argv[2], nullptr, nullptr, argv + 2, environ); error != 0) {
        std::cerr << "tray-start: cannot start " << argv[2] << ": " << std::strerror(error) << '\n';
        return 1;
    }
    // Polled every 2 ms: a round trip per window on a display with a handful
    // of windows, cheap next to what is measured, and the same for every
    // program.
    bool ready = false;
    int status = 0;
    while (!ready && Clock::now() - started < std::chrono::seconds(60)) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            std::cerr << "tray-start: " << argv[2] << " ended before its icon docked\n";
            return 1;
        }
        ready = docked(connection, root, wmPid, pid);
        if (!ready) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    const auto readyAfter = Clock::now() - started;
    if (ready) {
        std::this_thread::sleep_for(settle);
        std::printf("ready_ms=%.1f rss_kib=%ld anon_kib=%ld pss_kib=%ld\n",
                    std::chrono::duration<double, std::milli>(readyAfter).count(),
                    procKib(pid, "status", "VmRSS"), procKib(pid, "status", "RssAnon"),
                    procKib(pid, "smaps_rollup", "Pss"));
    } else {
        std::cerr << "tray-start: the icon of " << argv[2] << " did not dock within 60 s\n";
    }
    ::kill(pid, SIGTERM);
    for (int tenths = 0; ::waitpid(pid, &status, WNOHANG) == 0; ++tenths) {
        if (tenths == 100) {
            ::kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    xcb_disconnect(connection);
    return ready ? 0 : 1;
}
