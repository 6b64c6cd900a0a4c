#pragma once

#include "ZoqShell/Secrets/SecretsStoring.h"

#include <filesystem>
#include <string>

namespace zoq {

/// The secret blob in a private file, for machines without a usable keyring.
///
/// OPT-IN ONLY: the blob is protected by nothing but file permissions (mode
/// 0600, readable by anyone with the user's or root's file access, included in
/// unencrypted backups). zoq uses it only when the user has knowingly chosen it
/// instead of the keyring; nothing ever falls back to it silently.
///
/// The file `fileName` lives directly in `directory` (which must exist; in
/// production `$XDG_DATA_HOME/zoq/`). `store` replaces it atomically: write a
/// 0600 sibling of the writer's own (named after its pid and a random part),
/// fsync it, rename it over the file, fsync the directory. Two processes
/// storing at once therefore each publish a whole blob, the later rename
/// winning. A crash leaves the old or the new blob, plus at most a stale
/// sibling, which the next store removes once its writer is gone. The file
/// itself is never reached through a symbolic link (the directory may be).
///
/// Throws `CoreError::io(operation, errno)` when a system call fails and
/// `CoreError::invalid("unsafe secrets file")` for a file that is a symbolic
/// link, not a regular file, not owned by this user, or readable or writable by
/// group or others (it is never read or trusted then). A failed `fsync` is
/// reported, never retried.
///
/// Holds no mutable state; safe to use from several threads and processes at
/// once (which blob wins a race is up to the callers' own locking).
class FileSecrets final : public SecretsStoring {
public:
    static constexpr const char* defaultFileName = "device-credentials.secret";

    explicit FileSecrets(std::filesystem::path directory, std::string fileName = defaultFileName);

    std::filesystem::path path() const { return directory_ / fileName_; }

    void store(ByteView data) override;
    std::optional<Bytes> retrieve() override;
    void erase() override;

private:
    std::string siblingPrefix() const;
    // Unlinks the siblings of crashed writers (or, with `all`, every sibling).
    void removeAbandonedSiblings(int dir, bool all) const;

    std::filesystem::path directory_;
    std::string fileName_;
};

} // namespace zoq
