#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zoq {

/// A file in the freedesktop.org key-file format of desktop entries:
/// "[Group]" headers, "Key=Value" and "Key[locale]=Value"
/// entries, '#' comments. Desktop entries and Flatpak's ".flatpak-info" are
/// written in it.
///
/// The parser is strict about structure (every line a comment, a group or an
/// entry; no entry before the first group; no group or key twice; UTF-8) and
/// lenient where real files differ from the letter of the format's rules
/// (leading white space, CR LF line ends, a byte-order mark, '_' and '.' in
/// keys, unknown escape sequences, which are kept as written).
///
/// An immutable value; thread-safe to read.
class KeyFile {
public:
    /// Parses `text`; `source` names it in errors (usually its path).
    /// Throws `KeyFileError` with the line of the first fault.
    static KeyFile parse(std::string_view text, const std::string& source);

    /// The group names in file order.
    std::vector<std::string> groups() const;
    bool hasGroup(std::string_view group) const;

    /// The value of `key` in `group` with the string escapes ("\s", "\n",
    /// "\t", "\r", "\\") decoded, or nothing when absent.
    std::optional<std::string> value(std::string_view group, std::string_view key) const;

    /// The value for a POSIX locale ("de_DE.UTF-8@euro"): the first present of
    /// Key[de_DE@euro], Key[de_DE], Key[de@euro], Key[de] and Key. An empty,
    /// "C" or "POSIX" locale reads Key.
    std::optional<std::string> localizedValue(std::string_view group, std::string_view key,
                                              std::string_view locale) const;

    /// A boolean ("true" or "false"; "1" and "0" from old files), or nothing
    /// when absent. Throws
    /// `KeyFileError` at the entry's line for any other value.
    std::optional<bool> boolean(std::string_view group, std::string_view key) const;

private:
    struct Entry {
        std::string value; // as written, escapes not yet decoded
        int line = 0;
    };
    struct Group {
        std::string name;
        std::map<std::string, Entry, std::less<>> entries;
    };

    const Entry* find(std::string_view group, std::string_view key) const;

    std::string source_;
    std::vector<Group> groups_;
};

} // namespace zoq
