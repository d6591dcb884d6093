// Stream configurations and the stream lifecycle through the bridge's C functions.
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/bridge/stream_state.h"
#include "tests/bridge/bridge_test_support.h"

namespace {

using bridge_test::BridgeTest;
using bridge_test::CallRecorder;
using bridge_test::FakeContext;
using bridge_test::platform_of;

TEST_F(BridgeTest, ConfigurationCountsItsBridgeReferenceAndPassesValuesUnchanged) {
  sc_stream_configuration* configuration = sc_stream_configuration_create();
  ASSERT_NE(configuration, nullptr);
  EXPECT_EQ(bridge_testing::configuration_storage_count(configuration), 1);
  EXPECT_FALSE(bridge_testing::configuration_storage_has_values(configuration));
  EXPECT_EQ(bridge_testing::configuration_values(configuration).pixel_format, 0x42475241u);

  struct Case {
    bool flag;
    int64_t number;
  };
  for (const Case c : {Case{true, 48000}, Case{false, 0}, Case{true, -7},
                       Case{false, std::numeric_limits<int64_t>::min()}}) {
    sc_stream_configuration_set_captures_audio(configuration, c.flag);
    sc_stream_configuration_set_sample_rate(configuration, c.number);
    sc_stream_configuration_set_channel_count(configuration, c.number + 1);
    sc_stream_configuration_set_excludes_current_process_audio(configuration, !c.flag);
    const auto values = bridge_testing::configuration_values(configuration);
    EXPECT_EQ(values.captures_audio, c.flag);
    EXPECT_EQ(values.sample_rate, c.number);
    EXPECT_EQ(values.channel_count, c.number + 1);
    EXPECT_EQ(values.excludes_current_process_audio, !c.flag);
  }
  EXPECT_EQ(bridge_testing::configuration_values(configuration).pixel_format, 0x42475241u);

  sc_stream_configuration* other = sc_stream_configuration_create();
  EXPECT_EQ(bridge_testing::configuration_storage_size(), 2u);
  sc_stream_configuration_release(configuration);
  EXPECT_EQ(bridge_testing::configuration_storage_size(), 1u);
  EXPECT_EQ(bridge_testing::configuration_storage_count(other), 1);
  sc_stream_configuration_release(other);
  sc_stream_configuration_release(nullptr);
  sc_stream_configuration_set_sample_rate(nullptr, 1);
}

TEST_F(BridgeTest, CreateMakesDelegateThenOutputThenStreamThenRecord) {
  struct Seen {
    std::size_t delegates, outputs, streams, records;
  };
  std::vector<Seen> seen;
  FakeContext context;
  context.on_retain = [&] {
    seen.push_back({platform::live_objects(platform::Kind::StreamDelegate),
                    platform::live_objects(platform::Kind::StreamOutput),
                    platform::live_objects(platform::Kind::Stream),
                    bridge_testing::stream_state_count()});
  };
  sc_content_filter* filter = first_display_filter();
  sc_stream_configuration* configuration = audio_configuration();
  sc_stream* stream = context.create_stream(filter, configuration);
  ASSERT_NE(stream, nullptr);

  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].delegates, 1u);
  EXPECT_EQ(seen[0].outputs, 0u);
  EXPECT_EQ(seen[1].outputs, 1u);
  EXPECT_EQ(seen[1].streams, 0u);
  EXPECT_EQ(seen[1].records, 0u);
  EXPECT_TRUE(bridge_testing::has_stream_state(stream));
  EXPECT_TRUE(bridge_testing::stream_output_types(stream).empty());
  EXPECT_EQ(platform_of(stream)->retain_count(), 1u);
  EXPECT_EQ(platform_of(stream)->settings().sampleRate, 48000);
  EXPECT_EQ(context.releases.load(), 0);

  sc_stream_release(stream);
  EXPECT_FALSE(bridge_testing::has_stream_state(stream));
  EXPECT_EQ(bridge_testing::stream_state_count(), 0u);
  platform::wait_idle();
  // Each forwarding object gave its context reference back exactly once.
  EXPECT_EQ(context.retains.load(), 2);
  EXPECT_EQ(context.releases.load(), 2);
  sc_stream_configuration_release(configuration);
  sc_content_filter_release(filter);
}

TEST_F(BridgeTest, StartAndStopCompleteOnceFromAWorker) {
  FakeContext context;
  sc_content_filter* filter = first_display_filter();
  sc_stream_configuration* configuration = audio_configuration();
  sc_stream* stream = context.create_stream(filter, configuration);

  backend->set_start({}, 0);  // held until the capture answers
  CallRecorder started;
  sc_stream_start_capture(stream, &started, &CallRecorder::completion);
  std::shared_ptr<platform::scripted::ScriptedCapture> capture;
  for (int i = 0; i < 1000 && !(capture = backend->last_capture()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(capture);
  EXPECT_TRUE(started.calls.empty());
  EXPECT_EQ(capture->params().sample_rate, 48000);
  capture->answer_start({});
  ASSERT_TRUE(started.wait_for(1));
  // The platform files the capture away after its start request returns, which may be
  // after the answer: let that settle before stopping.
  platform::wait_idle();

  CallRecorder stopped;
  sc_stream_stop_capture(stream, &stopped, &CallRecorder::completion);
  ASSERT_TRUE(stopped.wait_for(1));
  platform::wait_idle();
  for (const CallRecorder* r : {&started, &stopped}) {
    ASSERT_EQ(r->calls.size(), 1u);
    EXPECT_EQ(r->calls[0].user_data, r);
    EXPECT_TRUE(r->calls[0].success);
    EXPECT_FALSE(r->calls[0].text.has_value());
    EXPECT_NE(r->calls[0].thread, std::this_thread::get_id());
  }
  sc_stream_release(stream);
  sc_stream_configuration_release(configuration);
  sc_content_filter_release(filter);
}

TEST_F(BridgeTest, StartAndStopFailuresCarryTheDescription) {
  FakeContext context;
  sc_content_filter* filter = first_display_filter();
  sc_stream_configuration* configuration = audio_configuration();
  sc_stream* stream = context.create_stream(filter, configuration);

  backend->set_start(std::unexpected(std::string("sink is gone")));
  CallRecorder failed_start;
  sc_stream_start_capture(stream, &failed_start, &CallRecorder::completion);
  ASSERT_TRUE(failed_start.wait_for(1));

  backend->set_start({});
  backend->set_stop(std::unexpected(std::string("server hung up")));
  CallRecorder started;
  sc_stream_start_capture(stream, &started, &CallRecorder::completion);
  ASSERT_TRUE(started.wait_for(1));
  platform::wait_idle();  // as above: the capture is filed away after the answer
  CallRecorder failed_stop;
  sc_stream_stop_capture(stream, &failed_stop, &CallRecorder::completion);
  ASSERT_TRUE(failed_stop.wait_for(1));

  CallRecorder no_stream;
  sc_stream_start_capture(nullptr, &no_stream, &CallRecorder::completion);
  ASSERT_TRUE(no_stream.wait_for(1));
  platform::wait_idle();

  EXPECT_FALSE(failed_start.calls.at(0).success);
  EXPECT_EQ(failed_start.calls.at(0).text, "Stream error: sink is gone");
  EXPECT_TRUE(started.calls.at(0).success);
  EXPECT_FALSE(failed_stop.calls.at(0).success);
  EXPECT_EQ(failed_stop.calls.at(0).text, "Stream error: server hung up");
  EXPECT_FALSE(no_stream.calls.at(0).success);
  EXPECT_TRUE(no_stream.calls.at(0).text.value_or("").starts_with("Stream error: "));
  for (const CallRecorder* r : {&failed_start, &started, &failed_stop, &no_stream}) {
    EXPECT_EQ(r->calls.size(), 1u);
  }
  sc_stream_release(stream);
  sc_stream_configuration_release(configuration);
  sc_content_filter_release(filter);
}

TEST_F(BridgeTest, StopWithErrorPassesStreamDomainCodesOnly) {
  FakeContext context;
  sc_content_filter* filter = first_display_filter();
  sc_stream_configuration* configuration = audio_configuration();
  sc_stream* stream = context.create_stream(filter, configuration);
  CallRecorder started;
  sc_stream_start_capture(stream, &started, &CallRecorder::completion);
  ASSERT_TRUE(started.wait_for(1));

  // Through the platform: a failure while recording.
  backend->last_capture()->fail("Connection terminated");
  ASSERT_TRUE(context.wait_for_stops(1));

  // Straight at the delegate object, for errors the platform here never produces.
  const auto state = bridge::find_stream_state(platform_of(stream));
  ASSERT_TRUE(state);
  auto& delegate = *state->delegate;
  const auto tell = [&](std::string_view domain, std::int64_t code, std::string text) {
    delegate.stream_didStopWithError(platform_of(stream),
                                     platform::NSError::make(domain, code, std::move(text)).get());
  };
  tell("NSOSStatusErrorDomain", -3817, "other domain");
  tell(platform::SCStreamErrorDomain, -3817, "user stopped");
  tell(platform::SCStreamErrorDomain, std::int64_t{1} << 40, "huge");
  delegate.stream_didStopWithError(platform_of(stream), nullptr);
  ASSERT_TRUE(context.wait_for_stops(5));

  const std::lock_guard lock(context.mutex);
  ASSERT_EQ(context.stops.size(), 5u);
  EXPECT_EQ(context.stops[0].code, -3821);
  EXPECT_EQ(context.stops[0].text, "Connection terminated");
  EXPECT_EQ(context.stops[1].code, 0);
  EXPECT_EQ(context.stops[1].text, "other domain");
  EXPECT_EQ(context.stops[2].code, -3817);
  EXPECT_EQ(context.stops[2].text, "user stopped");
  EXPECT_EQ(context.stops[3].code, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(context.stops[4].code, 0);
  EXPECT_FALSE(context.stops[4].text.has_value());
  sc_stream_release(stream);
  sc_stream_configuration_release(configuration);
  sc_content_filter_release(filter);
}

TEST_F(BridgeTest, ReleaseDropsTheRecordWithoutStoppingCapture) {
  FakeContext context;
  sc_content_filter* filter = first_display_filter();
  sc_stream_configuration* configuration = audio_configuration();
  sc_stream* stream = context.create_stream(filter, configuration);
  CallRecorder started;
  sc_stream_start_capture(stream, &started, &CallRecorder::completion);
  ASSERT_TRUE(started.wait_for(1));
  const auto capture = backend->last_capture();

  // A reference of the test's own keeps the platform stream, and with it the capture, alive.
  const auto kept = platform::Ref<platform::SCStream>::retain(platform_of(stream));
  sc_stream_release(stream);
  EXPECT_EQ(bridge_testing::stream_state_count(), 0u);
  EXPECT_FALSE(bridge_testing::has_stream_state(stream));
  platform::wait_idle();
  EXPECT_EQ(kept->retain_count(), 1u);
  EXPECT_EQ(capture->stop_requests(), 0u);
  EXPECT_FALSE(capture->released());
  // The platform stream still holds the delegate; the record's output object is gone.
  EXPECT_EQ(context.releases.load(), 1);
  EXPECT_FALSE(sc_stream_add_stream_output(stream, 1));
  sc_stream_release(nullptr);
  sc_stream_configuration_release(configuration);
  sc_content_filter_release(filter);
}

}  // namespace
