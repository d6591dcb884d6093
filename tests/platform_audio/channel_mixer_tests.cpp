// ChannelMixer: surround and mono layouts to stereo.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "platform/backends/audio/channel_layout.h"
#include "platform/backends/audio/channel_mixer.h"

namespace {

using platform::audio::ChannelLayout;
using platform::audio::ChannelMixer;
using enum platform::audio::ChannelPosition;

ChannelLayout five_one() { return {FrontLeft, FrontRight, RearLeft, RearRight, FrontCenter, Lfe}; }

std::vector<float> mixed(ChannelMixer& mixer, const std::vector<float>& in) {
    const auto out = mixer.mix(in.data(), in.size() * sizeof(float));
    return {out.begin(), out.end()};
}

TEST(ChannelMixer, MixesFiveOneWithTheUsualGainsAndLeavesStereoAlone) {
    EXPECT_FALSE(ChannelMixer::to_stereo(ChannelLayout{FrontLeft, FrontRight}));
    EXPECT_FALSE(ChannelMixer::to_stereo(ChannelLayout{}));
    auto mixer = ChannelMixer::to_stereo(five_one());
    ASSERT_TRUE(mixer);
    ASSERT_EQ(mixer->in_channels(), 6u);
    // One frame per channel, each alone at 1.0, and one frame more, in two calls.
    std::vector<float> in(6 * 7, 0.0f);
    for (std::size_t c = 0; c < 6; ++c) in[c * 6 + c] = 1.0f;
    for (std::size_t c = 0; c < 6; ++c) in[36 + c] = 0.5f;
    const auto* bytes = std::as_bytes(std::span(in)).data();
    const std::size_t cut = 6 * 6 * sizeof(float);
    std::vector<float> out;
    auto first = mixer->mix(bytes, cut);
    out.assign(first.begin(), first.end());
    auto rest = mixer->mix(bytes + cut, in.size() * sizeof(float) - cut);
    out.insert(out.end(), rest.begin(), rest.end());

    // The last frame is what the server makes of a stereo 0.5 on a 5.1 output: the rear and
    // the centre are its copies, and the front pair alone is that sound.
    const float h = 0.70710678f;
    const std::vector<float> expected{1, 0, 0, 1, h, 0, 0, h, h, h, 0, 0, 0.5f, 0.5f};
    ASSERT_EQ(out.size(), expected.size());
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], expected[i], 1e-6) << i;

    auto mono = ChannelMixer::to_stereo(ChannelLayout{Mono});
    ASSERT_TRUE(mono);
    const std::vector<float> one{0.25f};
    const auto both = mono->mix(one.data(), sizeof(float));
    EXPECT_EQ(std::vector<float>(both.begin(), both.end()), (std::vector<float>{0.25f, 0.25f}));

    // A front pair with an auxiliary channel is no plain stereo; the auxiliary channel is left out.
    auto aux = ChannelMixer::to_stereo(ChannelLayout{FrontLeft, FrontRight, Unknown});
    ASSERT_TRUE(aux);
    EXPECT_EQ(mixed(*aux, {0.25f, 0.5f, 1.0f}), (std::vector<float>{0.25f, 0.5f}));
}

TEST(ChannelMixer, WhatTheFoldDownAddsNeverTakesASidePastTheCeiling) {
    struct Case {
        const char* what;
        std::vector<float> frame;  // FL FR RL RR FC LFE
        float left;                // expected; 0 for "at the ceiling"
        float right;
    };
    const std::vector<Case> cases{
        {"loud front alone, as it is", {0.99f, -0.99f, 0, 0, 0, 0}, 0.99f, -0.99f},
        {"loud sum, held at the ceiling", {0.9f, 0.1f, 0.8f, 0, 0, 0}, 0, 0.1f},
        {"negative too", {-0.8f, -0.8f, 0, 0, -0.5f, 0}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto mixer = ChannelMixer::to_stereo(five_one());
        ASSERT_TRUE(mixer);
        const auto out = mixed(*mixer, c.frame);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_NEAR(c.left == 0 ? std::fabs(out[0]) : out[0],
                    c.left == 0 ? ChannelMixer::CEILING : c.left, 1e-6);
        EXPECT_NEAR(c.right == 0 ? std::fabs(out[1]) : out[1],
                    c.right == 0 ? ChannelMixer::CEILING : c.right, 1e-6);
    }
    // A long loud run (surrounds a quarter turn behind the front, not copies) never passes the
    // ceiling; the addition comes back whole after it.
    auto mixer = ChannelMixer::to_stereo(five_one());
    ASSERT_TRUE(mixer);
    std::vector<float> loud;
    for (float f = 0; f < 2000; ++f) {
        loud.insert(loud.end(), 2, 0.9f * std::sin(f * 0.05f));
        loud.insert(loud.end(), {0.9f * std::cos(f * 0.05f), 0.9f * std::cos(f * 0.05f), 0, 0});
    }
    const auto held = mixed(*mixer, loud);
    EXPECT_LE(std::ranges::max(held, {}, [](float v) { return std::fabs(v); }),
              ChannelMixer::CEILING + 1e-6f);
    std::vector<float> quiet;
    for (int f = 0; f < 20000; ++f) quiet.insert(quiet.end(), {0.1f, 0, 0.05f, 0, 0, 0});
    const auto after = mixed(*mixer, quiet);
    EXPECT_NEAR(after[after.size() - 2], 0.1f + 0.70710678f * 0.05f, 1e-4);
}

}  // namespace
