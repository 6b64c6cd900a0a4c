#pragma once

#include "ZoqCore/Spool/ArtifactManifest.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zoq::test {

/// The quarantine reasons recovery may give a part whose creation a crash cut
/// short, before the part held a single frame. Creation commits the manifest
/// (ALLOCATED), then creates "audio.wav" and writes its header, then commits
/// WRITING_WAV; between two of those steps a crash leaves
///
/// | last committed state | files               | recovery                                  |
/// |----------------------|---------------------|-------------------------------------------|
/// | none                 | no manifest         | quarantined: io("open manifest.json", 2)  |
/// | ALLOCATED            | no WAV              | quarantined: io("open audio.wav", 2)      |
/// | ALLOCATED            | WAV without header  | quarantined: corrupt("WAV header length") |
/// |                      |                     | (or corrupt("short WAV"))                 |
/// | ALLOCATED            | the whole header    | recovered: an empty short discard         |
///
/// `committed` is the state of the manifest the crash left on disk (none when
/// it left no readable one, see `manifestLeftBehind`). Past ALLOCATED the list is empty: the WAV
/// header was durable before that commit, so such a part must be recovered and
/// any quarantine of it is a fault.
std::vector<std::string> interruptedCreationReasons(std::optional<ArtifactState> committed);

/// The manifest a crash left in `directory`, read before anything recovers
/// it; none when there is no readable one.
std::optional<ArtifactManifest> manifestLeftBehind(const std::filesystem::path& directory);

/// Checks a quarantine of `directory` with `reason` against the state the
/// crash left: the reason must be one of the above, and it must be
/// on record (the marker file when there is no manifest, otherwise a
/// QUARANTINED manifest naming the reason and still holding no frame).
void expectInterruptedCreation(const std::filesystem::path& directory, std::optional<ArtifactState> committed,
                               const std::string& reason);

} // namespace zoq::test
