// Output registration, delivery to the binding, and delivery racing the stream's release.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/bridge/stream_state.h"
#include "tests/bridge/bridge_test_support.h"

namespace {

using bridge_test::BridgeTest;
using bridge_test::CallRecorder;
using bridge_test::FakeContext;
using bridge_test::platform_of;

class OutputTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    filter_ = first_display_filter();
    configuration_ = audio_configuration();
    stream_ = context_.create_stream(filter_, configuration_);
  }
  void TearDown() override {
    sc_stream_release(stream_);
    sc_stream_configuration_release(configuration_);
    sc_content_filter_release(filter_);
    BridgeTest::TearDown();
    EXPECT_EQ(context_.releases.load(), 2);
  }

  void push(platform::SCStreamOutputType type) {
    const float frames[4] = {0.5f, -0.5f, 0.25f, -0.25f};
    const auto buffer = platform::CMSampleBuffer::createInterleavedFloat(frames, 2, 48000);
    platform_of(stream_)->deliverSampleBuffer(buffer.get(), type);
  }

  FakeContext context_;
  sc_content_filter* filter_ = nullptr;
  sc_stream_configuration* configuration_ = nullptr;
  sc_stream* stream_ = nullptr;
};

TEST_F(OutputTest, AudioRegistrationMakesAUserInteractiveSerialQueueForTheType) {
  ASSERT_TRUE(sc_stream_add_stream_output(stream_, 1));
  EXPECT_EQ(bridge_testing::stream_output_types(stream_), std::vector<int32_t>{1});
  push(platform::SCStreamOutputType::Audio);
  push(platform::SCStreamOutputType::Screen);  // not registered: goes nowhere
  ASSERT_TRUE(context_.wait_for_deliveries(1));
  platform::wait_idle();

  const std::lock_guard lock(context_.mutex);
  ASSERT_EQ(context_.deliveries.size(), 1u);
  const auto& delivery = context_.deliveries[0];
  EXPECT_EQ(delivery.type, 1);
  EXPECT_TRUE(delivery.queue_label.ends_with(".output.1")) << delivery.queue_label;
  EXPECT_GT(delivery.queue_label.size(), std::string(".output.1").size());
  EXPECT_EQ(delivery.queue_qos, platform::QualityOfService::UserInteractive);
}

TEST_F(OutputTest, SecondRegistrationKeepsTheFirstQueue) {
  sc_dispatch_queue* first = sc_dispatch_queue_create("first");
  sc_dispatch_queue* second = sc_dispatch_queue_create("second");
  ASSERT_TRUE(sc_stream_add_stream_output_with_queue(stream_, 1, first));
  ASSERT_TRUE(sc_stream_add_stream_output_with_queue(stream_, 1, second));
  // Only the platform keeps a queue: ours are the only other references.
  EXPECT_EQ(platform_of(first)->retain_count(), 2u);
  EXPECT_EQ(platform_of(second)->retain_count(), 1u);
  ASSERT_TRUE(sc_stream_add_stream_output_with_queue(stream_, 0, nullptr));
  EXPECT_EQ(bridge_testing::stream_output_types(stream_), (std::vector<int32_t>{0, 1}));

  push(platform::SCStreamOutputType::Audio);
  push(platform::SCStreamOutputType::Screen);
  ASSERT_TRUE(context_.wait_for_deliveries(2));
  platform::wait_idle();
  {
    const std::lock_guard lock(context_.mutex);
    ASSERT_EQ(context_.deliveries.size(), 2u);
    for (const auto& d : context_.deliveries) {
      EXPECT_EQ(d.queue_label, d.type == 1 ? "first" : "com.velgo.marrinet.audio-helper.output.0");
    }
  }
  sc_dispatch_queue_release(first);
  sc_dispatch_queue_release(second);
}

TEST_F(OutputTest, RefusalsLeaveNothingRegistered) {
  backend->refuse_outputs("outputs are off");
  EXPECT_FALSE(sc_stream_add_stream_output(stream_, 1));
  EXPECT_TRUE(bridge_testing::stream_output_types(stream_).empty());
  backend->refuse_outputs(std::nullopt);
  EXPECT_TRUE(sc_stream_add_stream_output(stream_, 1));
  EXPECT_FALSE(sc_stream_add_stream_output(nullptr, 1));

  // A platform stream the bridge never made has no record.
  const auto stranger = platform::SCStream::initWithFilter(nullptr, nullptr, nullptr);
  EXPECT_FALSE(sc_stream_add_stream_output(reinterpret_cast<sc_stream*>(stranger.get()), 1));
  EXPECT_FALSE(sc_stream_remove_stream_output(reinterpret_cast<sc_stream*>(stranger.get()), 1));
}

TEST_F(OutputTest, RemovalUnregistersOnlyWhatIsRegistered) {
  EXPECT_FALSE(sc_stream_remove_stream_output(stream_, 1));
  ASSERT_TRUE(sc_stream_add_stream_output(stream_, 1));
  EXPECT_FALSE(sc_stream_remove_stream_output(stream_, 0));
  EXPECT_TRUE(sc_stream_remove_stream_output(stream_, 1));
  EXPECT_TRUE(bridge_testing::stream_output_types(stream_).empty());
  EXPECT_FALSE(sc_stream_remove_stream_output(stream_, 1));
  push(platform::SCStreamOutputType::Audio);
  platform::wait_idle();
  EXPECT_TRUE(context_.deliveries.empty());
  // Registered again from scratch, since the platform had let it go.
  EXPECT_TRUE(sc_stream_add_stream_output(stream_, 1));
}

TEST_F(OutputTest, DeliveryMapsTypesAndHandsOverOneReferenceOnTheSameThread) {
  const auto state = bridge::find_stream_state(platform_of(stream_));
  ASSERT_TRUE(state);
  const float frames[2] = {0.0f, 0.0f};
  const auto buffer = platform::CMSampleBuffer::createInterleavedFloat(frames, 2, 48000);
  const std::pair<std::int64_t, int32_t> mapping[] = {{0, 0}, {1, 1}, {2, 2},
                                                      {3, 1}, {7, 1}, {-1, 1}};
  for (const auto& [platform_type, expected] : mapping) {
    state->outputHandler->stream_didOutputSampleBuffer_ofType(
        platform_of(stream_), buffer.get(), static_cast<platform::SCStreamOutputType>(platform_type));
  }
  ASSERT_EQ(context_.deliveries.size(), std::size(mapping));
  for (std::size_t i = 0; i < std::size(mapping); ++i) {
    EXPECT_EQ(context_.deliveries[i].type, mapping[i].second) << "platform type "
                                                               << mapping[i].first;
    EXPECT_EQ(context_.deliveries[i].references, 2u);  // ours and the binding's
    EXPECT_EQ(context_.deliveries[i].thread, std::this_thread::get_id());
  }
  EXPECT_EQ(buffer->retain_count(), 1u);
}

TEST_F(OutputTest, MicrophoneRegistersThePlatformsMicrophoneOutput) {
  ASSERT_TRUE(sc_stream_add_stream_output(stream_, 2));
  push(platform::SCStreamOutputType::Audio);
  push(platform::SCStreamOutputType::Microphone);
  ASSERT_TRUE(context_.wait_for_deliveries(1));
  platform::wait_idle();
  const std::lock_guard lock(context_.mutex);
  ASSERT_EQ(context_.deliveries.size(), 1u);
  EXPECT_EQ(context_.deliveries[0].type, 2);
}

// Buffers keep arriving on the capture queue while the main thread releases the stream:
// the context is given back only once the platform can no longer deliver to it.
TEST_F(BridgeTest, DeliveryRacingReleaseNeverOutlivesTheContext) {
  constexpr int ROUNDS = 20;
  constexpr int BUFFERS = 200;
  for (int round = 0; round < ROUNDS; ++round) {
    FakeContext context;
    sc_content_filter* filter = first_display_filter();
    sc_stream_configuration* configuration = audio_configuration();
    sc_stream* stream = context.create_stream(filter, configuration);
    ASSERT_TRUE(sc_stream_add_stream_output(stream, 1));
    CallRecorder started;
    sc_stream_start_capture(stream, &started, &CallRecorder::completion);
    ASSERT_TRUE(started.wait_for(1));
    const auto capture = backend->last_capture();

    std::atomic<bool> go{false};
    std::thread producer([&] {
      const float frames[4] = {0.1f, 0.2f, 0.3f, 0.4f};
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < BUFFERS; ++i) capture->push_audio(frames, 2, 48000);
    });
    go.store(true);
    std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
    sc_stream_release(stream);
    producer.join();
    platform::wait_idle();

    EXPECT_EQ(context.releases.load(), 2);
    const std::lock_guard lock(context.mutex);
    for (const auto& d : context.deliveries) {
      EXPECT_FALSE(d.context_released);
      EXPECT_EQ(d.type, 1);
    }
    sc_stream_configuration_release(configuration);
    sc_content_filter_release(filter);
  }
}

}  // namespace
