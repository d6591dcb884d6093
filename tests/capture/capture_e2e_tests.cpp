// The binding end to end against a private sound server: content, first display, filter,
// audio configuration, stream, one handler, start, a few seconds of buffers, stop, release;
// and the scope that puts the server behind the platform.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "capture/sample_buffer.h"
#include "capture/shareable_content.h"
#include "capture/sound_server_scope.h"
#include "capture/stream.h"
#include "platform/backends/pulse/pulse_backend.h"
#include "platform/model/object.h"
#include "platform/runtime/runtime.h"
#include "tests/support/pulse_daemon.h"
#include "tests/support/thread_count.h"

namespace {

using capture::CMSampleBuffer;
using capture::SCStreamOutputType;

// Joins the platform's threads after the last test.
class PlatformShutdown : public ::testing::Environment {
public:
    void TearDown() override { platform::shutdown(); }
};
::testing::Environment* const PLATFORM_SHUTDOWN =
    ::testing::AddGlobalTestEnvironment(new PlatformShutdown);

struct Received {
    std::atomic<int> buffers{0};
    std::atomic<int> other_types{0};
    std::atomic<long long> frames{0};
    std::atomic<int> loud_buffers{0};
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
};

TEST(CaptureEndToEnd, RecordsTheFirstDisplaysAudioUntilStopped) {
    auto daemon = test_support::PulseDaemon::start();
    ASSERT_TRUE(daemon.has_value()) << daemon.error();
    (*daemon)->export_environment();
    platform::install_backend(platform::make_pulse_backend());

    auto received = std::make_shared<Received>();
    {
        auto content = capture::SCShareableContent::get();
        ASSERT_TRUE(content.has_value()) << content.error().to_string();
        auto displays = content->displays();
        ASSERT_FALSE(displays.empty());
        auto filter = capture::SCContentFilterBuilder()
                          .with_display(displays.front())
                          .with_excluding_windows({})
                          .try_build();
        ASSERT_TRUE(filter.has_value());
        auto configuration = capture::SCStreamConfiguration().with_captures_audio(true);
        configuration.set_sample_rate(48000);
        configuration.set_channel_count(2);
        configuration = std::move(configuration).with_excludes_current_process_audio(false);

        capture::SCStream stream(*filter, configuration);
        const auto id = stream.add_output_handler(
            [received](CMSampleBuffer buffer, SCStreamOutputType type) {
                if (received->running.fetch_add(1) != 0) received->overlapped = true;
                if (type != SCStreamOutputType::Audio) {
                    ++received->other_types;
                } else if (auto list = buffer.audio_buffer_list()) {
                    ++received->buffers;
                    if (auto first = list->get(0)) {
                        const auto bytes = first->data();
                        received->frames +=
                            static_cast<long long>(bytes.size() / (2 * sizeof(float)));
                        float peak = 0.0f;
                        for (std::size_t i = 0; i + sizeof(float) <= bytes.size();
                             i += sizeof(float)) {
                            float sample = 0.0f;
                            std::memcpy(&sample, bytes.data() + i, sizeof sample);
                            peak = std::max(peak, std::fabs(sample));
                        }
                        if (peak > 0.1f) ++received->loud_buffers;
                    }
                }
                received->running.fetch_sub(1);
            },
            SCStreamOutputType::Audio);
        ASSERT_TRUE(id.has_value());

        ASSERT_TRUE(stream.start_capture().has_value());
        auto tone = (*daemon)->play_tone(440.0, 0.5, 2.0);
        ASSERT_TRUE(tone.has_value()) << tone.error();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const auto stopped = stream.stop_capture();
        EXPECT_TRUE(stopped.has_value()) << stopped.error().to_string();
        const int after_stop = received->buffers.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(received->buffers.load(), after_stop) << "buffers kept coming after stop";
    }
    platform::install_backend(nullptr);
    platform::wait_idle();

    std::printf("received %d buffers, %lld frames, %d with the tone\n", received->buffers.load(),
                received->frames.load(), received->loud_buffers.load());
    // Three seconds of 40 ms fragments: loosely, at least two seconds' worth arrived.
    EXPECT_GT(received->buffers.load(), 50);
    EXPECT_GT(received->frames.load(), 2 * 48000);
    EXPECT_LT(received->frames.load(), 4 * 48000);
    EXPECT_GT(received->loud_buffers.load(), 25) << "the tone never reached the handler";
    EXPECT_EQ(received->other_types.load(), 0);
    EXPECT_FALSE(received->overlapped.load()) << "handler calls overlapped";
    EXPECT_EQ(received.use_count(), 1) << "the handler outlived everything";
    EXPECT_EQ(platform::live_objects_total(), 0u);
}

TEST(CaptureEndToEnd, SoundServerScopeServesTheSinksAndJoinsThePlatformWhenItEnds) {
    auto daemon = test_support::PulseDaemon::start();
    ASSERT_TRUE(daemon.has_value()) << daemon.error();
    (*daemon)->export_environment();
    platform::install_backend(nullptr);
    platform::shutdown();
    const std::size_t without_workers = test_support::resting_thread_count();

    {
        const capture::SoundServerScope scope;
        const auto content = capture::SCShareableContent::get();
        ASSERT_TRUE(content.has_value()) << content.error().to_string();
        EXPECT_EQ(content->displays().size(), 1u) << "the private server's one sink";
        EXPECT_GT(test_support::thread_count(), without_workers);
    }
    EXPECT_EQ(test_support::thread_count_settled_at(without_workers), without_workers);
    const auto after = capture::SCShareableContent::get();
    ASSERT_FALSE(after.has_value());
    EXPECT_NE(after.error().to_string().find("No capture backend is installed"), std::string::npos)
        << after.error().to_string();
    platform::wait_idle();
    EXPECT_EQ(platform::live_objects_total(), 0u);
}

}  // namespace
