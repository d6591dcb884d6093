// What both sound-server recorders do with their audio once it is placed: the stop's wait for
// the tail, and the end of the recording.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/backends/audio/recorder_core.h"

namespace {

using platform::audio::RecorderCore;
using Clock = RecorderCore::Clock;
using namespace std::chrono_literals;

// What the recording hands over: samples by value (silence left out), and failures.
class KeptSink final : public platform::CaptureSink {
public:
    std::map<float, int> kept;
    std::vector<std::string> failures;

    std::span<float> audio_room(std::size_t samples, std::uint32_t, std::int64_t) override {
        room_.assign(samples, 0.0f);
        return room_;
    }
    void audio(std::size_t samples) override {
        for (std::size_t i = 0; i < samples; ++i) {
            if (room_[i] != 0) ++kept[room_[i]];
        }
    }
    void sample_buffer(platform::CMSampleBuffer*, platform::SCStreamOutputType) override {}
    void failed(platform::BackendError failure) override { failures.push_back(failure.text); }

private:
    std::vector<float> room_;
};

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
