#include "tests/support/tone_meter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace test_support {

std::vector<float> tone(double frequency, double amplitude, double seconds, std::uint32_t rate,
                        std::uint32_t channels) {
    const auto frames = static_cast<std::size_t>(seconds * rate + 0.5);
    const double fade = rate / 1000.0;
    std::vector<float> out(frames * channels);
    for (std::size_t i = 0; i < frames; ++i) {
        const double gain = std::min({1.0, (static_cast<double>(i) + 0.5) / fade,
                                      (static_cast<double>(frames - i) - 0.5) / fade});
        const auto v = static_cast<float>(
            amplitude * gain *
            std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
        std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(i * channels), channels, v);
    }
    return out;
}

std::vector<double> tone_levels(std::span<const float> interleaved, std::uint32_t channels,
                                std::uint32_t rate, double frequency, std::size_t window) {
    std::vector<double> levels;
    if (channels == 0 || window == 0) return levels;
    const std::size_t frames = interleaved.size() / channels;
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * frequency / rate);
    const double w = 2.0 * std::numbers::pi * frequency / rate;
    for (std::size_t start = 0; start + window <= frames; start += window) {
        double s1 = 0, s2 = 0;
        for (std::size_t i = start; i < start + window; ++i) {
            double x = 0;
            for (std::uint32_t c = 0; c < channels; ++c) x += interleaved[i * channels + c];
            const double s = x / channels + coefficient * s1 - s2;
            s2 = s1;
            s1 = s;
        }
        // |X(f)| of the window; a sine of amplitude A whose frequency fits the window
        // gives A * window / 2.
        const double real = s1 - s2 * std::cos(w);
        const double imaginary = s2 * std::sin(w);
        levels.push_back(2.0 * std::hypot(real, imaginary) / static_cast<double>(window));
    }
    return levels;
}

std::optional<ToneSpan> find_tone_span(std::span<const float> interleaved, std::uint32_t channels,
                                       std::uint32_t rate, double frequency, double floor) {
    const std::size_t window = rate / 1000;
    const std::vector<double> levels = tone_levels(interleaved, channels, rate, frequency, window);
    std::vector<double> strong;
    for (const double level : levels) {
        if (level >= floor) strong.push_back(level);
    }
    if (strong.empty()) return std::nullopt;
    std::nth_element(strong.begin(),
                     strong.begin() + static_cast<std::ptrdiff_t>(strong.size() / 2), strong.end());
    const double steady = strong[strong.size() / 2];
    const double threshold = steady / 2;
    std::size_t first = levels.size(), last = 0;
    for (std::size_t k = 0; k < levels.size(); ++k) {
        if (levels[k] >= threshold) {
            first = std::min(first, k);
            last = k;
        }
    }
    return ToneSpan{first * window, (last + 1) * window, steady};
}

std::vector<float> channel_of(std::span<const float> interleaved, std::size_t channels,
                              std::size_t channel, std::size_t first, std::size_t count) {
    std::vector<float> out;
    if (channels == 0) return out;
    const std::size_t frames = interleaved.size() / channels;
    const std::size_t end = first + std::min(count, frames - std::min(first, frames));
    for (std::size_t i = first; i < end; ++i) out.push_back(interleaved[i * channels + channel]);
    return out;
}

double rms(std::span<const float> samples) {
    if (samples.empty()) return 0.0;
    double sum = 0.0;
    for (const float s : samples) sum += static_cast<double>(s) * s;
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

double zero_crossing_frequency(std::span<const float> samples, double rate) {
    std::optional<double> first;
    double last = 0;
    std::size_t crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        const double previous = samples[i - 1];
        const double v = samples[i];
        if (previous < 0 && v >= 0) {
            const double at = static_cast<double>(i - 1) + previous / (previous - v);
            if (!first) {
                first = at;
            } else {
                ++crossings;
            }
            last = at;
        }
    }
    if (!first || crossings == 0) return 0.0;
    return static_cast<double>(crossings) * rate / (last - *first);
}

std::vector<double> block_rms(std::span<const float> interleaved, std::size_t channels,
                              std::size_t block, std::optional<std::size_t> channel,
                              std::size_t from_frame) {
    std::vector<double> levels;
    if (channels == 0 || block == 0) return levels;
    const std::size_t frames = interleaved.size() / channels;
    for (std::size_t start = from_frame; start + block <= frames; start += block) {
        double energy = 0;
        for (std::size_t i = start; i < start + block; ++i) {
            for (std::size_t c = 0; c < channels; ++c) {
                if (channel && c != *channel) continue;
                const double v = interleaved[i * channels + c];
                energy += v * v;
            }
        }
        levels.push_back(std::sqrt(energy / static_cast<double>(block * (channel ? 1 : channels))));
    }
    return levels;
}

}  // namespace test_support
