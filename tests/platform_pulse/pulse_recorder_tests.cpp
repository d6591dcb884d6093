#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include <pulse/channelmap.h>

#include "platform/backends/audio/channel_mixer.h"
#include "platform/backends/pulse/pulse_client.h"
#include "platform/backends/pulse/write_positions.h"

namespace {

using platform::audio::ChannelMixer;
using platform::pulse::WritePositions;
using namespace std::chrono_literals;

constexpr std::int64_t RATE = 48000;

// Seconds from a fixed origin, to the millisecond.
double seconds_of(WritePositions::Clock::time_point at) {
    const auto ms = std::chrono::round<std::chrono::milliseconds>(
        at - WritePositions::Clock::time_point{} - 1h);
    return static_cast<double>(ms.count()) / 1000.0;
}

// Frames are placed by where the server's writing stood, whatever the moment they are read.
TEST(WritePositions, PlacesFramesWhereTheServerRecordedThemAndDropsWhereItStoodStill) {
    const auto at = [](double seconds) {
        return WritePositions::Clock::time_point{} + 1h +
               std::chrono::duration_cast<WritePositions::Clock::duration>(
                   std::chrono::duration<double>(seconds));
    };
    struct Report {
        double at;
        std::int64_t index;
        bool gap;
        // Frames read before the next report (none beyond this one), and when they were
        // recorded.
        std::vector<std::pair<std::int64_t, double>> placed = {};
    };
    // A recorder stopped at 2 s for 5 s; the server kept 1 s and wrote again from 7.1 s.
    const std::vector<std::pair<const char*, std::vector<Report>>> cases = {
        // Steady writing in steps of 12.5 ms, reported a few milliseconds late or early.
        {"steady",
         {{1.000, 1 * RATE, false},
          {1.015, RATE + 600, false, {{RATE + 600, 1.0125}}},
          {1.022, RATE + 1200, false, {{RATE + 1200, 1.025}}}}},
        // Asked at 7.01 s, while the server stood still, and again at 7.15 s.
        {"asked while it stood still",
         {{2.000, 2 * RATE, false},
          {7.010, 3 * RATE, false, {{2 * RATE + RATE / 2, 2.5}, {3 * RATE, 3.0}}},
          {7.150, 3 * RATE + 2400, false, {{3 * RATE + 1200, 7.125}, {3 * RATE + 2400, 7.15}}}}},
        // Asked once it wrote again: what it kept keeps its place; what it wrote before the
        // report goes with that (the recorder asks at once), what after it is placed.
        {"asked once it wrote again",
         {{2.000, 2 * RATE, false},
          {7.200, 3 * RATE + 4800, false, {{3 * RATE, 3.0}}},
          {7.300, 3 * RATE + 9600, false, {{3 * RATE + 7200, 7.250}}}}},
        // A sink suspended for 2 s: the server said so, and wrote on from 3 s when it woke.
        {"suspended",
         {{1.000, 1 * RATE, false},
          {3.100, 1 * RATE + 4800, true, {{1 * RATE + 2400, 3.050}, {1 * RATE + 4800, 3.1}}}}},
    };
    for (const auto& [name, reports] : cases) {
        SCOPED_TRACE(name);
        WritePositions positions(RATE);
        EXPECT_FALSE(positions.places(0, at(1.0))) << "nothing reported";
        for (const auto& r : reports) {
            if (r.gap) positions.note_gap();
            positions.report(r.index, at(r.at));
            EXPECT_TRUE(positions.places(r.index, at(r.at + 10.0)));
            for (const auto& [frame, recorded] : r.placed) {
                EXPECT_NEAR(seconds_of(positions.recorded_at(frame)), recorded, 0.003) << frame;
            }
        }
    }
    // A report that goes back (a stale answer) changes nothing; a new stream counts from 0.
    WritePositions positions(RATE);
    positions.report(RATE, at(1.0));
    positions.report(RATE / 2, at(1.1));
    EXPECT_NEAR(seconds_of(positions.recorded_at(RATE)), 1.0, 0.0015);
    // Frames after the report are placed on from it while they are read as they come and the
    // report is fresh; a frame read late, a stale report or a gap said since needs a report.
    const std::int64_t later = RATE + RATE / 2;  // recorded at 1.5 s
    EXPECT_TRUE(positions.places(later, at(1.5)));
    EXPECT_NEAR(seconds_of(positions.recorded_at(later)), 1.5, 0.0015);
    EXPECT_FALSE(positions.places(later, at(1.5) + WritePositions::LATE + 1ms));
    EXPECT_FALSE(positions.places(3 * RATE + RATE / 5, at(3.2)));  // read as it came, past FRESH
    positions.note_gap();
    EXPECT_FALSE(positions.places(later, at(1.5)));
    EXPECT_TRUE(positions.places(RATE, at(1.5)));
    // After a report that stood still (1 s written in 2 s), only reported frames are placed.
    positions.report(2 * RATE, at(3.0));
    EXPECT_FALSE(positions.places(2 * RATE + 1, at(3.0)));
    positions.reset();
    EXPECT_FALSE(positions.places(0, at(3.0)));
}

// A sink's map as the mixer reads it: each channel to its side of the pair, the LFE and an
// auxiliary channel to neither.
TEST(PulseLayout, EachChannelOfASinksMapGoesToItsSide) {
    const pa_channel_position_t positions[] = {PA_CHANNEL_POSITION_FRONT_LEFT,
                                               PA_CHANNEL_POSITION_FRONT_RIGHT,
                                               PA_CHANNEL_POSITION_REAR_CENTER,
                                               PA_CHANNEL_POSITION_SIDE_RIGHT,
                                               PA_CHANNEL_POSITION_TOP_FRONT_LEFT,
                                               PA_CHANNEL_POSITION_LFE,
                                               PA_CHANNEL_POSITION_AUX0};
    pa_channel_map map{};
    for (const auto p : positions) map.map[map.channels++] = p;
    const float h = 0.70710678f;
    const std::vector<std::pair<float, float>> expected{{1, 0}, {0, 1}, {0.5f, 0.5f}, {0, h},
                                                        {h, 0}, {0, 0}, {0, 0}};
    const auto layout = platform::pulse::layout_of(map);
    ASSERT_EQ(layout.channels(), expected.size());
    for (std::size_t c = 0; c < expected.size(); ++c) {
        EXPECT_EQ(ChannelMixer::gains(layout.positions()[c]), expected[c]) << c;
    }
}

}  // namespace
