#include "capture/stream.h"

#include <atomic>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "capture/shareable_content.h"
#include "tests/capture/platform_handles.h"
#include "tests/capture/stderr_redirect.h"
#include "tests/support/bridge_testing.h"
#include "tests/support/scripted_fixture.h"

namespace {

using capture::SCContentFilterBuilder;
using capture::SCShareableContent;
using capture::SCStream;
using capture::SCStreamConfiguration;
using capture::SCStreamOutputType;
using capture_test::from_handle;
using capture_test::StderrCapture;

// Counts its own destruction so a test can see when the stream context lets go.
struct DestructionProbe {
    explicit DestructionProbe(std::shared_ptr<std::atomic<int>> destroyed)
        : destroyed_(std::move(destroyed)) {}
    DestructionProbe(DestructionProbe&& other) noexcept = default;
    ~DestructionProbe() {
        if (destroyed_) ++*destroyed_;
    }
    void operator()(capture::CMSampleBuffer, SCStreamOutputType) const { ++*calls; }

    std::shared_ptr<std::atomic<int>> destroyed_;
    std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
};

class StreamTest : public platform::scripted::ScriptedPlatformTest {
protected:
    void SetUp() override {
        ScriptedPlatformTest::SetUp();
        auto content = SCShareableContent::get();
        ASSERT_TRUE(content.has_value());
        auto displays = content->displays();
        ASSERT_FALSE(displays.empty());
        auto built = SCContentFilterBuilder().with_display(displays[0]).try_build();
        ASSERT_TRUE(built.has_value());
        filter.emplace(std::move(*built));
        configuration.emplace(audio_configuration());
    }
    void TearDown() override {
        configuration.reset();
        filter.reset();
        ScriptedPlatformTest::TearDown();
    }

    static SCStreamConfiguration audio_configuration() {
        auto c = SCStreamConfiguration().with_captures_audio(true);
        c.set_sample_rate(48000);
        c.set_channel_count(2);
        return std::move(c).with_excludes_current_process_audio(false);
    }

    std::optional<capture::SCContentFilter> filter;
    std::optional<SCStreamConfiguration> configuration;
};

TEST_F(StreamTest, ConfigurationStartsAsBgraAndPassesValuesUnchanged) {
    const std::size_t entries_before = bridge_testing::configuration_storage_size();
    {
        const SCStreamConfiguration fresh;
        EXPECT_EQ(from_handle(fresh.raw())->pixelFormat(), 0x42475241u);
        EXPECT_FALSE(from_handle(fresh.raw())->capturesAudio());
        EXPECT_EQ(bridge_testing::configuration_storage_count(fresh.raw()), 1);
        EXPECT_EQ(bridge_testing::configuration_storage_size(), entries_before + 1);
    }
    EXPECT_EQ(bridge_testing::configuration_storage_size(), entries_before)
        << "releasing the configuration left its side-table entry";

    const auto* helper = from_handle(configuration->raw());
    EXPECT_TRUE(helper->capturesAudio());
    EXPECT_EQ(helper->sampleRate(), 48000);
    EXPECT_EQ(helper->channelCount(), 2);
    EXPECT_FALSE(helper->excludesCurrentProcessAudio());

    auto odd = SCStreamConfiguration().with_excludes_current_process_audio(true);
    odd.set_sample_rate(0);
    odd.set_channel_count(-5);
    EXPECT_EQ(from_handle(odd.raw())->sampleRate(), 0);
    EXPECT_EQ(from_handle(odd.raw())->channelCount(), -5);
    EXPECT_TRUE(from_handle(odd.raw())->excludesCurrentProcessAudio());
    odd.set_sample_rate(-1);
    EXPECT_EQ(from_handle(odd.raw())->sampleRate(), -1);
}

TEST_F(StreamTest, StartAndStopSucceedAndFailWithTheirTexts) {
    SCStream stream(*filter, *configuration);
    // Stopping a stream that never ran is passed on; the platform's refusal comes back.
    auto early_stop = stream.stop_capture();
    ASSERT_FALSE(early_stop.has_value());
    EXPECT_TRUE(early_stop.error().is<capture::SCError::CaptureStopFailed>());
    EXPECT_TRUE(
        early_stop.error().to_string().starts_with("Failed to stop capture: Stream error: "))
        << early_stop.error().to_string();
    ASSERT_TRUE(stream.start_capture().has_value());
    EXPECT_TRUE(stream.stop_capture().has_value());

    SCStream refused(*filter, *configuration);
    backend->set_start(std::unexpected(std::string("sink is gone")));
    auto started = refused.start_capture();
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error().to_string(), "Failed to start capture: Stream error: sink is gone");
}

TEST_F(StreamTest, StopAfterAnUnexpectedStopIsPassedOnAndItsRefusalReported) {
    SCStream stream(*filter, *configuration);
    ASSERT_TRUE(stream.start_capture().has_value());
    StderrCapture err;
    backend->last_capture()->fail("Connection terminated");
    platform::wait_idle();
    EXPECT_EQ(
        err.text(),
        "SCStream error: SCStream error (System stopped the stream): Connection terminated\n");
    auto stopped = stream.stop_capture();
    ASSERT_FALSE(stopped.has_value());
    EXPECT_TRUE(stopped.error().is<capture::SCError::CaptureStopFailed>());
    EXPECT_TRUE(stopped.error().to_string().starts_with("Failed to stop capture: Stream error: "))
        << stopped.error().to_string();
}

TEST(StopNotification, LinesForEveryKindOfCode) {
    capture::StreamContext* context = capture::new_stream_context();
    StderrCapture err;
    capture::delegate_error_callback(context, -3817, "D");
    capture::delegate_error_callback(context, -3801, "first");
    capture::delegate_error_callback(context, -3821, "last");
    capture::delegate_error_callback(context, -3900, "D");
    capture::delegate_error_callback(context, -3800, "D");
    capture::delegate_error_callback(context, 0, "D");
    capture::delegate_error_callback(context, 0, nullptr);
    capture::delegate_error_callback(context, -3817, "\xC3");
    capture::delegate_error_callback(nullptr, -3817, "nobody");
    EXPECT_EQ(err.text(),
              "SCStream error: SCStream error (User stopped the stream): D\n"
              "SCStream error: SCStream error (User declined screen recording): first\n"
              "SCStream error: SCStream error (System stopped the stream): last\n"
              "SCStream error: Stream error: D (code: -3900)\n"
              "SCStream error: Stream error: D (code: -3800)\n"
              "SCStream error: Stream error: D\n"
              "SCStream error: Stream error: Unknown error\n"
              "SCStream error: SCStream error (User stopped the stream): Unknown error\n");
    capture::context_release_cb(context);
}

// A delegate in the slot hears the stop instead of standard error, each call guarded.
TEST(StopNotification, DelegateReceivesBothCallsEachGuarded) {
    struct Recorder : capture::SCStreamDelegateTrait {
        explicit Recorder(std::string* out, bool failing) : log(out), fail(failing) {}
        void did_stop_with_error(const capture::SCError& error) const override {
            *log += "error:" + error.to_string() + ";";
            if (fail) throw std::runtime_error("delegate broke");
        }
        void stream_did_stop(const std::optional<std::string>& message) const override {
            *log += "stopped:" + message.value_or("<none>") + ";";
            if (fail) throw "again";
        }
        std::string* log;
        bool fail;
    };
    std::string log;
    capture::StreamContext* quiet =
        capture::new_stream_context(std::make_unique<Recorder>(&log, false));
    capture::StreamContext* failing =
        capture::new_stream_context(std::make_unique<Recorder>(&log, true));
    StderrCapture err;
    capture::delegate_error_callback(quiet, -3817, "D");
    capture::delegate_error_callback(failing, 5, "E");
    EXPECT_EQ(err.text(),
              "kelvane-utils: panic in delegate.did_stop_with_error caught at C ABI boundary: "
              "delegate broke\n"
              "kelvane-utils: panic in delegate.stream_did_stop caught at C ABI boundary: again\n");
    EXPECT_EQ(log,
              "error:SCStream error (User stopped the stream): D;stopped:D;"
              "error:Stream error: E (code: 5);stopped:E;");
    capture::context_release_cb(quiet);
    capture::context_release_cb(failing);
}

TEST(StreamContextLifetime, HandlersGoInRegistrationOrderWithTheLastReference) {
    std::vector<int> order;
    struct Tagged : capture::SCStreamOutputTrait {
        Tagged(std::vector<int>* out, int value) : order(out), tag(value) {}
        ~Tagged() override { order->push_back(tag); }
        void did_output_sample_buffer(capture::CMSampleBuffer, SCStreamOutputType) override {}
        std::vector<int>* order;
        int tag;
    };
    capture::StreamContext* context = capture::new_stream_context();
    for (int tag = 1; tag <= 3; ++tag) {
        context->handlers.push_back({std::make_unique<Tagged>(&order, tag),
                                     static_cast<std::size_t>(tag), SCStreamOutputType::Audio});
    }
    capture::context_retain_cb(context);  // as the bridge's two forwarding objects do
    capture::context_retain_cb(context);
    capture::context_retain_cb(nullptr);
    capture::context_release_cb(context);
    capture::context_release_cb(nullptr);
    capture::context_release_cb(context);
    EXPECT_TRUE(order.empty()) << "freed before the last holder";
    capture::context_release_cb(context);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(StreamTest, ContextLivesUntilTheStreamValueAndBothForwardingObjectsAreGone) {
    auto destroyed = std::make_shared<std::atomic<int>>(0);
    DestructionProbe probe(destroyed);
    auto calls = probe.calls;
    std::optional<SCStream> stream(std::in_place, *filter, *configuration);
    EXPECT_EQ(stream->context()->ref_count.load(), 3u);
    ASSERT_TRUE(stream->add_output_handler(std::move(probe), SCStreamOutputType::Audio));

    // The platform keeps its stream (and with it both forwarding objects) past our value.
    sc_stream* const handle = stream->raw();
    auto platform_stream = platform::Ref<platform::SCStream>::retain(from_handle(handle));
    stream.reset();
    platform::wait_idle();
    EXPECT_FALSE(bridge_testing::has_stream_state(handle)) << "the stream was not released";
    EXPECT_EQ(*destroyed, 0) << "handler destroyed while the platform can still deliver";

    auto buffer = capture_test::small_audio_buffer();
    platform_stream->deliverSampleBuffer(buffer.get(), platform::SCStreamOutputType::Audio);
    platform::wait_idle();
    EXPECT_EQ(*calls, 1) << "a handler outliving its stream value still receives buffers";
    EXPECT_EQ(buffer->retain_count(), 1u);

    platform_stream.reset();
    platform::wait_idle();
    EXPECT_EQ(*destroyed, 1);
}

TEST_F(StreamTest, ReleasingAStreamValueWhileCapturingLeavesNothingBehind) {
    auto destroyed = std::make_shared<std::atomic<int>>(0);
    {
        SCStream stream(*filter, *configuration);
        ASSERT_TRUE(
            stream.add_output_handler(DestructionProbe(destroyed), SCStreamOutputType::Audio));
        ASSERT_TRUE(stream.start_capture().has_value());
        const float frames[4] = {0.1f, 0.2f, 0.3f, 0.4f};
        backend->last_capture()->push_audio(frames, 2, 48000);
    }
    platform::wait_idle();
    EXPECT_EQ(*destroyed, 1);
}

}  // namespace
