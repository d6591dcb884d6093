// Linked with --wrap=sc_stream_create, so a test can give the binding a stream the bridge
// keeps no state for, or no stream at all.
#include <atomic>
#include <memory>

#include <gtest/gtest.h>

#include "capture/shareable_content.h"
#include "capture/stream.h"
#include "tests/capture/first_display_filter.h"
#include "tests/capture/platform_handles.h"
#include "tests/support/scripted_fixture.h"

namespace {

enum class CreateMode { Real, Null, Stateless };
std::atomic<CreateMode> create_mode{CreateMode::Real};

}  // namespace

extern "C" {
sc_stream* __real_sc_stream_create(sc_content_filter*, sc_stream_configuration*, void*,
                                   sc_stream_error_callback, sc_stream_sample_buffer_callback,
                                   sc_context_callback, sc_context_callback);
sc_stream* __wrap_sc_stream_create(sc_content_filter* filter,
                                   sc_stream_configuration* configuration, void* context,
                                   sc_stream_error_callback error_callback,
                                   sc_stream_sample_buffer_callback sample_callback,
                                   sc_context_callback retain, sc_context_callback release) {
    switch (create_mode.load()) {
        case CreateMode::Null:
            return nullptr;
        case CreateMode::Stateless:
            // A platform stream the bridge never heard of.
            return capture_test::to_handle(platform::SCStream::initWithFilter(
                                               capture_test::from_handle(filter), nullptr, nullptr)
                                               .leak());
        case CreateMode::Real:
            break;
    }
    return __real_sc_stream_create(filter, configuration, context, error_callback, sample_callback,
                                   retain, release);
}
}

namespace {

using capture::CMSampleBuffer;
using capture::SCStreamOutputType;

struct Probe : capture::SCStreamOutputTrait {
    explicit Probe(std::shared_ptr<std::atomic<int>> d) : destroyed(std::move(d)) {}
    ~Probe() override { ++*destroyed; }
    void did_output_sample_buffer(CMSampleBuffer, SCStreamOutputType) override {}
    std::shared_ptr<std::atomic<int>> destroyed;
};

class StreamWithoutStateTest : public platform::scripted::ScriptedPlatformTest {
protected:
    void SetUp() override {
        ScriptedPlatformTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(capture_test::make_first_display_filter(filter));
        configuration.emplace();
    }
    void TearDown() override {
        create_mode = CreateMode::Real;
        configuration.reset();
        filter.reset();
        ScriptedPlatformTest::TearDown();
    }
    std::optional<capture::SCContentFilter> filter;
    std::optional<capture::SCStreamConfiguration> configuration;
    std::shared_ptr<std::atomic<int>> destroyed = std::make_shared<std::atomic<int>>(0);
};

TEST_F(StreamWithoutStateTest, RegistrationIsRefusedAndTheHandlerDestroyed) {
    create_mode = CreateMode::Stateless;
    capture::SCStream stream(*filter, *configuration);
    ASSERT_NE(stream.raw(), nullptr);
    const auto before = capture::NEXT_HANDLER_ID.load();
    EXPECT_FALSE(stream.add_output_handler_with_queue(std::make_unique<Probe>(destroyed),
                                                      SCStreamOutputType::Audio, nullptr));
    EXPECT_EQ(*destroyed, 1);
    EXPECT_EQ(capture::NEXT_HANDLER_ID.load(), before + 1) << "a refusal uses up its id";
    EXPECT_TRUE(stream.context()->handlers.empty());
}

TEST_F(StreamWithoutStateTest, NullStreamRefusesAndStillFreesItsContext) {
    struct DelegateProbe : capture::SCStreamDelegateTrait {
        explicit DelegateProbe(std::shared_ptr<std::atomic<int>> d) : destroyed(std::move(d)) {}
        ~DelegateProbe() override { ++*destroyed; }
        std::shared_ptr<std::atomic<int>> destroyed;
    };
    create_mode = CreateMode::Null;
    auto delegate_gone = std::make_shared<std::atomic<int>>(0);
    auto stream = std::make_optional<capture::SCStream>(
        *filter, *configuration, std::make_unique<DelegateProbe>(delegate_gone));
    EXPECT_EQ(stream->raw(), nullptr);
    EXPECT_EQ(stream->context()->ref_count.load(), 1u);
    EXPECT_FALSE(stream->add_output_handler_with_queue(std::make_unique<Probe>(destroyed),
                                                       SCStreamOutputType::Audio, nullptr));
    EXPECT_EQ(*destroyed, 1);
    const auto started = stream->start_capture();
    ASSERT_FALSE(started.has_value());
    EXPECT_TRUE(started.error().is<capture::SCError::CaptureStartFailed>());
    stream.reset();
    EXPECT_EQ(*delegate_gone, 1) << "the value's context reference was not dropped";
}

}  // namespace
