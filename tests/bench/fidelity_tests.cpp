// The tone finder behind the fidelity figures: the test tone, its level per window, its
// edges under music, the gaps around a switch of sinks, and the whole chain through the
// Opus encoder and back.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "bench/music_signal.h"
#include "bench/switch_gap.h"
#include "opus_ogg/opus_ogg_writer.h"
#include "tests/support/decoded_audio.h"
#include "tests/support/ogg_reading.h"
#include "tests/support/tone_meter.h"

namespace {

constexpr std::uint32_t TONE_RATE = 48000;

// Music with the test tone added over frames [from, from + length) of it.
std::vector<float> music_with_tone(std::size_t from, std::size_t length, double amplitude) {
    std::vector<float> pcm = bench::music_like_stereo(TONE_RATE, 3);
    const auto added = test_support::tone(test_support::TONE_HZ, amplitude,
                                          static_cast<double>(length) / TONE_RATE, TONE_RATE, 2);
    for (std::size_t i = 0; i < added.size(); ++i) pcm[from * 2 + i] += added[i];
    return pcm;
}

TEST(ToneSpanTest, ToneIsAsLongAsAskedWithShortFadesOnEveryChannel) {
    const auto pcm = test_support::tone(1000.0, 0.5, 0.25, TONE_RATE, 2);
    ASSERT_EQ(pcm.size(), 12000u * 2);
    float peak = 0;
    for (std::size_t i = 0; i < pcm.size(); i += 2) {
        ASSERT_EQ(pcm[i], pcm[i + 1]);
        peak = std::max(peak, std::abs(pcm[i]));
    }
    EXPECT_LE(peak, 0.5f);
    EXPECT_GT(peak, 0.49f);
    EXPECT_LT(std::abs(pcm[0]), 0.01f);      // faded in
    EXPECT_LT(std::abs(pcm.back()), 0.01f);  // and out
}

TEST(ToneSpanTest, LevelsMeasureOnlyTheTonesFrequency) {
    const auto five = test_support::tone(test_support::TONE_HZ, 0.3, 0.1, TONE_RATE, 2);
    const auto levels = test_support::tone_levels(five, 2, TONE_RATE, test_support::TONE_HZ, 48);
    ASSERT_EQ(levels.size(), 100u);
    for (std::size_t k = 2; k < 98; ++k) EXPECT_NEAR(levels[k], 0.3, 0.003) << k;
    // Away from the fades, which spread over every frequency, another frequency is not seen.
    const auto elsewhere = test_support::tone_levels(five, 2, TONE_RATE, 2000.0, 48);
    for (std::size_t k = 2; k < 98; ++k) EXPECT_LT(elsewhere[k], 0.001) << k;
    // On the mean of the channels, a tone that only one side plays counts half as loud.
    std::vector<float> one_side = five;
    for (std::size_t i = 1; i < one_side.size(); i += 2) one_side[i] = 0;
    EXPECT_NEAR(test_support::tone_levels(one_side, 2, TONE_RATE, test_support::TONE_HZ, 48)[50],
                0.15, 0.002);
    EXPECT_TRUE(test_support::tone_levels(five, 2, TONE_RATE, test_support::TONE_HZ, 0).empty());
}

TEST(ToneSpanTest, FindsTheTonesEdgesUnderMusicToAMillisecond) {
    for (const double amplitude :
         {test_support::TONE_AMPLITUDE, test_support::TONE_AMPLITUDE * 0.6}) {
        for (const std::size_t from : {std::size_t{24000}, std::size_t{24017}, std::size_t{0}}) {
            const std::size_t length = 48000;
            const auto pcm = music_with_tone(from, length, amplitude);
            const auto span = test_support::find_tone_span(pcm, 2, TONE_RATE, test_support::TONE_HZ,
                                                           test_support::TONE_AMPLITUDE / 4);
            ASSERT_TRUE(span.has_value()) << from;
            EXPECT_NEAR(static_cast<double>(span->first_frame), static_cast<double>(from), 48.0)
                << from;
            EXPECT_NEAR(static_cast<double>(span->end_frame), static_cast<double>(from + length),
                        48.0)
                << from;
            EXPECT_NEAR(span->level, amplitude, amplitude * 0.05);
        }
    }
    const auto music = bench::music_like_stereo(TONE_RATE, 3);
    EXPECT_FALSE(test_support::find_tone_span(music, 2, TONE_RATE, test_support::TONE_HZ,
                                              test_support::TONE_AMPLITUDE / 4)
                     .has_value());
}

TEST(SwitchGapTest, ToneIsPresentAtHalfItsSteadyLevelOrMore) {
    // Music alone (0.01) is below the floor and has no say in the steady level (0.19).
    const std::vector<double> levels = {0.01, 0.2, 0.21, 0.19, 0.09, 0.11, 0.0};
    EXPECT_EQ(bench::tone_present(levels, 0.05),
              (std::vector<bool>{false, true, true, true, false, true, false}));
    EXPECT_EQ(bench::tone_present(levels, 0.5), std::vector<bool>(levels.size(), false));
}

// Under load, the share of a steady tone's 10 ms blocks a recording lacks, against a
// reference that may itself lack some: silence and dropped time count alike, a block with
// 3 ms of tone left is missing and one with 7 ms is not.
TEST(SwitchGapTest, CountsTheMissingShareOfToneBlocksAgainstTheReference) {
    constexpr std::uint32_t rate = 48000;
    constexpr std::size_t block = rate / 100;
    const auto whole =
        test_support::tone(test_support::TONE_HZ, test_support::TONE_AMPLITUDE, 2.0, rate, 2);
    auto frame = [&](int ms) { return static_cast<std::ptrdiff_t>(ms) * rate / 1000 * 2; };
    auto silenced = whole;
    std::fill(silenced.begin() + frame(503), silenced.begin() + frame(703), 0.0f);
    auto dropped = whole;
    dropped.erase(dropped.begin() + frame(503), dropped.begin() + frame(703));
    auto reference_gap = whole;
    std::fill(reference_gap.begin() + frame(1000), reference_gap.begin() + frame(1100), 0.0f);
    struct Case {
        const char* what;
        const std::vector<float>& recording;
        const std::vector<float>& reference;
        std::size_t present;
        double share;
    };
    const Case cases[] = {
        {"all there", whole, whole, 200, 0.0},
        {"200 ms silent", silenced, whole, 180, 0.10},
        {"200 ms dropped", dropped, whole, 180, 0.10},
        {"the reference lacks 100 ms too", silenced, reference_gap, 180, 1.0 - 180.0 / 190.0},
        {"the reference lacks what the recording has", whole, reference_gap, 200, 0.0},
    };
    for (const Case& c : cases) {
        const std::size_t present = bench::tone_blocks(c.recording, 2, rate, block);
        EXPECT_EQ(present, c.present) << c.what;
        const double share = bench::missing_share(
            present, 200, bench::tone_blocks(c.reference, 2, rate, block), 200);
        EXPECT_NEAR(share, c.share, 1e-9) << c.what;
    }
    EXPECT_EQ(bench::missing_share(0, 200, 0, 200), 0.0) << "no tone in the reference";
}

// A 6 s file of 1 ms windows holding the tone from 200 ms to 5800 ms, less the given gaps.
std::vector<bool> tone_with_gaps(std::initializer_list<std::pair<int, int>> gaps) {
    std::vector<bool> present(6000, false);
    for (int ms = 200; ms < 5800; ++ms) present[static_cast<std::size_t>(ms)] = true;
    for (const auto& [from, to] : gaps) {
        for (int ms = from; ms < to; ++ms) present[static_cast<std::size_t>(ms)] = false;
    }
    return present;
}

TEST(SwitchGapTest, CountsTheToneMissingAroundEachSwitchAndWhetherItCameBack) {
    const std::vector<double> switches = {1000, 2200, 3400, 4600};
    struct Case {
        const char* what;
        std::vector<bool> present;
        bool follows;
        std::vector<double> lost_ms;
        double dropped_ms = 0;
    };
    const Case cases[] = {
        {"a gap at each switch, one late in the file",
         tone_with_gaps({{1010, 1060}, {2200, 2230}, {3700, 3760}, {4590, 4600}}),
         true,
         {50, 30, 60, 10}},
        {"nothing lost", tone_with_gaps({}), true, {0, 0, 0, 0}},
        {"time dropped from the file", tone_with_gaps({{2200, 2230}}), true, {50, 80, 50, 50}, 200},
        {"less dropped than without switches", tone_with_gaps({}), true, {0, 0, 0, 0}, -80},
        // Silence before the tone's first window and after its last is the file's start
        // and stop, not a switch's.
        {"a late start", tone_with_gaps({{0, 700}}), true, {0, 0, 0, 0}},
        {"stays on the first sink",
         tone_with_gaps({{1020, 2210}, {3410, 4620}}),
         false,
         {580, 610, 590, 620}},
        // The file ends without the tone coming back: no sign that it followed.
        {"gone from the last switch on", tone_with_gaps({{4600, 5800}}), false, {0, 0, 0, 0}},
        {"no tone at all", std::vector<bool>(6000, false), false, {}},
    };
    for (const Case& c : cases) {
        const auto gaps = bench::switch_gaps(c.present, switches, 600, c.dropped_ms);
        EXPECT_EQ(gaps.follows, c.follows) << c.what;
        EXPECT_EQ(gaps.lost_ms, c.lost_ms) << c.what;
    }
}

// The whole chain the fidelity figures take: through the Opus encoder and back, the tone
// keeps its place and length to within a couple of milliseconds.
TEST(ToneSpanTest, ToneKeepsItsSpanThroughOpus) {
    const test_support::TempDir dir;
    const std::size_t from = 30000, length = 33600;  // 625 ms in, 700 ms long
    const auto pcm = music_with_tone(from, length, test_support::TONE_AMPLITUDE);
    const std::string path = dir.file("music-tone.opus");
    {
        auto writer = opus_ogg::OpusOggWriter::create(path, TONE_RATE, 2);
        ASSERT_TRUE(writer.has_value());
        std::vector<std::int16_t> samples(pcm.size());
        std::transform(pcm.begin(), pcm.end(), samples.begin(), [](float v) {
            return static_cast<std::int16_t>(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
        });
        ASSERT_TRUE(writer->write_pcm_i16(samples).has_value());
        ASSERT_TRUE(writer->finalize().has_value());
    }
    const auto decoded = test_support::decode_opus_file(path);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_GE(decoded->samples.size(), pcm.size());
    const auto span = test_support::find_tone_span(
        decoded->samples, 2, TONE_RATE, test_support::TONE_HZ, test_support::TONE_AMPLITUDE / 4);
    ASSERT_TRUE(span.has_value());
    EXPECT_NEAR(static_cast<double>(span->first_frame), static_cast<double>(from), 96.0);
    EXPECT_NEAR(static_cast<double>(span->end_frame), static_cast<double>(from + length), 96.0);
    EXPECT_NEAR(span->level, test_support::TONE_AMPLITUDE, test_support::TONE_AMPLITUDE * 0.25);

    EXPECT_FALSE(test_support::decode_opus_file(dir.file("missing.opus")).has_value());
    std::ofstream(dir.file("not-opus.opus")) << "not an Ogg stream";
    EXPECT_FALSE(test_support::decode_opus_file(dir.file("not-opus.opus")).has_value());
}

}  // namespace
