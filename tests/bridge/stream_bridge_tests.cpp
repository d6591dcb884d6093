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
using bridge_test::from_handle;
using bridge_test::StreamTest;

TEST_F(BridgeTest, ConfigurationCountsItsBridgeReferenceAndPassesValuesUnchanged) {
    sc_stream_configuration* configuration = sc_stream_configuration_create();
    sc_stream_configuration* other = sc_stream_configuration_create();
    EXPECT_EQ(bridge_testing::configuration_storage_count(configuration), 1);
    EXPECT_EQ(bridge_testing::configuration_storage_size(), 2u);
    EXPECT_FALSE(bridge_testing::configuration_storage_has_values(configuration));

    for (const int64_t number : {int64_t{0}, int64_t{-7}, std::numeric_limits<int64_t>::min()}) {
        const bool flag = number != 0;
        sc_stream_configuration_set_captures_audio(configuration, flag);
        sc_stream_configuration_set_sample_rate(configuration, number);
        sc_stream_configuration_set_channel_count(configuration, number + 1);
        sc_stream_configuration_set_excludes_current_process_audio(configuration, !flag);
        const auto values = bridge_testing::configuration_values(configuration);
        EXPECT_EQ(values.pixel_format, 0x42475241u);
        EXPECT_EQ(values.captures_audio, flag);
        EXPECT_EQ(values.sample_rate, number);
        EXPECT_EQ(values.channel_count, number + 1);
        EXPECT_EQ(values.excludes_current_process_audio, !flag);
    }

    sc_stream_configuration_release(configuration);
    EXPECT_EQ(bridge_testing::configuration_storage_size(), 1u);
    EXPECT_EQ(bridge_testing::configuration_storage_count(other), 1);
    sc_stream_configuration_release(other);
}

TEST_F(StreamTest, CreateMakesDelegateThenOutputThenStreamThenRecord) {
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
    sc_stream* stream = context.create_stream(filter_, configuration_);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].delegates, 1u);
    EXPECT_EQ(seen[0].outputs, 0u);
    EXPECT_EQ(seen[1].outputs, 1u);
    EXPECT_EQ(seen[1].streams, 0u);
    EXPECT_EQ(seen[1].records, 0u);
    EXPECT_TRUE(bridge_testing::has_stream_state(stream));
    EXPECT_EQ(from_handle(stream)->retain_count(), 1u);
    EXPECT_EQ(from_handle(stream)->settings().sampleRate, 48000);

    sc_stream_release(stream);
    EXPECT_EQ(bridge_testing::stream_state_count(), 0u);
    platform::wait_idle();
    EXPECT_EQ(context.releases.load(), 2);  // once for each forwarding object
}

TEST_F(StreamTest, StartAndStopAnswerOnceFromAWorker) {
    FakeContext context;
    sc_stream* stream = context.create_stream(filter_, configuration_);
    backend->set_start({}, 0);  // held until the capture answers
    CallRecorder started;
    sc_stream_start_capture(stream, &started, &CallRecorder::completion);
    std::shared_ptr<platform::scripted::ScriptedCapture> capture;
    for (int i = 0; i < 1000 && !(capture = backend->last_capture()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(capture);
    EXPECT_TRUE(started.entries.empty());
    capture->answer_start({});
    ASSERT_TRUE(started.wait_for(1));
    platform::wait_idle();

    CallRecorder stopped;
    sc_stream_stop_capture(stream, &stopped, &CallRecorder::completion);
    ASSERT_TRUE(stopped.wait_for(1));
    platform::wait_idle();
    for (auto* r : {&started, &stopped}) {
        ASSERT_EQ(r->entries.size(), 1u);
        EXPECT_TRUE(r->entries[0].success);
        EXPECT_FALSE(r->entries[0].text.has_value());
        EXPECT_EQ(r->entries[0].user_data, r);
        EXPECT_NE(r->entries[0].thread, std::this_thread::get_id());
    }
    sc_stream_release(stream);
}

TEST_F(StreamTest, StartAndStopFailuresCarryTheDescription) {
    FakeContext context;
    sc_stream* stream = context.create_stream(filter_, configuration_);
    backend->set_start(std::unexpected(std::string("sink is gone")));
    CallRecorder failed_start;
    sc_stream_start_capture(stream, &failed_start, &CallRecorder::completion);
    ASSERT_TRUE(failed_start.wait_for(1));

    backend->set_start({});
    backend->set_stop(std::unexpected(std::string("server hung up")));
    start(stream);
    CallRecorder failed_stop;
    sc_stream_stop_capture(stream, &failed_stop, &CallRecorder::completion);
    CallRecorder no_stream;
    sc_stream_start_capture(nullptr, &no_stream, &CallRecorder::completion);
    ASSERT_TRUE(failed_stop.wait_for(1));
    ASSERT_TRUE(no_stream.wait_for(1));
    platform::wait_idle();

    for (auto* r : {&failed_start, &failed_stop, &no_stream}) {
        ASSERT_EQ(r->entries.size(), 1u);
        EXPECT_FALSE(r->entries[0].success);
    }
    EXPECT_EQ(failed_start.entries[0].text, "Stream error: sink is gone");
    EXPECT_EQ(failed_stop.entries[0].text, "Stream error: server hung up");
    EXPECT_TRUE(no_stream.entries[0].text.value_or("").starts_with("Stream error: "));
    sc_stream_release(stream);
}

TEST_F(StreamTest, StopWithErrorPassesStreamDomainCodesOnly) {
    FakeContext context;
    sc_stream* stream = context.create_stream(filter_, configuration_);
    start(stream);
    backend->last_capture()->fail("Connection terminated");  // through the platform
    ASSERT_TRUE(context.stops.wait_for(1));

    // Straight at the delegate object, for errors this platform never produces.
    auto& delegate = *bridge::find_stream_state(from_handle(stream))->delegate;
    const auto tell = [&](std::string_view domain, std::int64_t code, std::string text) {
        delegate.stream_didStopWithError(
            from_handle(stream), platform::NSError::make(domain, code, std::move(text)).get());
    };
    tell("NSOSStatusErrorDomain", -3817, "other domain");
    tell(platform::SCStreamErrorDomain, -3817, "user stopped");
    tell(platform::SCStreamErrorDomain, std::int64_t{1} << 40, "huge");

    const std::lock_guard lock(context.stops.mutex);
    const auto& stops = context.stops.entries;
    ASSERT_EQ(stops.size(), 4u);
    EXPECT_EQ(stops[0].code, -3821);
    EXPECT_EQ(stops[0].text, "Connection terminated");
    EXPECT_EQ(stops[1].code, 0);
    EXPECT_EQ(stops[1].text, "other domain");
    EXPECT_EQ(stops[2].code, -3817);
    EXPECT_EQ(stops[3].code, std::numeric_limits<std::int32_t>::max());  // not a known code
    sc_stream_release(stream);
}

TEST_F(StreamTest, ReleaseDropsTheRecordWithoutStoppingCapture) {
    FakeContext context;
    sc_stream* stream = context.create_stream(filter_, configuration_);
    start(stream);
    const auto capture = backend->last_capture();
    // A reference of the test's own keeps the platform stream, and with it the capture.
    const auto kept = platform::Ref<platform::SCStream>::retain(from_handle(stream));
    sc_stream_release(stream);
    platform::wait_idle();
    EXPECT_FALSE(bridge_testing::has_stream_state(stream));
    EXPECT_EQ(kept->retain_count(), 1u);
    EXPECT_EQ(capture->stop_requests(), 0u);
    EXPECT_FALSE(capture->released());
    EXPECT_EQ(context.releases.load(), 1);  // the output object; the platform keeps the delegate
    EXPECT_FALSE(sc_stream_add_stream_output(stream, 1));  // no record, no registration
}

}  // namespace
