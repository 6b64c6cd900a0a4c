#pragma once

#include <string>
#include <vector>

namespace zoq {

/// Something the desktop can open for the person: a URL, handed to the
/// desktop's URL handler, or a settings tool, a program with its arguments.
/// Linux desktops have no common link scheme for their settings pages, so a
/// settings "link" is the command that opens the page.
struct DesktopLink {
    enum class Kind { url, command };

    Kind kind = Kind::url;
    /// The URL alone, or the program (found on PATH) and its arguments.
    std::vector<std::string> arguments;

    static DesktopLink url(std::string address) { return {Kind::url, {std::move(address)}}; }
    static DesktopLink command(std::vector<std::string> command) {
        return {Kind::command, std::move(command)};
    }

    friend bool operator==(const DesktopLink&, const DesktopLink&) = default;
};

/// Opens links for the person. `open` returns whether the desktop could be
/// asked to open it (not whether a window appeared); it never throws and
/// never waits for what it started. Callers may ignore the answer. Any thread.
class LinkOpening {
public:
    virtual ~LinkOpening() = default;

    virtual bool open(const DesktopLink& link) noexcept = 0;
};

} // namespace zoq
