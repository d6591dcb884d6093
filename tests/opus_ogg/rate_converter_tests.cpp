#include "opus_ogg/rate_converter.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cmath>
#include <random>

namespace opus_ogg {
namespace {

using Samples = std::vector<std::int16_t>;

Samples convert(const Samples& in, std::size_t channels, std::uint32_t rate, double& position) {
    Samples out;
    convert_rate(in, channels, rate, position, out);
    return out;
}

TEST(RateConverter, PositionAdvancesByRepeatedAddition) {
    // At 44 100 Hz the 481st position of a 441-frame chunk is a hair below 441.
    Samples chunk(441 * 2, 7);
    double position = 0.0;
    EXPECT_EQ(convert(chunk, 2, 44100, position).size(), 481u * 2);
    EXPECT_LT(position, 0.91875);
    EXPECT_NEAR(position, 0.91875, 1e-9);
    EXPECT_EQ(convert(chunk, 2, 44100, position).size(), 480u * 2);

    // 96 kHz one-frame chunks: every second frame is kept.
    position = 0.0;
    Samples kept;
    for (std::int16_t frame = 1; frame <= 4; ++frame) {
        const Samples out = convert({frame, static_cast<std::int16_t>(-frame)}, 2, 96000, position);
        kept.insert(kept.end(), out.begin(), out.end());
        EXPECT_EQ(position, frame % 2 == 1 ? 1.0 : 0.0);
    }
    EXPECT_EQ(kept, (Samples{1, -1, 3, -3}));
}

TEST(RateConverter, InterpolatesHoldsAndTruncates) {
    double position = 0.0;
    EXPECT_EQ(convert({0, 100}, 1, 24000, position), (Samples{0, 50, 100, 100}));
    EXPECT_EQ(position, 0.0);
    EXPECT_EQ(convert({-32768, 32767}, 1, 24000, position), (Samples{-32768, 0, 32767, 32767}));
    EXPECT_EQ(convert({-3, 0}, 1, 24000, position), (Samples{-3, -1, 0, 0}));
    // Five stereo samples are two frames; the fifth is ignored.
    EXPECT_EQ(convert({10, 20, 30, 40, 32000}, 2, 24000, position),
              (Samples{10, 20, 20, 30, 30, 40, 30, 40}));
}

TEST(RateConverter, NoWholeFrameOrNoRateGivesNothing) {
    double position = 0.25;
    EXPECT_TRUE(convert({123}, 2, 44100, position).empty());
    EXPECT_TRUE(convert({}, 1, 44100, position).empty());
    EXPECT_EQ(position, 0.25);
    // A zero rate never advances; it must return rather than fill memory.
    EXPECT_TRUE(convert({1, 2, 3}, 1, 0, position).empty());
}

// Random rates and chunk sizes: per-chunk counts follow the span of positions, the
// position stays in range, outputs stay within the chunk's values, and the totals
// follow the input duration.
TEST(RateConverter, RandomChunksKeepCountsAndPositions) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::uint32_t> rate_of(8000, 192000);
    std::uniform_int_distribution<std::size_t> frames_of(0, 1500);
    std::uniform_int_distribution<int> sample_of(-32768, 32767);
    for (int round = 0; round < 40; ++round) {
        const std::uint32_t rate = rate_of(random);
        const std::size_t channels = round % 2 + 1;
        const double step = rate / 48000.0;
        SCOPED_TRACE("rate " + std::to_string(rate));
        double position = 0.0, frames_in = 0, frames_out = 0;
        for (int chunk_index = 0; chunk_index < 60; ++chunk_index) {
            const std::size_t frames = frames_of(random);
            Samples chunk(frames * channels);
            for (auto& s : chunk) s = static_cast<std::int16_t>(sample_of(random));
            const double before = position;
            const Samples out = convert(chunk, channels, rate, position);

            ASSERT_EQ(out.size() % channels, 0u);
            const double produced = static_cast<double>(out.size() / channels);
            const double span = std::max(0.0, static_cast<double>(frames) - before) / step;
            EXPECT_GE(produced, std::floor(span) - 1);
            EXPECT_LE(produced, std::ceil(span) + 1);
            EXPECT_GE(position, 0.0);
            EXPECT_TRUE(out.empty() || position < step + 1e-9);
            for (std::size_t c = 0; c < channels && frames > 0; ++c) {
                std::int16_t lo = chunk[c], hi = chunk[c];
                for (std::size_t f = c; f < chunk.size(); f += channels) {
                    lo = std::min(lo, chunk[f]);
                    hi = std::max(hi, chunk[f]);
                }
                for (std::size_t f = c; f < out.size(); f += channels)
                    ASSERT_TRUE(out[f] >= lo && out[f] <= hi);
            }
            frames_in += static_cast<double>(frames);
            frames_out += produced;
        }
        EXPECT_NEAR(frames_out, frames_in / step, 2.0);
    }
}

}  // namespace
}  // namespace opus_ogg
