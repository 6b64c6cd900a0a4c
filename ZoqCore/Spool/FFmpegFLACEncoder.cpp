#include "ZoqCore/Spool/FFmpegFLACEncoder.h"

#include "ZoqCore/Spool/BoundedProcess.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Support/CoreError.h"
#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Support/PCM.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zoq {
namespace {

/// The fixed part of a FLAC file: "fLaC", then the first metadata block's
/// 4-byte header, then its 34-byte body, which must be STREAMINFO.
constexpr std::size_t streamInfoEnd = 42;
/// Sample rate (20 bits) 16000, channels - 1 (3 bits) 1, bits per sample - 1
/// (5 bits) 15: the top 28 bits of STREAMINFO bytes 18-25.
constexpr std::uint64_t expectedFormat = 0x3E802F;

/// Deletes the scratch file when inspection ends, however it ends. Errors are
/// ignored: a leftover "decode-" file is harmless and swept by recovery.
class ScratchFile {
public:
    explicit ScratchFile(std::filesystem::path path) : path_(std::move(path)) {}
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile() { ::unlink(path_.c_str()); }

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::int64_t streamInfoFrames(const Bytes& header) {
    if (header.size() != streamInfoEnd || header[0] != 'f' || header[1] != 'L' || header[2] != 'a' ||
        header[3] != 'C' || (header[4] & 0x7f) != 0 || header[5] != 0 || header[6] != 0 || header[7] != 34) {
        throw CoreError::corrupt("FLAC STREAMINFO");
    }
    std::uint64_t packed = 0;
    for (std::size_t i = 18; i < 26; ++i) {
        packed = (packed << 8) | header[i];
    }
    const std::uint64_t format = packed >> 36;
    const std::uint64_t frames = packed & ((std::uint64_t{1} << 36) - 1);
    if (format != expectedFormat || frames > static_cast<std::uint64_t>(pcm::maximumPartFrames)) {
        throw CoreError::corrupt("FLAC format");
    }
    return static_cast<std::int64_t>(frames);
}

FileDescriptor openNullDevice() {
    FileDescriptor fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!fd) {
        throw CoreError::io("open /dev/null", errno);
    }
    return fd;
}

} // namespace

FFmpegFLACEncoder::FFmpegFLACEncoder(std::filesystem::path executable_, double deadline_)
    : executable(std::move(executable_)), deadline(deadline_) {}

void FFmpegFLACEncoder::encode(const std::filesystem::path& wav,
                               const std::filesystem::path& temporaryFLAC) const {
    const FileDescriptor nullDevice = openNullDevice();
    BoundedProcess::run(executable,
                        {"-nostdin", "-v", "error", "-n", "-i", wav.string(), "-map", "0:a:0", "-c:a", "flac",
                         "-sample_fmt", "s16", "-f", "flac", temporaryFLAC.string()},
                        deadline, nullDevice.get());
}

DecodedAudio FFmpegFLACEncoder::inspect(const std::filesystem::path& flac) const {
    const DurableIO io;
    // Checked before any child starts: a FLAC of the wrong shape is refused
    // without spending a decode on it.
    const std::int64_t frames = streamInfoFrames(io.read(flac, 0, static_cast<std::int64_t>(streamInfoEnd)));

    const std::filesystem::path scratchPath = flac.parent_path() / ("decode-" + makeUUID() + ".pcm");
    FileDescriptor output = io.open(scratchPath, O_WRONLY | O_CREAT | O_EXCL);
    // Guarded only once it exists and is ours: an exclusive create that failed
    // must not delete whatever was there.
    const ScratchFile scratch(scratchPath);
    BoundedProcess::run(executable,
                        {"-nostdin", "-v", "error", "-xerror", "-err_detect", "explode", "-i", flac.string(),
                         "-map", "0:a:0", "-f", "s16le", "-c:a", "pcm_s16le", "pipe:1"},
                        deadline, output.get());
    output.close();

    if (io.size(scratch.path()) != frames * pcm::bytesPerFrame) {
        throw CoreError::corrupt("decoded frame count");
    }
    return DecodedAudio{frames, pcm::sampleRate, pcm::channels, pcm::bytesPerSample * 8,
                        io.hash(scratch.path(), 0)};
}

} // namespace zoq
