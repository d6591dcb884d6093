#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/backends/audio/recorder_capture.h"

namespace {

// A capture over a recorder whose start the test holds until it lets it go.
struct FakeRecorder {
    explicit FakeRecorder(std::atomic<int>& counter) : stops(counter) {}
    void stop() { ++stops; }
    std::atomic<int>& stops;
};
using FakeCapture = platform::audio::RecorderCapture<FakeRecorder>;

class RecorderCaptureTest : public ::testing::Test {
protected:
    // Starts a capture whose recorder comes once go is set, or fails with `failure`.
    std::unique_ptr<platform::Capture> launch(std::optional<std::string> failure = std::nullopt) {
        return FakeCapture::launch(
            [this, failure]() -> FakeCapture::Started {
                go.get_future().wait();
                if (failure) return std::unexpected(*failure);
                return std::make_unique<FakeRecorder>(stops);
            },
            answer(started));
    }

    struct Answer {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<platform::Outcome> outcome;
        platform::Outcome wait() {
            std::unique_lock lock(mutex);
            done.wait_for(lock, std::chrono::seconds(10), [this] { return outcome.has_value(); });
            return outcome.value_or(std::unexpected(std::string("no answer")));
        }
    };
    static platform::Reply<platform::Outcome> answer(const std::shared_ptr<Answer>& to) {
        return {[to](platform::Outcome outcome) {
                    std::lock_guard lock(to->mutex);
                    to->outcome = std::move(outcome);
                    to->done.notify_all();
                },
                std::unexpected(std::string("dropped"))};
    }

    std::promise<void> go;
    std::atomic<int> stops{0};
    std::shared_ptr<Answer> started = std::make_shared<Answer>();
};

TEST_F(RecorderCaptureTest, AStartedRecorderIsStoppedOnceByStopBeforeItsAnswer) {
    auto capture = launch();
    go.set_value();
    ASSERT_TRUE(started->wait().has_value());
    EXPECT_EQ(stops, 0);
    auto stopped = std::make_shared<Answer>();
    capture->stop(answer(stopped));
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(stopped->wait().has_value());
    capture.reset();
    EXPECT_EQ(stops, 1);
}

TEST_F(RecorderCaptureTest, AFailedStartAnswersWithItsTextAndLeavesNothingToStop) {
    auto capture = launch("No such entity");
    go.set_value();
    const auto outcome = started->wait();
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error(), "No such entity");
    capture.reset();
    EXPECT_EQ(stops, 0);
}

TEST_F(RecorderCaptureTest, ACaptureDroppedWhileStartingStopsItsRecorderOnceItStarts) {
    // The drop waits for the start to settle; the start is let go once the drop is under way.
    // A loaded machine may run the start first: then the drop stops a started recorder, and
    // the case is tried again.
    bool seen = false;
    for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
        go = std::promise<void>();
        stops = 0;
        started = std::make_shared<Answer>();
        auto capture = launch();
        std::thread dropper([&] { capture.reset(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        go.set_value();
        dropper.join();
        const auto outcome = started->wait();
        EXPECT_EQ(stops, 1);
        if (outcome.has_value()) continue;
        EXPECT_EQ(outcome.error(), "The capture ended before it started");
        seen = true;
    }
    EXPECT_TRUE(seen) << "the drop never came before the start in five tries";
}

}  // namespace
