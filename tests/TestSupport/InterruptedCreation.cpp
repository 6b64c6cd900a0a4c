#include "tests/TestSupport/InterruptedCreation.h"

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Support/CoreError.h"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>

namespace zoq::test {

std::vector<std::string> interruptedCreationReasons(std::optional<ArtifactState> committed) {
    const auto missing = [](const char* name) {
        return CoreError::io("open " + std::string(name), ENOENT).reason();
    };
    if (!committed) {
        return {missing(Artifact::manifestName)};
    }
    if (*committed == ArtifactState::allocated) {
        return {missing(Artifact::wavName), CoreError::corrupt("WAV header length").reason(),
                CoreError::corrupt("short WAV").reason()};
    }
    return {};
}

std::optional<ArtifactManifest> manifestLeftBehind(const std::filesystem::path& directory) {
    try {
        return Artifact::readManifest(directory, DurableIO());
    } catch (const std::exception&) {
        // Recovery reads it again and must say why.
        return std::nullopt;
    }
}

void expectInterruptedCreation(const std::filesystem::path& directory, std::optional<ArtifactState> committed,
                               const std::string& reason) {
    const std::vector<std::string> allowed = interruptedCreationReasons(committed);
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), reason), allowed.end())
        << "quarantined with " << reason << " where the crash left "
        << (committed ? std::string(rawValue(*committed)) : std::string("no manifest"));
    const DurableIO io;
    if (!committed) {
        EXPECT_EQ(textOf(io.read(directory / Artifact::quarantineName, 0)), Artifact::quarantineMarker);
        return;
    }
    const ArtifactManifest manifest = Artifact::readManifest(directory, io);
    EXPECT_EQ(manifest.state, ArtifactState::quarantined);
    EXPECT_EQ(manifest.error, reason);
    EXPECT_EQ(manifest.durableFrames, 0);
}

} // namespace zoq::test
