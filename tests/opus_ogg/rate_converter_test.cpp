#include "src/opus_ogg/rate_converter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace opus_ogg {
namespace {

using Samples = std::vector<std::int16_t>;

TEST(RateConverter, AccumulatedPositionGives481ThenBy480At44100) {
    Samples chunk(441 * 2);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::int16_t>(i);
    double position = 0.0;
    Samples pcm;
    convert_rate(chunk, 2, 44100, position, pcm);
    // Repeated addition leaves the 481st position a hair below 441.
    EXPECT_EQ(pcm.size(), 481u * 2);
    EXPECT_GT(position, 0.0);
    EXPECT_LT(position, 0.91875);
    EXPECT_NEAR(position, 0.91875, 1e-9);

    pcm.clear();
    convert_rate(chunk, 2, 44100, position, pcm);
    EXPECT_EQ(pcm.size(), 480u * 2);
}

TEST(RateConverter, UpsamplingHoldsTheLastFrame) {
    double position = 0.0;
    Samples pcm;
    convert_rate(Samples{0, 100}, 1, 24000, position, pcm);
    EXPECT_EQ(pcm, (Samples{0, 50, 100, 100}));
    EXPECT_EQ(position, 0.0);
}

TEST(RateConverter, DownsamplingAcrossOneFrameChunksAlternates) {
    double position = 0.0;
    Samples pcm;
    for (std::int16_t frame = 1; frame <= 6; ++frame) {
        convert_rate(Samples{frame, static_cast<std::int16_t>(-frame)}, 2, 96000, position, pcm);
        EXPECT_EQ(position, frame % 2 == 1 ? 1.0 : 0.0) << "after chunk " << frame;
    }
    EXPECT_EQ(pcm, (Samples{1, -1, 3, -3, 5, -5}));
}

TEST(RateConverter, PartialFramesAndEmptyInputs) {
    double position = 0.0;
    Samples pcm;
    // Five stereo samples are two frames; the fifth sample is ignored.
    convert_rate(Samples{10, 20, 30, 40, 32000}, 2, 24000, position, pcm);
    EXPECT_EQ(pcm, (Samples{10, 20, 20, 30, 30, 40, 30, 40}));

    // Fewer samples than channels: nothing out, position untouched.
    position = 0.25;
    pcm.clear();
    convert_rate(Samples{123}, 2, 44100, position, pcm);
    EXPECT_TRUE(pcm.empty());
    EXPECT_EQ(position, 0.25);
    convert_rate(Samples{}, 1, 44100, position, pcm);
    EXPECT_TRUE(pcm.empty());
    EXPECT_EQ(position, 0.25);

    // A zero rate could never advance; it must return instead of filling memory.
    convert_rate(Samples{1, 2, 3}, 1, 0, position, pcm);
    EXPECT_TRUE(pcm.empty());
}

TEST(RateConverter, InterpolationTruncatesTowardZero) {
    double position = 0.0;
    Samples pcm;
    convert_rate(Samples{-32768, 32767}, 1, 24000, position, pcm);
    EXPECT_EQ(pcm, (Samples{-32768, 0, 32767, 32767}));

    pcm.clear();
    convert_rate(Samples{-3, 0}, 1, 24000, position, pcm);
    EXPECT_EQ(pcm, (Samples{-3, -1, 0, 0}));
}

// Random rates and chunk sizes: each chunk yields the number of frames its span of
// positions holds, positions stay in range, and totals track the input duration.
TEST(RateConverter, CountsAndPositionsHoldForRandomInput) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::uint32_t> rate_of(8000, 192000);
    std::uniform_int_distribution<std::size_t> frames_of(0, 1500);
    std::uniform_int_distribution<int> sample_of(-32768, 32767);

    for (int round = 0; round < 40; ++round) {
        const std::uint32_t rate = rate_of(random);
        const std::size_t channels = round % 2 + 1;
        const double step = rate / 48000.0;
        double position = 0.0;
        std::size_t frames_in = 0;
        std::size_t frames_out = 0;
        for (int chunk_index = 0; chunk_index < 60; ++chunk_index) {
            const std::size_t frames = frames_of(random);
            Samples chunk(frames * channels);
            for (auto& s : chunk) s = static_cast<std::int16_t>(sample_of(random));
            Samples pcm;
            const double before = position;
            convert_rate(chunk, channels, rate, position, pcm);

            ASSERT_EQ(pcm.size() % channels, 0u);
            const double produced = static_cast<double>(pcm.size() / channels);
            const double span = std::max(0.0, static_cast<double>(frames) - before) / step;
            EXPECT_GE(produced, std::floor(span) - 1) << "rate " << rate;
            EXPECT_LE(produced, std::ceil(span) + 1) << "rate " << rate;
            EXPECT_GE(position, 0.0) << "rate " << rate;
            if (!pcm.empty()) {
                EXPECT_LT(position, step + 1e-9) << "rate " << rate;
            }

            // Every output sample lies between the chunk's extremes for its channel.
            for (std::size_t c = 0; c < channels && frames > 0; ++c) {
                std::int16_t lo = chunk[c], hi = chunk[c];
                for (std::size_t f = 0; f < frames; ++f) {
                    lo = std::min(lo, chunk[f * channels + c]);
                    hi = std::max(hi, chunk[f * channels + c]);
                }
                for (std::size_t f = 0; f < pcm.size() / channels; ++f) {
                    ASSERT_GE(pcm[f * channels + c], lo);
                    ASSERT_LE(pcm[f * channels + c], hi);
                }
            }
            frames_in += frames;
            frames_out += pcm.size() / channels;
        }
        const double expected = static_cast<double>(frames_in) / step;
        EXPECT_NEAR(static_cast<double>(frames_out), expected, 2.0) << "rate " << rate;
    }
}

}  // namespace
}  // namespace opus_ogg
