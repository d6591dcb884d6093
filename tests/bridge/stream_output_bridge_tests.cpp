// Output registration, delivery to the binding, and delivery racing the stream's release.
#include <atomic>
#include <thread>
#include <vector>

#include "capture/bridge/stream_state.h"
#include "tests/bridge/bridge_test_support.h"

namespace {

using bridge_test::FakeContext;
using bridge_test::from_handle;
using bridge_test::StreamTest;
using Type = platform::SCStreamOutputType;

class OutputTest : public StreamTest {
protected:
    void SetUp() override {
        StreamTest::SetUp();
        stream_ = context_.create_stream(filter_, configuration_);
    }
    void TearDown() override {
        sc_stream_release(stream_);
        StreamTest::TearDown();
    }

    void push(Type type) {
        const float frames[2] = {0.5f, -0.5f};
        const auto buffer = platform::scripted::interleaved_float_buffer(frames, 2, 48000);
        from_handle(stream_)->deliverSampleBuffer(buffer.get(), type);
    }
    // Deliveries once the platform has handed over everything queued.
    const std::vector<FakeContext::Delivery>& delivered() {
        platform::wait_idle();
        return context_.deliveries.entries;
    }
    std::vector<int32_t> types() { return bridge_testing::stream_output_types(stream_); }

    FakeContext context_;
    sc_stream* stream_ = nullptr;
};

TEST_F(OutputTest, AudioRegistrationMakesAQueueForTheType) {
    ASSERT_TRUE(sc_stream_add_stream_output(stream_, 1));
    EXPECT_EQ(types(), std::vector<int32_t>{1});
    push(Type::Audio);
    push(Type::Screen);  // not registered: goes nowhere
    ASSERT_EQ(delivered().size(), 1u);
    EXPECT_EQ(delivered()[0].type, 1);
    EXPECT_EQ(delivered()[0].queue_label, "com.velgo.marrinet.audio-helper.output.1");
}

TEST_F(OutputTest, SecondRegistrationKeepsTheFirstQueue) {
    sc_dispatch_queue* first = sc_dispatch_queue_create("first");
    sc_dispatch_queue* second = sc_dispatch_queue_create("second");
    ASSERT_TRUE(sc_stream_add_stream_output_with_queue(stream_, 1, first));
    ASSERT_TRUE(sc_stream_add_stream_output_with_queue(stream_, 1, second));
    // The platform keeps the first queue only; the bridge keeps none.
    EXPECT_EQ(from_handle(first)->retain_count(), 2u);
    EXPECT_EQ(from_handle(second)->retain_count(), 1u);
    push(Type::Audio);
    ASSERT_EQ(delivered().size(), 1u);
    EXPECT_EQ(delivered()[0].queue_label, "first");
    sc_dispatch_queue_release(first);
    sc_dispatch_queue_release(second);
}

TEST_F(OutputTest, RefusedRegistrationsLeaveNothingRegistered) {
    backend->refuse_outputs("outputs are off");
    EXPECT_FALSE(sc_stream_add_stream_output(stream_, 1));
    EXPECT_TRUE(types().empty());
    backend->refuse_outputs(std::nullopt);
    EXPECT_TRUE(sc_stream_add_stream_output(stream_, 1));
    EXPECT_FALSE(sc_stream_add_stream_output(nullptr, 1));
    // A platform stream the bridge never made has no record.
    const auto stranger = platform::SCStream::initWithFilter(nullptr, nullptr, nullptr);
    EXPECT_FALSE(sc_stream_add_stream_output(bridge::to_handle(stranger.get()), 1));
}

TEST_F(OutputTest, RemovalUnregistersOnlyWhatIsRegistered) {
    EXPECT_FALSE(sc_stream_remove_stream_output(stream_, 1));
    ASSERT_TRUE(sc_stream_add_stream_output(stream_, 1));
    EXPECT_FALSE(sc_stream_remove_stream_output(stream_, 0));
    EXPECT_TRUE(sc_stream_remove_stream_output(stream_, 1));
    EXPECT_TRUE(types().empty());
    push(Type::Audio);
    EXPECT_TRUE(delivered().empty());
    EXPECT_TRUE(sc_stream_add_stream_output(stream_, 1));  // the platform let it go too
}

TEST_F(OutputTest, DeliveryMapsTypesAndHandsOverOneReferenceOnTheSameThread) {
    auto& output = *bridge::find_stream_state(from_handle(stream_))->outputHandler;
    const float frames[2] = {0.0f, 0.0f};
    const auto buffer = platform::scripted::interleaved_float_buffer(frames, 2, 48000);
    const std::pair<std::int64_t, int32_t> mapping[] = {{0, 0}, {1, 1}, {2, 2},
                                                        {3, 1}, {7, 1}, {-1, 1}};
    for (const auto& [platform_type, expected] : mapping) {
        output.stream_didOutputSampleBuffer_ofType(from_handle(stream_), buffer.get(),
                                                   static_cast<Type>(platform_type));
    }
    const auto& deliveries = context_.deliveries.entries;
    ASSERT_EQ(deliveries.size(), std::size(mapping));
    for (std::size_t i = 0; i < std::size(mapping); ++i) {
        EXPECT_EQ(deliveries[i].type, mapping[i].second) << "platform type " << mapping[i].first;
        EXPECT_EQ(deliveries[i].references, 2u);  // ours and the binding's
        EXPECT_EQ(deliveries[i].thread, std::this_thread::get_id());
    }
    EXPECT_EQ(buffer->retain_count(), 1u);
}

TEST_F(OutputTest, MicrophoneRegistersThePlatformsMicrophoneOutput) {
    ASSERT_TRUE(sc_stream_add_stream_output(stream_, 2));
    push(Type::Audio);
    push(Type::Microphone);
    ASSERT_EQ(delivered().size(), 1u);
    EXPECT_EQ(delivered()[0].type, 2);
}

// Buffers keep arriving on the capture queue while the main thread releases the stream:
// the context is given back only once the platform can no longer deliver to it.
TEST_F(StreamTest, DeliveryRacingReleaseNeverOutlivesTheContext) {
    for (int round = 0; round < 20; ++round) {
        FakeContext context;
        sc_stream* stream = context.create_stream(filter_, configuration_);
        ASSERT_TRUE(sc_stream_add_stream_output(stream, 1));
        start(stream);
        const auto capture = backend->last_capture();
        std::atomic<bool> go{false};
        std::thread producer([&] {
            const float frames[4] = {0.1f, 0.2f, 0.3f, 0.4f};
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 200; ++i) capture->push_audio(frames, 2, 48000);
        });
        go.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
        sc_stream_release(stream);
        producer.join();
        platform::wait_idle();
        EXPECT_EQ(context.releases.load(), 2);
        for (const auto& d : context.deliveries.entries) EXPECT_FALSE(d.context_released);
    }
}

}  // namespace
