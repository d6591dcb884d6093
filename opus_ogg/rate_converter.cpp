#include "opus_ogg/rate_converter.h"

#include <cmath>

namespace opus_ogg {

void convert_rate(std::span<const std::int16_t> samples, std::size_t channels, std::uint32_t rate,
                  double& position, std::vector<std::int16_t>& pcm) {
    if (rate == 0 || channels == 0) return;
    const std::uint64_t frames = samples.size() / channels;
    const double step = static_cast<double>(rate) / static_cast<double>(ENCODER_RATE);
    // For frames == 0 the subtraction wraps, the loop is entered and stops at the
    // bounds check below, leaving the position unchanged.
    const double limit = static_cast<double>(frames - 1) + 0.999;
    const auto frame_count = static_cast<std::int64_t>(frames);

    double p = position;
    while (std::floor(p) < limit) {
        const double whole = std::floor(p);
        const auto i = static_cast<std::int64_t>(whole);
        if (i + 1 > frame_count) break;
        const double t = p - whole;
        const std::int64_t j = i + 1 < frame_count ? i + 1 : frame_count - 1;
        const std::int16_t* a = samples.data() + static_cast<std::size_t>(i) * channels;
        const std::int16_t* b = samples.data() + static_cast<std::size_t>(j) * channels;
        for (std::size_t c = 0; c < channels; ++c) {
            const double from = a[c];
            double y = (static_cast<double>(b[c]) - from) * t + from;
            if (y < -32768.0) y = -32768.0;
            if (y > 32767.0) y = 32767.0;
            pcm.push_back(static_cast<std::int16_t>(y));
        }
        p += step;
    }
    position = p - static_cast<double>(frames);
}

}  // namespace opus_ogg
