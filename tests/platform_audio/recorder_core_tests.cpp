// What both sound-server recorders do with their audio once it is placed: the fragments it is
// handed over in, the audio held after a gap, the stop's wait for the tail, and the end of the
// recording.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/backends/audio/recorder_core.h"

namespace {

using platform::audio::RecorderCore;
using Clock = RecorderCore::Clock;
using namespace std::chrono_literals;

// What the recording hands over: each fragment as it lay in its room (a new one each time,
// filled with -1 until written), samples by value (silence left out), and failures.
class KeptSink final : public platform::CaptureSink {
public:
    std::vector<std::vector<float>> fragments;
    std::map<float, int> kept;
    std::vector<std::string> failures;

    std::span<float> audio_room(std::size_t samples, std::uint32_t, std::int64_t) override {
        return rooms_.emplace_back(samples, -1.0f);
    }
    void audio(std::size_t samples) override {
        const auto& room = rooms_.back();
        fragments.emplace_back(room.begin(), room.begin() + static_cast<std::ptrdiff_t>(samples));
        for (std::size_t i = 0; i < samples; ++i) {
            if (room[i] != 0) ++kept[room[i]];
        }
    }
    void failed(platform::BackendError failure) override { failures.push_back(failure.text); }

private:
    std::vector<std::vector<float>> rooms_;
};

// Stereo arrivals of 10 ms fragments at 1 kHz, each `frames` frames of one value (0: a hole),
// the gap reported before the second: the recording, joined, is runs of one value each, in
// fragments of 10 frames but the last, which the end hands over. Time starts an hour ahead, so
// the stop owes no silence.
TEST(RecorderCoreTest, FragmentsHoldSilenceForHolesAndAfterAGapWhatWasHeldLessItsOverlap) {
    struct Arrival {
        int ms;
        std::size_t frames;
        float value;
    };
    struct Case {
        const char* what;
        bool gap;
        std::vector<Arrival> arrivals;
        std::vector<std::pair<float, std::size_t>> runs;  // value, frames
    };
    const Case cases[] = {
        {"a hole, no gap",
         false,
         {{7, 7, 1}, {12, 5, 0}, {20, 8, 2}, {23, 3, 3}},
         {{1, 7}, {0, 5}, {2, 8}, {3, 3}}},
        // The lag falls short of that before the gap: the first 10 frames held were recorded.
        {"what came after the gap overlaps",
         true,
         {{10, 10, 1}, {20, 10, 2}, {30, 10, 3}, {230, 10, 4}},
         {{1, 10}, {3, 10}, {4, 10}}},
        // The lag stayed 89 frames beyond the usual: silence goes before what was held.
        {"the gap is silence",
         true,
         {{10, 10, 1}, {120, 10, 2}, {330, 10, 3}},
         {{1, 10}, {0, 89}, {2, 10}, {3, 10}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto sink = std::make_shared<KeptSink>();
        RecorderCore core(
            {.rate = 1000, .channels = 2, .first_data = 10ms, .cycle = 10ms, .delivery = 10ms},
            sink);
        const auto t0 = Clock::now() + 1h;
        core.start(t0);
        for (std::size_t i = 0; i < c.arrivals.size(); ++i) {
            const auto& a = c.arrivals[i];
            if (c.gap && i == 1) core.note_gap();
            const std::vector<float> samples(2 * a.frames, a.value);
            core.place(t0 + std::chrono::milliseconds(a.ms),
                       a.value == 0 ? nullptr : samples.data(), samples.size() * sizeof(float),
                       a.frames);
        }
        core.finish(false, [](const std::function<void()>& step) { step(); });

        std::vector<float> expected, joined;
        for (const auto& [value, frames] : c.runs)
            expected.insert(expected.end(), 2 * frames, value);
        for (const auto& fragment : sink->fragments) {
            joined.insert(joined.end(), fragment.begin(), fragment.end());
            if (&fragment != &sink->fragments.back()) {
                EXPECT_EQ(fragment.size(), 20u);
            }
        }
        EXPECT_EQ(joined, expected);
        EXPECT_FALSE(sink->fragments.back().empty());
    }
}

// A stop waits for the tail (a long cycle: it never gives up here), takes what comes until
// then and nothing after it, and ends the recording once, also when it fails meanwhile; a
// failure after the end is not told.
TEST(RecorderCoreTest, AStopTakesWhatComesUntilTheTailAndEndsTheRecordingOnce) {
    struct Case {
        const char* what;
        bool await;
        bool fails;
        std::map<float, int> kept;  // samples handed over, by value (silence left out)
    };
    const Case cases[] = {
        {"the tail comes", true, false, {{1.f, 10}, {2.f, 10}}},
        {"the recording fails while the stop waits", true, true, {{1.f, 10}}},
        {"a stream with nothing on its way", false, false, {{1.f, 10}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto sink = std::make_shared<KeptSink>();
        RecorderCore core(
            {.rate = 1000, .channels = 1, .first_data = 10ms, .cycle = 10s, .delivery = 10ms},
            sink);
        const auto place = [&](float value) {
            const std::vector<float> samples(10, value);
            core.place(Clock::now(), samples.data(), samples.size() * sizeof(float), 10);
        };
        core.start(Clock::now());
        place(1);
        EXPECT_EQ(core.due_after_stop(4), std::numeric_limits<std::size_t>::max());

        // The recording thread: whoever holds `lock`; its steps are counted.
        std::mutex lock;
        std::condition_variable stepped;
        int steps = 0;
        std::thread feeder([&] {
            if (!c.await) return;
            std::unique_lock held(lock);
            stepped.wait(held, [&] { return steps > 0; });
            EXPECT_LT(core.due_after_stop(4), std::numeric_limits<std::size_t>::max());
            core.tail_came(Clock::time_point::min());  // no tail yet
            if (c.fails) {
                core.fail("lost", true);
            } else {
                place(2);
                core.tail_came(Clock::time_point::max());
            }
            place(3);  // after the tail or the end: not placed
        });
        core.finish(c.await, [&](const std::function<void()>& step) {
            {
                std::lock_guard held(lock);
                step();
                ++steps;
            }
            stepped.notify_all();
        });
        feeder.join();
        place(4);
        core.fail("after the end", true);  // a stop ended it: no failure to tell
        EXPECT_EQ(sink->kept, c.kept);
        EXPECT_EQ(sink->failures,
                  c.fails ? std::vector<std::string>{"lost"} : std::vector<std::string>{});
    }
}

}  // namespace
