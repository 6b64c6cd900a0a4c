#pragma once

#include <filesystem>
#include <string>

namespace zoq::cli {

/// The spool root used when no --root is given: "$XDG_DATA_HOME/zoq/spool",
/// or "~/.local/share/zoq/spool" when XDG_DATA_HOME is unset, empty or
/// relative (the XDG rule). Throws std::runtime_error when neither it nor
/// HOME is usable.
std::filesystem::path defaultSpoolRoot();

/// Makes `root` a spool (`zoq::SpoolRoot::prepare`): creates it and any
/// missing parents with mode 0700, marks it, and refuses a folder that is no
/// spool without touching it. Throws std::runtime_error naming the path.
void ensureSpoolRoot(const std::filesystem::path& root);

/// Throws std::runtime_error naming the path when `root` is a folder that is
/// no spool; changes nothing (for commands that only read).
void refuseForeignSpoolRoot(const std::filesystem::path& root);

} // namespace zoq::cli
