// Timeline: the wall clock against what the server delivers.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "platform/backends/audio/timeline.h"

namespace {

using platform::audio::Timeline;
using namespace std::chrono_literals;

constexpr std::uint32_t RATE = 48000;
constexpr std::uint64_t MS = RATE / 1000;  // frames per millisecond

// Feeds a timeline as the recorder does and keeps what it would write: frames of data,
// silence and held data in the order they would go out.
struct Fed {
    Timeline t{RATE, 10ms};
    Timeline::Clock::time_point now = Timeline::Clock::time_point{} + 1h;
    std::uint64_t silence = 0;  // owed silence so far
    std::uint64_t held = 0;     // frames held back now
    std::uint64_t silence_before_held = 0;

    explicit Fed() { t.start(now); }
    void arrive(std::chrono::microseconds after, std::uint64_t frames) {
        now += after;
        const auto a = t.arrive(now, frames);
        if (a.hold) {
            held += frames;
            return;
        }
        silence += a.silence;
        if (held != 0) silence_before_held += a.silence;
        held = 0;
    }
    void end(std::chrono::microseconds after) {
        now += after;
        silence += t.end(now);
        held = 0;
    }
    std::uint64_t due() const {
        return static_cast<std::uint64_t>((now - (Timeline::Clock::time_point{} + 1h)) / 1ms) * MS;
    }
};

TEST(Timeline, FillsTheStartAndGapsTheServerReportsButNotJitter) {
    Fed f;
    // The first data after 500 ms, at real time from then on: the wait is owed, less one
    // fragment of delivery delay, and it goes before the data held meanwhile.
    f.arrive(500ms, 10 * MS);
    EXPECT_EQ(f.held, 10 * MS);
    for (int i = 0; i < 30; ++i) f.arrive(10ms, 10 * MS);
    EXPECT_EQ(f.held, 0u);
    EXPECT_EQ(f.silence_before_held, 480 * MS);
    // Deliveries that wobble by a few fragments owe nothing and hold nothing.
    for (int i = 0; i < 200; ++i) {
        f.arrive((i % 2 == 0) ? 5ms : 35ms, 20 * MS);
        ASSERT_EQ(f.held, 0u);
    }
    EXPECT_EQ(f.silence, 480 * MS);
    // A suspended sink: 2 s without data, then data again at real time.
    f.t.note_gap();
    f.arrive(2s, 10 * MS);
    for (int i = 0; i < 30; ++i) f.arrive(10ms, 10 * MS);
    EXPECT_GE(f.silence - 480 * MS, 1990 * MS);
    EXPECT_LE(f.silence - 480 * MS, 2010 * MS);
    // What is counted follows the wall clock within the deliveries' wobble.
    EXPECT_LE(f.t.counted(), f.due() + 20 * MS);
    EXPECT_GE(f.t.counted() + 20 * MS, f.due());
}

TEST(Timeline, WhatComesLateAllAtOnceIsNoGapButALagThatStaysIs) {
    Fed f;
    // A sink that hands over the sound of the first 1.2 s only once it is heard: late,
    // but all of it, at once.
    f.arrive(1200ms, 10 * MS);
    for (int i = 0; i < 119; ++i) f.arrive(50us, 10 * MS);
    f.arrive(10ms, 10 * MS);
    EXPECT_EQ(f.held, 0u);
    EXPECT_LE(f.silence, 20 * MS) << "what came covered the start";
    const auto after_start = f.silence;
    for (int i = 0; i < 100; ++i) f.arrive(10ms, 10 * MS);
    // A stall of 1.5 s that the server catches up on at once.
    f.arrive(1500ms, 10 * MS);
    for (int i = 0; i < 150; ++i) f.arrive(100us, 10 * MS);
    f.arrive(10ms, 10 * MS);
    EXPECT_EQ(f.silence, after_start);
    // A stall after which the server goes on from now: owed once the lag has lasted, and
    // put before the data that came meanwhile.
    f.arrive(1500ms, 10 * MS);
    for (int i = 0; i < 40; ++i) f.arrive(10ms, 10 * MS);
    EXPECT_EQ(f.held, 0u);
    EXPECT_GE(f.silence_before_held - after_start, 1480 * MS);
    EXPECT_LE(f.silence_before_held - after_start, 1510 * MS);
    // A server frozen until the stop: what it owes is filled at the end.
    const auto before_freeze = f.silence;
    f.end(1500ms);
    EXPECT_GE(f.silence - before_freeze, 1490 * MS);
    EXPECT_LE(f.silence - before_freeze, 1510 * MS);
}

TEST(Timeline, ClockDriftNeverBecomesSilenceAndAStopWithoutDataCoversTheWait) {
    // A sound card 100 ppm slower than our clock, for an hour: 0.36 s behind in the end,
    // gradually. None of it is a gap.
    Fed f;
    for (int i = 0; i < 360'000; ++i) {
        f.arrive(10010us, 10 * MS);
        ASSERT_EQ(f.held, 0u) << "at " << i;
    }
    f.end(0us);
    EXPECT_EQ(f.silence, 0u);

    Fed quiet;
    quiet.end(700ms);
    EXPECT_EQ(quiet.silence, 700 * MS);
    Timeline never(RATE, 10ms);
    EXPECT_EQ(never.end(Timeline::Clock::now()), 0u)
        << "nothing owed for a stream that never started";
}

// Frames are counted from nanoseconds; a recording may run for days, and a clock may read
// anything a steady clock can.
TEST(Timeline, TimeAndFramesStayExactForDaysAndNearTheClocksLimits) {
    Fed f;
    for (int i = 0; i < 60 * 3600; ++i) f.arrive(1s, RATE);
    ASSERT_EQ(f.t.counted(), 60ull * 3600 * RATE);
    ASSERT_EQ(f.silence, 0u);
    // A suspended sink 60 hours in: 2 s owed, then a freeze until the stop, owed at the end.
    f.t.note_gap();
    f.arrive(2s, 10 * MS);
    for (int i = 0; i < 30; ++i) f.arrive(10ms, 10 * MS);
    EXPECT_GE(f.silence, 1980 * MS);
    EXPECT_LE(f.silence, 2010 * MS);
    const auto before_freeze = f.silence;
    f.end(1500ms);
    EXPECT_GE(f.silence - before_freeze, 1490 * MS);
    EXPECT_LE(f.silence - before_freeze, 1510 * MS);
    EXPECT_LE(f.t.counted(), f.due() + 20 * MS);
    EXPECT_GE(f.t.counted() + 20 * MS, f.due());

    // A stream that started at the clock's zero and never sent anything, stopped a second
    // before the clock's last value: the whole wait is owed, to the frame.
    Timeline quiet(RATE, 10ms);
    quiet.start(Timeline::Clock::time_point{});
    const auto last = Timeline::Clock::time_point::max() - 1s;
    EXPECT_EQ(quiet.still_due(last), 442'721'857'721'029u + 10 * MS);
    EXPECT_EQ(quiet.end(last), 442'721'857'721'029u);
}

// After a stop only what was heard before it may still come.
// A recorder that stood still while it waited for that must not take what the server kept
// for it meanwhile.
TEST(Timeline, AfterAStopOnlyWhatWasOnItsWayStillCounts) {
    Fed f;
    f.arrive(20ms, 10 * MS);  // a steady lag of one fragment from here
    for (int i = 0; i < 100; ++i) f.arrive(10ms, 10 * MS);
    const auto stop = f.now;
    // The lag at the stop, then as much again and a fragment for a late delivery.
    EXPECT_EQ(f.t.still_due(stop), 30 * MS);
    f.arrive(10ms, 10 * MS);
    EXPECT_EQ(f.t.still_due(stop), 20 * MS) << "the tail counts against it";
    f.arrive(3s, 300 * MS);  // stood still, then all that was kept
    EXPECT_EQ(f.t.still_due(stop), 0u);
    EXPECT_EQ(Timeline(RATE, 10ms).still_due(stop), 0u) << "a stream that never started";
}

}  // namespace
