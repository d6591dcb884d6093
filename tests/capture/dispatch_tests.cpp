#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "capture/shareable_content.h"
#include "capture/stream.h"
#include "tests/capture/first_display_filter.h"
#include "tests/capture/platform_handles.h"
#include "tests/capture/stderr_redirect.h"
#include "tests/support/bridge_testing.h"
#include "tests/support/scripted_fixture.h"

namespace {

using capture::CMSampleBuffer;
using capture::SCStream;
using capture::SCStreamOutputType;
using capture_test::from_handle;
using capture_test::StderrCapture;
using capture_test::to_handle;

// What each handler call saw, in call order.
struct Call {
    std::string handler;
    SCStreamOutputType type;
    std::size_t references;  // of the sample buffer, during the call
    std::string queue;       // label of the platform queue running the call
};

struct CallLog {
    std::mutex mutex;
    std::vector<Call> calls;
    std::vector<CMSampleBuffer> kept;

    void record(const std::string& handler, const CMSampleBuffer& buffer, SCStreamOutputType type) {
        const platform::DispatchQueue* queue = platform::DispatchQueue::current();
        std::lock_guard lock(mutex);
        calls.push_back({handler, type, from_handle(buffer.as_ptr())->retain_count(),
                         queue != nullptr ? queue->label() : std::string()});
    }
};

// A handler that logs its call and optionally keeps its reference or throws.
auto logging_handler(std::shared_ptr<CallLog> log, std::string name, bool keep = false,
                     bool fail = false) {
    return [log = std::move(log), name = std::move(name), keep, fail](CMSampleBuffer buffer,
                                                                      SCStreamOutputType type) {
        log->record(name, buffer, type);
        if (keep) {
            std::lock_guard lock(log->mutex);
            log->kept.push_back(std::move(buffer));
        }
        if (fail) throw std::runtime_error(name + " failed");
    };
}

std::string guard_line(const std::string& message) {
    return "kelvane-utils: panic in output handler caught at C ABI boundary: " + message + "\n";
}

// Dispatch straight through sample_handler, with the context's registry filled by hand.
class SampleHandlerTest : public platform::scripted::ScriptedPlatformTest {
protected:
    void SetUp() override {
        ScriptedPlatformTest::SetUp();
        context = capture::new_stream_context();
        buffer = capture_test::small_audio_buffer();
    }
    void TearDown() override {
        capture::context_release_cb(context);
        log.reset();
        buffer.reset();
        ScriptedPlatformTest::TearDown();
    }

    template <class F>
    void add(F handler, SCStreamOutputType type) {
        context->handlers.push_back(
            {capture::make_output_handler(std::move(handler)), context->handlers.size() + 1, type});
    }
    // Hands one reference of the buffer to sample_handler, as the bridge does.
    void deliver(void* to, std::int32_t type) {
        buffer->retain();
        capture::sample_handler(to, to_handle(buffer.get()), type);
    }

    capture::StreamContext* context = nullptr;
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    platform::Ref<platform::CMSampleBuffer> buffer;
};

TEST_F(SampleHandlerTest, MatchingHandlersRunInOrderEachOwningOneReference) {
    add(logging_handler(log, "first", /*keep=*/true), SCStreamOutputType::Audio);
    add(logging_handler(log, "screen"), SCStreamOutputType::Screen);
    add(logging_handler(log, "second"), SCStreamOutputType::Audio);
    add(logging_handler(log, "third"), SCStreamOutputType::Audio);
    deliver(context, 1);
    ASSERT_EQ(log->calls.size(), 3u);
    EXPECT_EQ(log->calls[0].handler, "first");
    EXPECT_EQ(log->calls[1].handler, "second");
    EXPECT_EQ(log->calls[2].handler, "third");
    for (const Call& call : log->calls) EXPECT_EQ(call.type, SCStreamOutputType::Audio);
    // Ours, the first handler's, and the incoming one saved for the last handler.
    EXPECT_EQ(log->calls[0].references, 3u);
    // Ours, the kept one of the first handler, the second's, and the incoming one.
    EXPECT_EQ(log->calls[1].references, 4u);
    // The last handler got the incoming reference: no extra one was taken.
    EXPECT_EQ(log->calls[2].references, 3u);
    EXPECT_EQ(buffer->retain_count(), 2u) << "ours and the one the first handler kept";
    log->kept.clear();
    EXPECT_EQ(buffer->retain_count(), 1u);
}

TEST_F(SampleHandlerTest, UnmatchedUnknownOrContextlessBuffersAreReleased) {
    add(logging_handler(log, "microphone"), SCStreamOutputType::Microphone);
    StderrCapture err;
    deliver(context, 1);  // no handler for audio: released without a word
    deliver(context, 0);
    deliver(context, 7);
    deliver(context, -1);
    deliver(context, 3);
    deliver(context, -2147483647 - 1);
    deliver(nullptr, 1);
    capture::sample_handler(context, nullptr, 9);
    EXPECT_EQ(err.text(),
              "Unknown output type: 7\nUnknown output type: -1\nUnknown output type: 3\n"
              "Unknown output type: -2147483648\nUnknown output type: 9\n");
    EXPECT_TRUE(log->calls.empty());
    deliver(context, 2);
    ASSERT_EQ(log->calls.size(), 1u);
    EXPECT_EQ(log->calls[0].references, 2u);
    EXPECT_EQ(buffer->retain_count(), 1u);
}

TEST_F(SampleHandlerTest, FailingHandlerIsContainedAndTheNextStillRuns) {
    add(logging_handler(log, "first", false, /*fail=*/true), SCStreamOutputType::Audio);
    add(logging_handler(log, "second", /*keep=*/true, /*fail=*/true), SCStreamOutputType::Audio);
    add(logging_handler(log, "third"), SCStreamOutputType::Audio);
    StderrCapture err;
    deliver(context, 1);
    EXPECT_EQ(err.text(), guard_line("first failed") + guard_line("second failed"));
    ASSERT_EQ(log->calls.size(), 3u);
    EXPECT_EQ(log->calls[2].handler, "third");
    // The failed first handler's reference was given back while unwinding.
    EXPECT_EQ(log->calls[1].references, 3u);
    EXPECT_EQ(buffer->retain_count(), 2u) << "ours and the one the second handler kept";
    log->kept.clear();
    EXPECT_EQ(buffer->retain_count(), 1u);
}

// Dispatch through the bridge and the platform, on the queues the stream delivers on.
class StreamDispatchTest : public platform::scripted::ScriptedPlatformTest {
protected:
    void SetUp() override {
        ScriptedPlatformTest::SetUp();
        std::optional<capture::SCContentFilter> filter;
        ASSERT_NO_FATAL_FAILURE(capture_test::make_first_display_filter(filter));
        auto configuration = capture::SCStreamConfiguration().with_captures_audio(true);
        stream.emplace(*filter, configuration);
    }
    void TearDown() override {
        stream.reset();
        log.reset();
        ScriptedPlatformTest::TearDown();
    }

    void deliver(platform::CMSampleBuffer* buffer, platform::SCStreamOutputType type) {
        from_handle(stream->raw())->deliverSampleBuffer(buffer, type);
        platform::wait_idle();
    }

    std::optional<SCStream> stream;
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
};

TEST_F(StreamDispatchTest, TwoAudioHandlersShareOneRegistrationAndItsQueue) {
    const auto first =
        stream->add_output_handler(logging_handler(log, "first"), SCStreamOutputType::Audio);
    const auto second =
        stream->add_output_handler(logging_handler(log, "second"), SCStreamOutputType::Audio);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*second, *first + 1);
    EXPECT_EQ(bridge_testing::stream_output_types(stream->raw()), std::vector<int32_t>{1});

    auto buffer = capture_test::small_audio_buffer();
    deliver(buffer.get(), platform::SCStreamOutputType::Audio);
    deliver(buffer.get(), platform::SCStreamOutputType::Screen);  // nobody listens
    ASSERT_EQ(log->calls.size(), 2u);
    EXPECT_EQ(log->calls[0].handler, "first");
    EXPECT_EQ(log->calls[1].handler, "second");
    EXPECT_EQ(log->calls[0].queue, log->calls[1].queue);
    EXPECT_TRUE(log->calls[0].queue.ends_with("output.1")) << log->calls[0].queue;
    EXPECT_EQ(buffer->retain_count(), 1u) << "the count is back where the platform left it";
}

TEST_F(StreamDispatchTest, SecondRegistrationIsServedOnTheFirstRegistrationsQueue) {
    const capture::DispatchQueue first_queue("test.queue.first");
    const capture::DispatchQueue second_queue("test.queue.second");
    ASSERT_TRUE(stream->add_output_handler_with_queue(logging_handler(log, "first"),
                                                      SCStreamOutputType::Audio, &first_queue));
    ASSERT_TRUE(stream->add_output_handler_with_queue(logging_handler(log, "second"),
                                                      SCStreamOutputType::Audio, &second_queue));
    auto buffer = capture_test::small_audio_buffer();
    deliver(buffer.get(), platform::SCStreamOutputType::Audio);
    ASSERT_EQ(log->calls.size(), 2u);
    EXPECT_EQ(log->calls[0].queue, "test.queue.first");
    EXPECT_EQ(log->calls[1].queue, "test.queue.first");
}

TEST_F(StreamDispatchTest, RefusedRegistrationDestroysTheHandlerAtOnce) {
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    struct Probe : capture::SCStreamOutputTrait {
        explicit Probe(std::shared_ptr<std::atomic<bool>> flag) : destroyed(std::move(flag)) {}
        ~Probe() override { *destroyed = true; }
        void did_output_sample_buffer(CMSampleBuffer, SCStreamOutputType) override {}
        std::shared_ptr<std::atomic<bool>> destroyed;
    };
    backend->refuse_outputs("no outputs today");
    StderrCapture err;
    const auto id = stream->add_output_handler_with_queue(std::make_unique<Probe>(destroyed),
                                                          SCStreamOutputType::Audio, nullptr);
    EXPECT_FALSE(id.has_value());
    EXPECT_TRUE(*destroyed);
    EXPECT_EQ(err.text(), "");
    EXPECT_TRUE(stream->context()->handlers.empty());
}

// Buffers keep arriving on the capture queue while the main thread registers handlers and
// then lets the stream go; run under ThreadSanitizer this must stay silent.
TEST_F(StreamDispatchTest, DeliveryRacesRegistrationAndRelease) {
    auto counted = std::make_shared<std::atomic<int>>(0);
    ASSERT_TRUE(stream->add_output_handler(
        [counted](CMSampleBuffer, SCStreamOutputType) { ++*counted; }, SCStreamOutputType::Audio));
    ASSERT_TRUE(stream->start_capture().has_value());
    auto capture_handle = backend->last_capture();
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        const float frames[16] = {};
        while (!stop) capture_handle->push_audio(frames, 2, 48000);
    });
    // Registration must meet buffers already flowing.
    for (int i = 0; i < 5000 && counted->load() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(counted->load(), 0) << "no buffer arrived";
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(stream->add_output_handler(
            [counted](CMSampleBuffer b, SCStreamOutputType) {
                if (b) ++*counted;
            },
            SCStreamOutputType::Audio));
        std::this_thread::yield();
    }
    stream.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    producer.join();
    capture_handle.reset();
    platform::wait_idle();
}

}  // namespace
