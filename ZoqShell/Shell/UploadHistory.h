#pragma once

#include "ZoqCore/Support/Date.h"
#include "ZoqShell/Uploader/UploadRow.h"

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zoq {

/// One recording the portal confirmed: what the Recordings window lists once
/// the part's local files are gone. No audio, nothing the portal did not
/// already receive.
struct UploadedRecording {
    std::string recordingId;
    std::string app;
    /// Wall-clock time of the part's first frame.
    Date startedAt;
    double durationSeconds = 0;
    /// When zoq first saw the portal's confirmation.
    Date uploadedAt;
    /// What the part's right channel held: "all", "recordedApp" or
    /// "fallback" (everything, because the recorded application played
    /// nothing); empty when this computer did not see the part recorded.
    std::string systemSource = {};

    friend bool operator==(const UploadedRecording&, const UploadedRecording&) = default;
};

/// The small local list of uploaded recordings, kept in one JSON file
/// ("history.json" beside the spool directory: $XDG_DATA_HOME/zoq/ by
/// default; format in docs/upload-queue.md), oldest first and capped at
/// `capacity` entries (the oldest go first).
///
/// The file is replaced durably as the settings are (`DurableIO::atomic`),
/// so a crash leaves the old list or the new one. A file that cannot be read
/// as a history is left in place until the next write, which first renames it
/// to "history.json.damaged" so nothing is lost without a trace; `problem()`
/// says what was wrong. Not thread-safe: one owner (the shell model, on the
/// main thread) reads it; writes may be handed to a worker with `save`.
class UploadHistory {
public:
    static constexpr const char* fileName = "history.json";
    static constexpr std::size_t capacity = 500;
    /// Bounds what a read loads: far above `capacity` entries.
    static constexpr std::uintmax_t maximumFileSize = 1 << 20;

    /// Reads `file` when it exists; never throws for the file's sake.
    explicit UploadHistory(std::filesystem::path file);

    const std::filesystem::path& file() const noexcept { return file_; }
    const std::vector<UploadedRecording>& entries() const noexcept { return entries_; }
    /// Why the stored file was not used; none when it was fine or absent.
    const std::optional<std::string>& problem() const noexcept { return problem_; }

    /// Adds every uploaded row (stored or cleaned, with a recording id) not
    /// yet listed, with `now` as its upload time and its right channel's
    /// source from `sources` (by directory name), dropping the oldest past
    /// `capacity`. Returns whether the list changed.
    bool record(const std::vector<UploadRow>& rows, Date now,
                const std::map<std::string, std::string>& sources = {});

    /// Writes `entries` to `file` durably. Throws `CoreError::io` when a
    /// system call fails. Any thread.
    static void save(const std::filesystem::path& file, const std::vector<UploadedRecording>& entries);
    /// The entries stored in `text`; throws `CoreError::corrupt` for anything
    /// but a history document.
    static std::vector<UploadedRecording> parse(std::string_view text);

private:
    std::filesystem::path file_;
    std::vector<UploadedRecording> entries_;
    std::optional<std::string> problem_;
};

} // namespace zoq
