#include "bench/tone_span.h"

#include <opusfile.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace bench {

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

std::optional<std::vector<float>> decode_ogg_opus_stereo(const std::string& path) {
    int error = 0;
    OggOpusFile* file = op_open_file(path.c_str(), &error);
    if (file == nullptr) return std::nullopt;
    std::vector<float> pcm;
    std::vector<float> buffer(5760 * 2);
    for (;;) {
        const int frames =
            op_read_float_stereo(file, buffer.data(), static_cast<int>(buffer.size()));
        if (frames < 0) {
            op_free(file);
            return std::nullopt;
        }
        if (frames == 0) break;
        pcm.insert(pcm.end(), buffer.begin(), buffer.begin() + frames * 2);
    }
    op_free(file);
    return pcm;
}

}  // namespace bench
