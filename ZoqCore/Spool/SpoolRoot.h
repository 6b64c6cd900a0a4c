#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace zoq {

/// The directory that holds the part directories, and the mark that makes a
/// directory one.
///
/// Opening a spool changes what is in it: recovery locks and quarantines
/// every directory it finds and the root is made private. Pointed at an
/// ordinary folder (a mistyped --root, the home folder) that would leave a
/// lock file and a quarantine note in each of its subfolders. So a spool is
/// marked when it is created (`markerName`, a small regular file), and a
/// folder that is neither marked, nor empty, nor recognisably a spool from
/// before the mark existed is refused before anything in it is touched.
///
/// A spool from before the mark is one whose every entry is something zoq
/// puts in a root: a part directory named "<uuid>-<part index>", the root's
/// ".lock", the capture preferences (and their staging copy). It is marked
/// the first time it is prepared.
///
/// Stateless; safe from any thread. Two processes that prepare one root at
/// once both succeed.
class SpoolRoot {
public:
    /// The mark, created with the spool (mode 0600, never removed).
    static constexpr const char* markerName = ".zoq-spool";
    /// What the mark holds; only its presence as a regular file counts.
    static constexpr std::string_view markerText =
        "This directory is a zoq spool: one directory per recording part.\n";

    enum class Kind : std::uint8_t {
        missing,       ///< nothing there
        empty,         ///< an empty directory
        marked,        ///< a directory holding the mark
        unmarkedSpool, ///< a spool from before the mark
        foreign,       ///< anything else: not zoq's to change
    };

    /// What `root` is, read without changing anything (symbolic links are
    /// followed, as for any path a person gives). Throws `CoreError::io` when
    /// it cannot be read and `invalid("not a directory")` for anything but a
    /// directory.
    static Kind inspect(const std::filesystem::path& root);

    /// Makes `root` a marked, private (0700) spool: creates it and any
    /// missing parents (0700) when missing; marks an empty directory or an
    /// unmarked spool. Throws `invalid("not a zoq spool")` for a foreign
    /// directory, having changed nothing, and `CoreError::io` when a step
    /// fails.
    static void prepare(const std::filesystem::path& root);

    /// Throws `invalid("not a zoq spool")` for a foreign directory (and what
    /// `inspect` throws); changes nothing. For commands that only read.
    static void refuseForeign(const std::filesystem::path& root);

    /// Whether `name` is the name of a part directory: "<uuid>-<index>".
    static bool isPartName(std::string_view name) noexcept;
};

} // namespace zoq
