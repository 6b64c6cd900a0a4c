#pragma once

#include "ZoqCore/Capture/CaptureMachine.h"
#include "ZoqCore/Support/Bytes.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace zoq::test {

/// Audio whose content names its own position: the frame at stream position
/// `p` holds `p mod patternFrames` as a little-endian 32-bit value. Any chunk
/// is a view into one shared buffer, so tests can feed hours of audio without
/// allocating it, and still check that every appended byte came from where the
/// machine says it did.
class PositionedAudio {
public:
    static constexpr std::int64_t patternFrames = 1 << 21; // 8 MiB of frames

    PositionedAudio() : buffer_(static_cast<std::size_t>(2 * patternFrames * 4)) {
        for (std::int64_t i = 0; i < 2 * patternFrames; ++i) {
            const auto value = static_cast<std::uint32_t>(i % patternFrames);
            std::memcpy(buffer_.data() + i * 4, &value, 4);
        }
    }

    /// `frames` frames starting at stream position `first`; at most `patternFrames`.
    ByteView chunk(std::int64_t first, std::int64_t frames) const {
        return ByteView(buffer_).subspan(static_cast<std::size_t>((first % patternFrames) * 4),
                                         static_cast<std::size_t>(frames * 4));
    }

    /// Whether `data` is the audio at positions `first` onwards.
    static bool matches(const Bytes& data, std::int64_t first) {
        for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
            std::uint32_t value = 0;
            std::memcpy(&value, data.data() + i, 4);
            if (value !=
                static_cast<std::uint32_t>((first + static_cast<std::int64_t>(i / 4)) % patternFrames)) {
                return false;
            }
        }
        return true;
    }

private:
    Bytes buffer_;
};

/// One shared instance: building the pattern costs a few milliseconds.
inline const PositionedAudio& positionedAudio() {
    static const PositionedAudio audio;
    return audio;
}

/// Identifiers "session-1", "session-2", ... so expectations can name them.
struct CountingIDs {
    std::shared_ptr<int> next = std::make_shared<int>(0);
    std::string operator()() const { return "session-" + std::to_string(++*next); }
};

inline CaptureAllowlist testAllowlist() {
    return CaptureAllowlist{.allowed = {"us.zoom.xos", "com.hnc.Discord", "com.apple.Siri", "org.zoq.Zoq"},
                            .ownPID = 42,
                            .ownBundleId = "org.zoq.Zoq"};
}

inline ProcessActivity taking(std::string bundleId, std::int32_t pid = 100) {
    return ProcessActivity{pid, std::move(bundleId), true};
}

} // namespace zoq::test
