#pragma once

#include "ZoqCore/Support/Bytes.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace zoq::test {

/// What one directory would hold after a power cut, learned from the boundary
/// names a `DurableIO` passes (feed every name to `observe`, before a crash
/// hook may throw).
///
/// The model follows leveldb's fault-injection environment: a file's content
/// survives only as of its last "after:fsync:" + name, and a create, rename or
/// unlink survives only once "after:fsync:directory" has followed it. Files
/// are tracked by identity, so a rename carries the synced content of the
/// renamed file and a replaced target keeps its own until the directory is
/// synced. A rename's source is the destination plus ".next" (`atomic`), or
/// "audio.flac.tmp" for "audio.flac". The directory itself survives once the
/// first directory sync (of its parent) has passed. ".lock" is left alone.
///
/// `crash()` rewrites the real directory to that state.
class PowerLossModel {
public:
    explicit PowerLossModel(std::filesystem::path directory);

    void observe(const std::string& boundary);
    /// Drops everything not yet durable. Call once nothing holds files open.
    void crash();

private:
    void refresh();

    std::filesystem::path directory_;
    int nextFile_ = 0;
    /// Name -> file identity, as the directory is now.
    std::map<std::string, int> current_;
    /// File identity -> content at its last fsync.
    std::map<int, Bytes> synced_;
    /// Name -> file identity at the last directory sync; none before the first.
    std::optional<std::map<std::string, int>> durable_;
};

} // namespace zoq::test
