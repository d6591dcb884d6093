// Streams over the scripted backend: start and stop, outputs and their queues, delivery,
// unexpected stops, and what a stream lets go of.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/model/stream.h"
#include "platform/runtime/runtime.h"
#include "tests/platform/recorder.h"
#include "tests/support/scripted_fixture.h"

namespace platform {
namespace {

using testing::Gate;
using testing::Recorder;

struct Delivery {
    SCStream* stream;
    Ref<CMSampleBuffer> buffer;
    SCStreamOutputType type;
    DispatchQueue* queue;
};

class RecordingOutput final : public SCStreamOutput {
public:
    void stream_didOutputSampleBuffer_ofType(SCStream* stream, CMSampleBuffer* sampleBuffer,
                                             SCStreamOutputType type) override {
        if (inside_.fetch_add(1) != 0) overlapped = true;
        deliveries.add(
            {stream, Ref<CMSampleBuffer>::retain(sampleBuffer), type, DispatchQueue::current()});
        inside_.fetch_sub(1);
    }
    Recorder<Delivery> deliveries;
    std::atomic<bool> overlapped{false};

private:
    ~RecordingOutput() override = default;
    std::atomic<int> inside_{0};
};

struct StopNotice {
    SCStream* stream;
    std::string domain;
    std::int64_t code;
    std::string description;
    bool on_worker;
};

class RecordingDelegate final : public SCStreamDelegate {
public:
    void stream_didStopWithError(SCStream* stream, NSError* error) override {
        notices.add({stream, error->domain(), error->code(), error->localizedDescription(),
                     on_worker_thread()});
    }
    Recorder<StopNotice> notices;

private:
    ~RecordingDelegate() override = default;
};

// What a completion handler received: nothing for success, else (code, description).
using Completion = std::optional<std::pair<std::int64_t, std::string>>;

class StreamTest : public scripted::ScriptedPlatformTest {
protected:
    void SetUp() override {
        ScriptedPlatformTest::SetUp();
        backend->set_displays({{4, "sink.a"}});
        display = make<SCDisplay>(DisplayDescription{4, "sink.a"});
        filter = SCContentFilter::initWithDisplayExcludingWindows(display.get(), {});
        configuration = SCStreamConfiguration::init();
        configuration->setCapturesAudio(true);
        configuration->setSampleRate(44100);
        configuration->setChannelCount(2);
        delegate = make<RecordingDelegate>();
        output = make<RecordingOutput>();
        stream = SCStream::initWithFilter(filter.get(), configuration.get(), delegate.get());
    }
    void TearDown() override {
        stream.reset();
        output.reset();
        delegate.reset();
        configuration.reset();
        filter.reset();
        display.reset();
        ScriptedPlatformTest::TearDown();
    }

    SCStream::CompletionHandler recorder(Recorder<Completion>& into) {
        return [&into](NSError* error) {
            if (error == nullptr) {
                into.add(std::nullopt);
            } else {
                EXPECT_EQ(error->domain(), SCStreamErrorDomain);
                into.add(std::pair{error->code(), error->localizedDescription()});
            }
        };
    }
    Completion start() {
        Recorder<Completion> done;
        stream->startCaptureWithCompletionHandler(recorder(done));
        EXPECT_TRUE(done.wait_for(1));
        return done.values().front();
    }
    Completion stop() {
        Recorder<Completion> done;
        stream->stopCaptureWithCompletionHandler(recorder(done));
        EXPECT_TRUE(done.wait_for(1));
        return done.values().front();
    }
    bool add_audio_output(DispatchQueue* queue = nullptr) {
        return stream->addStreamOutput(output.get(), SCStreamOutputType::Audio, queue, nullptr);
    }

    Ref<SCDisplay> display;
    Ref<SCContentFilter> filter;
    Ref<SCStreamConfiguration> configuration;
    Ref<RecordingDelegate> delegate;
    Ref<RecordingOutput> output;
    Ref<SCStream> stream;
};

TEST_F(StreamTest, RecordsTheDisplaysSourceAndDeliversAudioOnTheOutputsQueue) {
    auto queue = DispatchQueue::create("test.audio");
    ASSERT_TRUE(add_audio_output(queue.get()));
    configuration->setSampleRate(8000);  // too late: the stream took its settings at creation
    ASSERT_EQ(start(), std::nullopt);

    const auto capture = backend->last_capture();
    ASSERT_TRUE(capture);
    EXPECT_EQ(capture->params().source, "sink.a");
    EXPECT_EQ(capture->params().sample_rate, 44100);
    EXPECT_EQ(capture->params().channel_count, 2);
    EXPECT_FALSE(capture->params().excludes_current_process_audio);

    const float frames[] = {0.5f, -0.5f, 0.25f, -0.25f};
    capture->push_audio(frames, 2, 44100);
    ASSERT_TRUE(output->deliveries.wait_for(1));
    const Delivery d = output->deliveries.values().front();
    EXPECT_EQ(d.stream, stream.get());
    EXPECT_EQ(d.type, SCStreamOutputType::Audio);
    EXPECT_EQ(d.queue, queue.get());
    EXPECT_EQ(d.buffer->numSamples(), 2);
    ASSERT_EQ(d.buffer->audioLayout().size(), 1u);
    EXPECT_EQ(d.buffer->audioLayout()[0].number_channels, 2u);
    ASSERT_EQ(CMBlockBufferGetDataLength(d.buffer->dataBuffer()), sizeof frames);
    EXPECT_EQ(std::memcmp(d.buffer->dataBuffer()->data(), frames, sizeof frames), 0);

    EXPECT_EQ(stop(), std::nullopt);
    EXPECT_EQ(capture->stop_requests(), 1u);
    EXPECT_TRUE(capture->released());
}

TEST_F(StreamTest, SilentFragmentsShareOneBlockOfZerosAndReadAsTheirOwnLength) {
    ASSERT_TRUE(add_audio_output());
    ASSERT_EQ(start(), std::nullopt);
    const auto capture = backend->last_capture();
    const float silence[8] = {};
    const float sound[] = {0.0f, 0.0f, 0.25f, 0.0f};
    const float negative_zero[] = {-0.0f, 0.0f};
    capture->push_audio(std::span(silence, 4), 2, 48000);
    capture->push_audio(std::span(silence, 4), 2, 48000);
    capture->push_audio(sound, 2, 48000);
    capture->push_audio(std::span(silence, 8), 2, 48000);  // longer than the block so far
    capture->push_audio(std::span(silence, 2), 2, 48000);
    capture->push_audio(negative_zero, 2, 48000);
    ASSERT_TRUE(output->deliveries.wait_for(6));
    const auto d = output->deliveries.values();

    const std::size_t expected_frames[] = {2, 2, 2, 4, 1, 1};
    for (std::size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(d[i].buffer->numSamples(), static_cast<std::int64_t>(expected_frames[i]));
        std::size_t size = 0;
        ASSERT_EQ(CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
                      d[i].buffer.get(), &size, nullptr, 0, nullptr, nullptr, 0, nullptr),
                  noErr);
        std::vector<std::max_align_t> storage(size / sizeof(std::max_align_t) + 1);
        auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
        CMBlockBuffer* block = nullptr;
        ASSERT_EQ(CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
                      d[i].buffer.get(), nullptr, list, size, nullptr, nullptr, 0, &block),
                  noErr);
        const auto held = Ref<CMBlockBuffer>::adopt(block);
        ASSERT_EQ(list->number_buffers, 1u);
        const AudioBuffer& audio = list->buffers()[0];
        EXPECT_EQ(audio.number_channels, 2u);
        ASSERT_EQ(audio.data_byte_size, expected_frames[i] * 2 * sizeof(float));
        const float* expected = i == 2 ? sound : i == 5 ? negative_zero : silence;
        EXPECT_EQ(std::memcmp(audio.data, expected, audio.data_byte_size), 0);
    }
    // Silence is not copied: the silent buffers share blocks of zeros; sound, and a sign bit
    // that only looks like silence, get copies of their own.
    EXPECT_EQ(d[1].buffer->dataBuffer(), d[0].buffer->dataBuffer());
    EXPECT_NE(d[2].buffer->dataBuffer(), d[0].buffer->dataBuffer());
    EXPECT_EQ(d[4].buffer->dataBuffer(), d[3].buffer->dataBuffer());
    EXPECT_NE(d[5].buffer->dataBuffer(), d[3].buffer->dataBuffer());
    EXPECT_NE(d[5].buffer->dataBuffer(), d[2].buffer->dataBuffer());
}

TEST_F(StreamTest, FragmentsGatheredInALentRoomAreQueuedWithoutACopyAndTheRoomComesBack) {
    ASSERT_TRUE(add_audio_output());
    ASSERT_EQ(start(), std::nullopt);
    const auto capture = backend->last_capture();
    const auto fill = [&](float value) {
        const std::span<float> room = capture->audio_room(8, 2, 48000);
        std::fill(room.begin(), room.end(), value);
        return room;
    };
    const std::span<float> first = fill(0.5f);
    ASSERT_EQ(first.size(), 8u);
    capture->commit_audio(first.size());
    ASSERT_TRUE(output->deliveries.wait_for(1));
    // The output still holds the first buffer: the next fragment gets another room, and
    // one handed over in part becomes a buffer of that part over the same room.
    const std::span<float> second = fill(-0.25f);
    EXPECT_NE(second.data(), first.data());
    capture->commit_audio(6);
    ASSERT_TRUE(output->deliveries.wait_for(2));
    auto d = output->deliveries.values();
    EXPECT_EQ(reinterpret_cast<float*>(d[0].buffer->dataBuffer()->data()), first.data());
    EXPECT_EQ(d[0].buffer->numSamples(), 4);
    EXPECT_EQ(reinterpret_cast<float*>(d[1].buffer->dataBuffer()->data()), second.data());
    EXPECT_EQ(d[1].buffer->numSamples(), 3);
    EXPECT_EQ(first[0], 0.5f);
    // Once every holder let go, the rooms are lent again rather than made anew.
    d.clear();
    output->deliveries.clear();
    wait_idle();
    const std::span<float> again = capture->audio_room(8, 2, 48000);
    EXPECT_TRUE(again.data() == first.data() || again.data() == second.data());
    // A room is only lent for a buffer of its own shape.
    EXPECT_NE(capture->audio_room(8, 1, 48000).data(), again.data());
}

TEST_F(StreamTest, StopCompletesOnlyAfterEveryQueuedBufferWasHandedOver) {
    auto queue = DispatchQueue::create("test.slow");
    ASSERT_TRUE(add_audio_output(queue.get()));
    ASSERT_EQ(start(), std::nullopt);
    // Hold the output's queue so that buffers pile up behind it.
    Gate gate;
    queue->async([&] { EXPECT_TRUE(gate.wait()); });
    const float frame[] = {0.0f, 0.0f};
    constexpr std::size_t COUNT = 50;
    for (std::size_t i = 0; i < COUNT; ++i) backend->last_capture()->push_audio(frame, 2, 44100);

    // The handler notes how many buffers had arrived when it ran.
    Recorder<std::size_t> delivered_at_stop;
    stream->stopCaptureWithCompletionHandler([&](NSError* error) {
        EXPECT_EQ(error, nullptr);
        delivered_at_stop.add(output->deliveries.size());
    });
    gate.open();
    ASSERT_TRUE(delivered_at_stop.wait_for(1));
    EXPECT_EQ(delivered_at_stop.values().front(), COUNT);
    EXPECT_FALSE(output->overlapped.load());
    // The capture has stopped: anything it still sends is dropped.
    backend->last_capture()->push_audio(frame, 2, 44100);
    wait_idle();
    EXPECT_EQ(output->deliveries.size(), COUNT);
}

TEST_F(StreamTest, StartAndStopRefuseTheWrongStateAndAFailedStartCanBeRetried) {
    EXPECT_EQ(stop(),
              (Completion{{SCStreamErrorAttemptToStopStreamState, "The stream is not running"}}));
    backend->set_start(std::unexpected(std::string("no such sink")));
    EXPECT_EQ(start(), (Completion{{SCStreamErrorFailedToStart, "no such sink"}}));
    wait_idle();
    EXPECT_TRUE(backend->last_capture()->released());

    backend->set_start({});
    ASSERT_EQ(start(), std::nullopt);
    EXPECT_EQ(
        start(),
        (Completion{{SCStreamErrorAttemptToStartStreamState, "The stream is already running"}}));
    backend->set_stop(std::unexpected(std::string("server gone")));
    EXPECT_EQ(stop(), (Completion{{SCStreamErrorFailedToStopAudioCapture, "server gone"}}));
    EXPECT_EQ(backend->captures().size(), 2u);
}

TEST_F(StreamTest, AStartAnsweredBeforeTheBackendReturnedStillHandsTheCaptureToStop) {
    // The answer goes out at once, but the capture reaches the stream 100 ms later: the start
    // must not be reported before then, or a stop right after it finds nothing to stop.
    backend->set_start_return_delay(std::chrono::milliseconds(100));
    ASSERT_EQ(start(), std::nullopt);
    EXPECT_EQ(stop(), std::nullopt);
    const auto capture = backend->last_capture();
    ASSERT_TRUE(capture);
    EXPECT_EQ(capture->stop_requests(), 1u);
    wait_idle();
    EXPECT_TRUE(capture->released());
}

TEST_F(StreamTest, StartNeedsADisplayAndABackend) {
    auto window = make<SCWindow>(WindowDescription{});
    auto window_filter = SCContentFilter::initWithDesktopIndependentWindow(window.get());
    stream = SCStream::initWithFilter(window_filter.get(), configuration.get(), nullptr);
    EXPECT_EQ(
        start(),
        (Completion{{SCStreamErrorNoCaptureSource, "The content filter selects no display"}}));

    stream = SCStream::initWithFilter(filter.get(), configuration.get(), nullptr);
    install_backend(nullptr);
    EXPECT_EQ(start(),
              (Completion{{SCStreamErrorFailedToStart, "No capture backend is installed"}}));
}

TEST_F(StreamTest, RepeatedAnswersReachTheHandlerEachTime) {
    backend->set_start({}, 2);
    Recorder<Completion> started;
    stream->startCaptureWithCompletionHandler(recorder(started));
    ASSERT_TRUE(started.wait_for(2));
    backend->set_stop({}, 3);
    Recorder<Completion> stopped;
    stream->stopCaptureWithCompletionHandler(recorder(stopped));
    ASSERT_TRUE(stopped.wait_for(3));
    for (const auto& c : started.values()) EXPECT_EQ(c, std::nullopt);
    for (const auto& c : stopped.values()) EXPECT_EQ(c, std::nullopt);
}

TEST_F(StreamTest, AFailureWhileRecordingReachesTheDelegateOnce) {
    ASSERT_TRUE(add_audio_output());
    ASSERT_EQ(start(), std::nullopt);
    const auto capture = backend->last_capture();
    capture->fail("Connection terminated");
    capture->fail("second");
    ASSERT_TRUE(delegate->notices.wait_for(1));
    wait_idle();
    const auto notices = delegate->notices.values();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].stream, stream.get());
    EXPECT_EQ(notices[0].domain, SCStreamErrorDomain);
    EXPECT_EQ(notices[0].code, -3821);
    EXPECT_EQ(notices[0].description, "Connection terminated");
    EXPECT_TRUE(notices[0].on_worker);
    EXPECT_TRUE(capture->released());

    const float frame[] = {1.0f, 1.0f};
    capture->push_audio(frame, 2, 44100);
    wait_idle();
    EXPECT_EQ(output->deliveries.size(), 0u);
    EXPECT_EQ(stop(),
              (Completion{{SCStreamErrorAttemptToStopStreamState, "The stream is not running"}}));
    EXPECT_EQ(capture->stop_requests(), 0u);
}

TEST_F(StreamTest, AFailureBeforeTheStartWasAnsweredFailsTheStart) {
    backend->set_start({}, 0);
    Recorder<Completion> started;
    stream->startCaptureWithCompletionHandler(recorder(started));
    const auto capture = backend->last_capture();
    ASSERT_TRUE(capture->start_held());
    capture->fail("sink vanished");
    wait_idle();
    capture->answer_start({});
    ASSERT_TRUE(started.wait_for(1));
    EXPECT_EQ(started.values().front(),
              (Completion{{SCStreamErrorFailedToStart, "sink vanished"}}));
    wait_idle();
    EXPECT_EQ(delegate->notices.size(), 0u);
    EXPECT_TRUE(capture->released());
}

TEST_F(StreamTest, OutputsAreRefusedWhenTheBackendOrTheirTypeSaysSo) {
    Ref<NSError> error;
    EXPECT_FALSE(stream->addStreamOutput(nullptr, SCStreamOutputType::Audio, nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SCStreamErrorInvalidParameter);

    backend->refuse_outputs("audio outputs are off");
    error.reset();
    EXPECT_FALSE(add_audio_output());
    EXPECT_FALSE(stream->addStreamOutput(output.get(), SCStreamOutputType::Audio, nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "audio outputs are off");

    backend->refuse_outputs(std::nullopt);
    EXPECT_TRUE(add_audio_output());
    EXPECT_FALSE(add_audio_output());  // already there for this type
    EXPECT_TRUE(
        stream->addStreamOutput(output.get(), SCStreamOutputType::Screen, nullptr, nullptr));
    EXPECT_TRUE(stream->removeStreamOutput(output.get(), SCStreamOutputType::Screen, nullptr));
    EXPECT_FALSE(stream->removeStreamOutput(output.get(), SCStreamOutputType::Screen, &error));
    EXPECT_EQ(live_objects(Kind::StreamOutput), 1u);
}

TEST_F(StreamTest, BuffersGoOnlyToOutputsOfTheirTypeWhateverTheType) {
    auto screen = make<RecordingOutput>();
    auto odd = make<RecordingOutput>();
    const auto seven = static_cast<SCStreamOutputType>(7);
    ASSERT_TRUE(add_audio_output());
    ASSERT_TRUE(
        stream->addStreamOutput(screen.get(), SCStreamOutputType::Screen, nullptr, nullptr));
    ASSERT_TRUE(stream->addStreamOutput(odd.get(), seven, nullptr, nullptr));

    // Delivered at will, with no capture running.
    auto silent = CMSampleBuffer::createWithoutAudio();
    stream->deliverSampleBuffer(silent.get(), seven);
    stream->deliverSampleBuffer(silent.get(), SCStreamOutputType::Screen);
    stream->deliverSampleBuffer(silent.get(), SCStreamOutputType::Microphone);  // nobody listens
    ASSERT_TRUE(odd->deliveries.wait_for(1));
    ASSERT_TRUE(screen->deliveries.wait_for(1));
    wait_idle();
    EXPECT_EQ(odd->deliveries.values().front().type, seven);
    EXPECT_EQ(odd->deliveries.values().front().buffer.get(), silent.get());
    EXPECT_EQ(screen->deliveries.size(), 1u);
    EXPECT_EQ(output->deliveries.size(), 0u);
    // The stream's own queue for each output is a real serial queue.
    EXPECT_NE(screen->deliveries.values().front().queue, nullptr);
    EXPECT_NE(screen->deliveries.values().front().queue, odd->deliveries.values().front().queue);
}

TEST_F(StreamTest, TheStreamKeepsItsQueuesOutputsAndDelegate) {
    auto queue = DispatchQueue::create("test.kept");
    ASSERT_TRUE(add_audio_output(queue.get()));
    queue.reset();
    output.reset();
    delegate.reset();
    EXPECT_EQ(live_objects(Kind::DispatchQueue), 1u);
    EXPECT_EQ(live_objects(Kind::StreamOutput), 1u);
    EXPECT_EQ(live_objects(Kind::StreamDelegate), 1u);
    stream.reset();
    EXPECT_EQ(live_objects(Kind::DispatchQueue), 0u);
    EXPECT_EQ(live_objects(Kind::StreamOutput), 0u);
    EXPECT_EQ(live_objects(Kind::StreamDelegate), 0u);
}

TEST_F(StreamTest, DroppingARunningStreamEndsTheCaptureQuietly) {
    ASSERT_TRUE(add_audio_output());
    ASSERT_EQ(start(), std::nullopt);
    const auto capture = backend->last_capture();
    const float frame[] = {0.1f, 0.2f};
    capture->push_audio(frame, 2, 44100);
    stream.reset();  // a queued delivery may keep it alive a little longer
    wait_idle();
    EXPECT_EQ(live_objects(Kind::Stream), 0u);
    EXPECT_TRUE(capture->released());
    capture->push_audio(frame, 2, 44100);
    capture->fail("late");
    wait_idle();
    EXPECT_LE(output->deliveries.size(), 1u);
    EXPECT_EQ(delegate->notices.size(), 0u);
    EXPECT_EQ(capture->stop_requests(), 0u);
}

TEST_F(StreamTest, WithoutAudioTheCaptureRunsButRecordsNothing) {
    configuration->setCapturesAudio(false);
    stream = SCStream::initWithFilter(filter.get(), configuration.get(), nullptr);
    ASSERT_EQ(start(), std::nullopt);
    EXPECT_TRUE(backend->captures().empty());
    EXPECT_EQ(stop(), std::nullopt);
}

}  // namespace
}  // namespace platform
