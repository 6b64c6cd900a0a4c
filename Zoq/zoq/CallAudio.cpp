#include "Zoq/zoq/CallAudio.h"

#include "ZoqCore/Spool/BoundedProcess.h"
#include "ZoqCore/Spool/FileDescriptor.h"
#include "ZoqCore/Support/PCM.h"
#include "ZoqShell/Messages/Translation.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <unistd.h>

namespace zoq::cli {
namespace {

constexpr double conversionDeadline = 300.0;

std::uint32_t le32(ByteView bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::uint16_t le16(ByteView bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

bool tagAt(ByteView bytes, std::size_t at, const char* tag) {
    return std::memcmp(bytes.data() + at, tag, 4) == 0;
}

Bytes readWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw CallAudioError(substitute(i18n("cannot open {1}"), {file.string()}));
    }
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw CallAudioError(substitute(i18n("cannot read {1}"), {file.string()}));
    }
    return bytes;
}

Bytes wholeFrames(Bytes pcm) {
    pcm.resize(pcm.size() - pcm.size() % pcm::bytesPerFrame);
    return pcm;
}

} // namespace

std::optional<Bytes> directCallPCM(ByteView file) {
    if (file.size() < 12 || !tagAt(file, 0, "RIFF") || !tagAt(file, 8, "WAVE")) {
        return std::nullopt;
    }
    bool formatMatches = false;
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const std::size_t size = le32(file, at + 4);
        const std::size_t body = at + 8;
        const std::size_t available = std::min(size, file.size() - body);
        if (tagAt(file, at, "fmt ")) {
            formatMatches = available >= 16 && le16(file, body) == 1 &&
                            le16(file, body + 2) == pcm::channels &&
                            le32(file, body + 4) == static_cast<std::uint32_t>(pcm::sampleRate) &&
                            le16(file, body + 12) == pcm::bytesPerFrame && le16(file, body + 14) == 16;
            if (!formatMatches) {
                return std::nullopt;
            }
        } else if (tagAt(file, at, "data")) {
            if (!formatMatches) {
                return std::nullopt;
            }
            // A writer that streamed the file may have left the size at 0 or
            // past the end: take what is there.
            const std::size_t count = size == 0 ? file.size() - body : available;
            return wholeFrames(Bytes(file.begin() + static_cast<std::ptrdiff_t>(body),
                                     file.begin() + static_cast<std::ptrdiff_t>(body + count)));
        }
        at = body + size + size % 2;
    }
    return std::nullopt;
}

namespace {

/// A temporary file that is unlinked when the object goes away.
class ScratchFile {
public:
    ScratchFile() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/zoq-call-XXXXXX";
        fd_ = FileDescriptor(::mkstemp(pattern.data()));
        if (!fd_) {
            throw CallAudioError(
                substitute(i18n("cannot create a temporary file: {1}"), {std::strerror(errno)}));
        }
        path_ = pattern;
    }
    ~ScratchFile() { ::unlink(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    int fd() const noexcept { return fd_.get(); }
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    FileDescriptor fd_;
    std::filesystem::path path_;
};

} // namespace

Bytes loadCallAudio(const std::filesystem::path& file, const std::filesystem::path& ffmpeg) {
    if (std::optional<Bytes> pcm = directCallPCM(readWhole(file))) {
        return std::move(*pcm);
    }
    const ScratchFile converted;
    BoundedProcess::run(ffmpeg,
                        {"-nostdin", "-v", "error", "-i", file.string(), "-ac", "2", "-ar", "16000", "-f",
                         "s16le", "-c:a", "pcm_s16le", "pipe:1"},
                        conversionDeadline, converted.fd());
    return wholeFrames(readWhole(converted.path()));
}

} // namespace zoq::cli
