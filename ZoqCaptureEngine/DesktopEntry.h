#pragma once

#include "ZoqCaptureEngine/KeyFile.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zoq {

/// One installed application as its desktop entry describes it: what the
/// allowlist window shows, and what attribution matches running programs
/// against.
struct DesktopEntry {
    /// The desktop-file identifier without ".desktop" ("org.mozilla.firefox",
    /// "kde4-okular" for "kde4/okular.desktop"): what an allowlist holds.
    std::string id;
    /// "Name", in the locale asked for where the file has it.
    std::string name;
    /// "Icon": a themed icon name or an absolute path; empty when absent.
    std::string icon;
    /// "Exec" with the string escapes decoded (still quoted, with its field
    /// codes); empty for applications started only over D-Bus.
    std::string exec;
    /// "TryExec": a program that must exist for the entry to count; empty
    /// when absent.
    std::string tryExec;
    /// "NoDisplay": installed, but not meant for menus (a helper, a handler).
    bool noDisplay = false;
    /// "Terminal": a program that runs inside a terminal (an editor, an
    /// interpreter's prompt).
    bool terminal = false;
    /// "Hidden": the user deleted the entry; it also hides entries with the
    /// same identifier in directories of lower precedence.
    bool hidden = false;
    /// The file it was read from.
    std::filesystem::path file;
    /// "Categories": the freedesktop menu categories ("Network",
    /// "Telephony"), in the file's order; empty when absent.
    std::vector<std::string> categories;

    /// The application described by the "[Desktop Entry]" group of `file`
    /// (read from `source`), or nothing when it describes no application (a
    /// link or a directory). Throws `KeyFileError` when the group, its "Type"
    /// or an application's "Name" is missing, or "Exec" cannot be split.
    static std::optional<DesktopEntry> fromKeyFile(const KeyFile& file, std::string id,
                                                   std::filesystem::path source, std::string_view locale);

    /// "Exec" split into its arguments by the desktop entry quoting rules
    /// (double quotes with "\"", "\`", "\$" and "\\" inside; single quotes and
    /// backslashes outside quotes as a shell reads them). Field codes stay as
    /// written. Throws `std::invalid_argument` for an unterminated quote.
    static std::vector<std::string> commandLine(std::string_view exec);

    /// The program an "Exec" line starts: its first argument, or, when that is
    /// "env", the first after env's options and NAME=VALUE assignments. Empty
    /// when there is none.
    static std::string program(const std::vector<std::string>& commandLine);

    friend bool operator==(const DesktopEntry&, const DesktopEntry&) = default;
};

} // namespace zoq
