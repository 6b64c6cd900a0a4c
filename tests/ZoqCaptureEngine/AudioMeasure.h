#pragma once

// Signal measurements shared by the capture engine tests.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

namespace zoq::test {

inline std::vector<float> sine(double rate, double frequency, double amplitude, std::size_t frames,
                               int channels = 1) {
    std::vector<float> samples(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const double value =
            amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate);
        for (int c = 0; c < channels; ++c) {
            samples[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] =
                static_cast<float>(value);
        }
    }
    return samples;
}

template <typename T>
std::vector<double> channel(std::span<const T> interleaved, int channels, int which, double scale = 1.0) {
    std::vector<double> values;
    values.reserve(interleaved.size() / static_cast<std::size_t>(channels));
    for (std::size_t i = static_cast<std::size_t>(which); i < interleaved.size();
         i += static_cast<std::size_t>(channels)) {
        values.push_back(static_cast<double>(interleaved[i]) * scale);
    }
    return values;
}

/// The sine of `frequency` (cycles per sample period at `rate`) that best
/// fits `x` in amplitude and phase (least squares, with a DC term), and how
/// far `x` is from it.
struct SineFit {
    double amplitude = 0;
    double snrDecibels = 0; ///< fitted sine power over residual power
};

inline SineFit fitSine(std::span<const double> x, double rate, double frequency) {
    const double w = 2 * std::numbers::pi * frequency / rate;
    // Normal equations for x ≈ a·sin + b·cos + c.
    double ss = 0, sc = 0, s1 = 0, cc = 0, c1 = 0, n = 0, xs = 0, xc = 0, x1 = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double s = std::sin(w * static_cast<double>(i));
        const double c = std::cos(w * static_cast<double>(i));
        ss += s * s, sc += s * c, s1 += s, cc += c * c, c1 += c, n += 1;
        xs += x[i] * s, xc += x[i] * c, x1 += x[i];
    }
    // Solve the 3×3 system by Cramer's rule.
    const auto det3 = [](double a, double b, double c, double d, double e, double f, double g, double h,
                         double k) {
        return a * (e * k - f * h) - b * (d * k - f * g) + c * (d * h - e * g);
    };
    const double d = det3(ss, sc, s1, sc, cc, c1, s1, c1, n);
    const double a = det3(xs, sc, s1, xc, cc, c1, x1, c1, n) / d;
    const double b = det3(ss, xs, s1, sc, xc, c1, s1, x1, n) / d;
    const double c0 = det3(ss, sc, xs, sc, cc, xc, s1, c1, x1) / d;
    double signal = 0, residual = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double fitted =
            a * std::sin(w * static_cast<double>(i)) + b * std::cos(w * static_cast<double>(i));
        signal += fitted * fitted;
        const double error = x[i] - fitted - c0;
        residual += error * error;
    }
    return {std::hypot(a, b), 10 * std::log10(signal / residual)};
}

inline double rms(std::span<const double> x) {
    double sum = 0;
    for (double v : x) {
        sum += v * v;
    }
    return std::sqrt(sum / static_cast<double>(x.size()));
}

/// Normalised cross-correlation of a and b[lag...], over their common length.
inline double correlation(std::span<const double> a, std::span<const double> b, std::ptrdiff_t lag = 0) {
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i) + lag;
        if (j < 0 || j >= static_cast<std::ptrdiff_t>(b.size())) {
            continue;
        }
        const double y = b[static_cast<std::size_t>(j)];
        ab += a[i] * y, aa += a[i] * a[i], bb += y * y;
    }
    return ab / std::sqrt(aa * bb);
}

} // namespace zoq::test
