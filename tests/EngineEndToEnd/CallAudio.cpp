#include "tests/EngineEndToEnd/CallAudio.h"

#include "ZoqCore/Spool/Artifact.h"
#include "ZoqCore/Spool/DurableIO.h"
#include "ZoqCore/Spool/FFmpegFLACEncoder.h"
#include "tests/TestSupport/TestPrograms.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <fstream>
#include <numbers>
#include <stdexcept>

namespace zoq::test {
namespace {

void run(const std::vector<std::string>& args) {
    if (runProgram(args) != 0) {
        throw std::runtime_error(args.front() + " failed");
    }
}

/// Raw 16-bit little-endian samples as floats.
std::vector<float> samplesOf(const std::filesystem::path& raw, int channels, int channel) {
    const Bytes bytes = DurableIO().read(raw, 0);
    std::vector<float> out;
    const std::size_t stride = static_cast<std::size_t>(channels) * 2;
    out.reserve(bytes.size() / stride);
    for (std::size_t at = static_cast<std::size_t>(channel) * 2; at + 1 < bytes.size(); at += stride) {
        out.push_back(static_cast<float>(static_cast<std::int16_t>(bytes[at] | bytes[at + 1] << 8)) /
                      32768.0f);
    }
    return out;
}

/// In-place iterative radix-2 FFT (`inverse`: unscaled inverse).
void fft(std::vector<std::complex<double>>& data, bool inverse) {
    const std::size_t n = data.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(data[i], data[j]);
        }
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const double angle = 2 * std::numbers::pi / static_cast<double>(length) * (inverse ? 1 : -1);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (std::size_t start = 0; start < n; start += length) {
            std::complex<double> w(1);
            for (std::size_t k = 0; k < length / 2; ++k) {
                const std::complex<double> even = data[start + k];
                const std::complex<double> odd = data[start + k + length / 2] * w;
                data[start + k] = even + odd;
                data[start + k + length / 2] = even - odd;
                w *= step;
            }
        }
    }
}

} // namespace

Speech makeSpeech(const std::filesystem::path& directory, const std::string& name, const std::string& voice,
                  const std::string& text, double seconds) {
    const auto spoken = directory / (name + "-espeak.wav");
    run({"espeak-ng", "-v", voice, "-s", "160", "-w", spoken.string(), text});
    Speech speech;
    speech.played = directory / (name + ".wav");
    // Repeated with a pause between the passes, then cut to length.
    run({"sox", "-V1", spoken.string(), "-r", "48000", "-c", "1", "-b", "16", speech.played.string(), "pad",
         "0", "0.7", "repeat", "9", "trim", "0", std::to_string(seconds)});
    const auto raw = directory / (name + "-16k.raw");
    run({"sox", "-V1", speech.played.string(), "-r", "16000", "-t", "raw", "-e", "signed", "-b", "16",
         raw.string()});
    speech.reference = samplesOf(raw, 1, 0);
    if (static_cast<double>(speech.reference.size()) < (seconds - 1) * 16'000) {
        throw std::runtime_error("the speech for " + name + " is too short");
    }
    return speech;
}

std::vector<Part> partsOf(const std::filesystem::path& spool) {
    std::vector<Part> parts;
    if (!std::filesystem::exists(spool)) {
        return parts;
    }
    for (const auto& entry : std::filesystem::directory_iterator(spool)) {
        if (entry.is_directory()) {
            parts.push_back({entry.path(), Artifact::readManifest(entry.path(), DurableIO())});
        }
    }
    std::sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) {
        return a.manifest.capture.startedAt.sinceReferenceDate <
               b.manifest.capture.startedAt.sinceReferenceDate;
    });
    return parts;
}

std::vector<float> decodedChannel(const Part& part, int channel) {
    const auto raw = part.directory.parent_path() / (part.directory.filename().string() + ".raw");
    std::filesystem::remove(raw);
    run({FFmpegFLACEncoder::defaultExecutable, "-nostdin", "-loglevel", "error", "-i",
         (part.directory / Artifact::flacName).string(), "-f", "s16le", raw.string()});
    std::vector<float> samples = samplesOf(raw, 2, channel);
    std::filesystem::remove(raw);
    return samples;
}

Match bestMatch(const std::vector<float>& recording, const std::vector<float>& reference,
                std::int64_t firstLag, std::int64_t lastLag) {
    const auto n = static_cast<std::int64_t>(recording.size());
    firstLag = std::max<std::int64_t>(firstLag, 0);
    lastLag = std::min<std::int64_t>(lastLag, static_cast<std::int64_t>(reference.size()) - n);
    if (n == 0 || lastLag < firstLag) {
        return {};
    }
    // Only the stretch of the reference the lags reach takes part.
    const std::int64_t span = lastLag - firstLag + n;
    std::size_t size = 1;
    while (size < static_cast<std::size_t>(span + n)) {
        size <<= 1;
    }
    std::vector<std::complex<double>> a(size), b(size);
    for (std::int64_t i = 0; i < n; ++i) {
        a[static_cast<std::size_t>(i)] = recording[static_cast<std::size_t>(i)];
    }
    for (std::int64_t i = 0; i < span; ++i) {
        b[static_cast<std::size_t>(i)] = reference[static_cast<std::size_t>(firstLag + i)];
    }
    fft(a, false);
    fft(b, false);
    for (std::size_t i = 0; i < size; ++i) {
        b[i] *= std::conj(a[i]);
    }
    fft(b, true);
    // The reference's energy under the recording at each lag, from a running sum.
    double recordingEnergy = 0;
    for (const float x : recording) {
        recordingEnergy += static_cast<double>(x) * x;
    }
    double window = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        const double y = reference[static_cast<std::size_t>(firstLag + i)];
        window += y * y;
    }
    Match best;
    for (std::int64_t k = 0; k <= lastLag - firstLag; ++k) {
        if (k > 0) {
            const double out = reference[static_cast<std::size_t>(firstLag + k - 1)];
            const double in = reference[static_cast<std::size_t>(firstLag + k + n - 1)];
            window += in * in - out * out;
        }
        const double denominator = std::sqrt(recordingEnergy * std::max(window, 0.0));
        const double value =
            denominator > 0 ? b[static_cast<std::size_t>(k)].real() / static_cast<double>(size) / denominator
                            : 0;
        if (value > best.correlation) {
            best = {value, firstLag + k};
        }
    }
    return best;
}

double correlationAt(const std::vector<float>& recording, const std::vector<float>& reference,
                     std::int64_t lag) {
    double product = 0, x2 = 0, y2 = 0;
    for (std::size_t i = 0; i < recording.size(); ++i) {
        const auto at = lag + static_cast<std::int64_t>(i);
        if (at < 0 || at >= static_cast<std::int64_t>(reference.size())) {
            continue;
        }
        const double x = recording[i], y = reference[static_cast<std::size_t>(at)];
        product += x * y;
        x2 += x * x;
        y2 += y * y;
    }
    return x2 > 0 && y2 > 0 ? product / std::sqrt(x2 * y2) : 0;
}

} // namespace zoq::test
