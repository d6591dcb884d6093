#include "bench/music_signal.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace bench {

std::vector<float> music_like_stereo(std::uint32_t rate, std::uint32_t seconds,
                                     std::uint32_t seed) {
    const std::size_t frames = std::size_t{rate} * seconds;
    std::vector<double> left(frames), right(frames);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> semitone(-14, 14);
    std::uniform_real_distribution<double> unit(0.0, 1.0);

    // Four notes a second, each ringing for up to two seconds.
    const std::size_t note_every = std::max<std::size_t>(1, rate / 4);
    const double rate_hz = static_cast<double>(rate);
    for (std::size_t start = 0; start < frames; start += note_every) {
        const double hz = 261.63 * std::pow(2.0, semitone(random) / 12.0);
        const double pan = unit(random);
        const double level = 0.05 + 0.08 * unit(random);
        const std::size_t length = std::min(frames - start, std::size_t{rate} * 2);
        for (std::size_t i = 0; i < length; ++i) {
            const double t = static_cast<double>(i) / rate_hz;
            const double envelope = std::min(1.0, t / 0.01) * std::exp(-2.5 * t);
            double v = 0;
            for (int h = 1; h <= 6; ++h)
                v += std::sin(2.0 * std::numbers::pi * hz * h * t) / (h * h);
            v *= level * envelope;
            left[start + i] += v * (1.0 - pan);
            right[start + i] += v * pan;
        }
    }
    std::normal_distribution<double> noise(0.0, 0.003);
    std::vector<float> out(frames * 2);
    for (std::size_t f = 0; f < frames; ++f) {
        out[2 * f] = static_cast<float>(std::clamp(left[f] + noise(random), -1.0, 1.0));
        out[2 * f + 1] = static_cast<float>(std::clamp(right[f] + noise(random), -1.0, 1.0));
    }
    return out;
}

}  // namespace bench
