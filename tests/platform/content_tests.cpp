// Shareable content, content filters, configurations and the platform's audio buffer list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/model/backend.h"
#include "platform/model/content_filter.h"
#include "platform/model/sample_buffer.h"
#include "platform/model/shareable_content.h"
#include "platform/model/stream_configuration.h"
#include "tests/platform/recorder.h"
#include "tests/support/scripted_fixture.h"

namespace platform {
namespace {

using testing::Recorder;

struct ContentAnswer {
    Ref<SCShareableContent> content;
    std::optional<std::string> error;
    std::int64_t code = 0;
    std::string domain;
    bool on_worker = false;
};

class ContentTest : public scripted::ScriptedPlatformTest {
protected:
    void request(bool exclude_desktop = false, bool on_screen_only = false) {
        SCShareableContent::getShareableContentExcludingDesktopWindows(
            exclude_desktop, on_screen_only, [this](SCShareableContent* content, NSError* error) {
                ContentAnswer a;
                a.content = Ref<SCShareableContent>::retain(content);
                if (error != nullptr) {
                    a.error = error->localizedDescription();
                    a.code = error->code();
                    a.domain = error->domain();
                }
                a.on_worker = on_worker_thread();
                answers.add(std::move(a));
            });
    }
    void TearDown() override {
        answers.clear();
        ScriptedPlatformTest::TearDown();
    }
    Recorder<ContentAnswer> answers;
};

TEST_F(ContentTest, AnswersOnceOnAWorkerWithTheBackendsDisplaysInOrder) {
    backend->set_displays({{7, "sink.default"}, {9, "sink.other"}});
    request();
    ASSERT_TRUE(answers.wait_for(1));
    wait_idle();
    const auto all = answers.values();
    ASSERT_EQ(all.size(), 1u);
    const ContentAnswer& a = all.front();
    EXPECT_TRUE(a.on_worker);
    EXPECT_FALSE(a.error);
    ASSERT_TRUE(a.content);
    const auto& displays = a.content->displays();
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_EQ(displays[0]->displayID(), 7u);
    EXPECT_EQ(displays[0]->source(), "sink.default");
    EXPECT_EQ(displays[1]->source(), "sink.other");
    // The same array, with the same objects, on every read.
    EXPECT_EQ(&a.content->displays(), &displays);
    EXPECT_EQ(a.content->displays()[1].get(), displays[1].get());
}

TEST_F(ContentTest, WindowFlagsFilterTheSnapshot) {
    ContentDescription description;
    description.displays = {{1, "s"}};
    description.windows = {
        {1, "desktop", true, true}, {2, "hidden", false, false}, {3, "shown", true, false}};
    backend->set_content(description);
    request(true, true);
    request(false, false);
    ASSERT_TRUE(answers.wait_for(2));
    std::vector<std::size_t> counts;
    for (const auto& a : answers.values()) counts.push_back(a.content->windows().size());
    std::sort(counts.begin(), counts.end());
    EXPECT_EQ(counts, (std::vector<std::size_t>{1, 3}));
}

TEST_F(ContentTest, FailuresCarryTheBackendsTextInTheStreamDomain) {
    backend->set_content(std::unexpected(std::string("Connection refused")));
    request();
    ASSERT_TRUE(answers.wait_for(1));
    const ContentAnswer a = answers.values().front();
    EXPECT_FALSE(a.content);
    EXPECT_EQ(a.error, "Connection refused");
    EXPECT_EQ(a.domain, SCStreamErrorDomain);

    install_backend(nullptr);
    request();
    ASSERT_TRUE(answers.wait_for(2));
    EXPECT_EQ(answers.values()[1].error, "No capture backend is installed");
}

// A failure's description: the conditions the helper names in its own words, whichever library
// reports them and in whatever wording; any other failure in the library's text; a backend's
// detail after the library's text stays.
TEST(BackendErrorTest, NamedCodesOfEitherLibraryTakeTheHelpersWordsAndOthersTheLibrarysText) {
    const struct {
        BackendError error;
        std::string description;
    } cases[] = {
        // A condition's errno, whatever the library's wording (libpulse may be translated).
        {{-ECONNREFUSED, std::strerror(ECONNREFUSED)}, "Connection refused"},
        {{-EPIPE, std::strerror(EPIPE)}, "Connection terminated"},
        {{-EPIPE, "Verbindung beendet"}, "Connection terminated"},
        {{-ETIMEDOUT, std::strerror(ETIMEDOUT)}, "Timeout"},
        {{-ENOENT, std::strerror(ENOENT)}, "No such entity"},
        {{-EINVAL, std::string(std::strerror(EINVAL)) + ": 0 Hz, 9 channels"},
         "Invalid argument: 0 Hz, 9 channels"},
        {{-EACCES, std::strerror(EACCES)}, std::strerror(EACCES)},
        {{-EHOSTDOWN, std::strerror(EHOSTDOWN)}, std::strerror(EHOSTDOWN)},
        {{7, "Bad authentication key"}, "Bad authentication key"},
        // The helper's own failures: no code, their words as they are.
        {{"The capture ended before it started"}, "The capture ended before it started"},
        {{std::strerror(ENOENT)}, std::strerror(ENOENT)},
    };
    for (const auto& c : cases) {
        const auto error = stream_error(SCStreamErrorFailedToStart, c.error);
        EXPECT_EQ(error->localizedDescription(), c.description)
            << c.error.code << " " << c.error.text;
    }
}

// The content request's error carries that description.
TEST_F(ContentTest, ACodedFailureIsDescribedInTheHelpersWords) {
    backend->set_content(std::unexpected(BackendError(-EPIPE, std::strerror(EPIPE))));
    request();
    ASSERT_TRUE(answers.wait_for(1));
    EXPECT_EQ(answers.values().front().error, "Connection terminated");
}

TEST_F(ContentTest, HeldRequestsWaitForTheTestAndForgottenOnesStillComplete) {
    backend->set_content(ContentDescription{}, 0);
    request();
    request();
    wait_idle();
    EXPECT_EQ(answers.size(), 0u);
    EXPECT_EQ(backend->held_content_requests(), 2u);
    EXPECT_EQ(backend->content_requests(), 2u);

    // Answered twice each: duplicates reach the handler.
    backend->answer_content(ContentDescription{}, 2);
    ASSERT_TRUE(answers.wait_for(4));
    for (const auto& a : answers.values()) {
        ASSERT_TRUE(a.content);
        EXPECT_TRUE(a.content->displays().empty());
    }

    request();
    backend->drop_held_content();
    ASSERT_TRUE(answers.wait_for(5));
    EXPECT_EQ(answers.values()[4].error, "The capture backend did not answer");
}

TEST_F(ContentTest, FiltersRetainWhatTheyKeep) {
    auto display = make<SCDisplay>(DisplayDescription{3, "s"});
    auto window = make<SCWindow>(WindowDescription{5, "w", true, false});
    auto application = make<SCRunningApplication>(ApplicationDescription{42, "a"});
    SCWindow* windows[] = {window.get()};
    SCRunningApplication* applications[] = {application.get()};

    auto excluding = SCContentFilter::initWithDisplayExcludingWindows(display.get(), windows);
    auto including = SCContentFilter::initWithDisplayIncludingApplicationsExceptingWindows(
        display.get(), applications, {});
    auto lone = SCContentFilter::initWithDesktopIndependentWindow(window.get());
    display.reset();
    window.reset();
    application.reset();
    // Still alive through the filters.
    EXPECT_EQ(live_objects(Kind::Display), 1u);
    EXPECT_EQ(live_objects(Kind::Window), 1u);
    EXPECT_EQ(live_objects(Kind::RunningApplication), 1u);

    EXPECT_EQ(excluding->style(), SCContentFilter::Style::DisplayExcludingWindows);
    EXPECT_EQ(excluding->display()->displayID(), 3u);
    ASSERT_EQ(excluding->windows().size(), 1u);
    EXPECT_EQ(including->applications().front()->processID(), 42);
    EXPECT_TRUE(including->windows().empty());
    EXPECT_EQ(lone->display(), nullptr);
    EXPECT_EQ(lone->windows().front()->windowID(), 5u);
}

TEST_F(ContentTest, ConfigurationStoresValuesUnchanged) {
    auto configuration = SCStreamConfiguration::init();
    EXPECT_EQ(configuration->pixelFormat(), kCVPixelFormatType_32BGRA);
    configuration->setSampleRate(-5);
    configuration->setChannelCount(0);
    configuration->setExcludesCurrentProcessAudio(true);
    const StreamSettings settings = configuration->settings();
    EXPECT_EQ(settings.sampleRate, -5);
    EXPECT_EQ(settings.channelCount, 0);
    EXPECT_TRUE(settings.excludesCurrentProcessAudio);
}

// The platform side of reading audio: size query, fill, and the ways a fill fails.
TEST_F(ContentTest, AudioBufferListQueryAndFill) {
    const float planes[2][3] = {{1, 2, 3}, {4, 5, 6}};
    const std::span<const float> channels[] = {planes[0], planes[1]};
    auto buffer = scripted::planar_float_buffer(channels, 44100);
    EXPECT_EQ(buffer->numSamples(), 3);

    std::size_t needed = 0;
    ASSERT_EQ(CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
                  buffer.get(), &needed, nullptr, 0, nullptr, nullptr, 0, nullptr),
              noErr);
    EXPECT_EQ(needed, AudioBufferList::size_for(2));

    std::vector<std::max_align_t> storage(needed / sizeof(std::max_align_t) + 1);
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    CMBlockBuffer* block = nullptr;
    EXPECT_EQ(CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
                  buffer.get(), nullptr, list, needed - 1, nullptr, nullptr, 0, &block),
              kCMSampleBufferError_ArrayTooSmall);
    EXPECT_EQ(block, nullptr);

    ASSERT_EQ(CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
                  buffer.get(), nullptr, list, needed, nullptr, nullptr, 0, &block),
              noErr);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block, buffer->dataBuffer());
    EXPECT_EQ(block->retain_count(), 2u);  // the sample buffer's and the caller's
    ASSERT_EQ(list->number_buffers, 2u);
    float second[3];
    ASSERT_EQ(list->buffers()[1].data_byte_size, sizeof second);
    std::memcpy(second, list->buffers()[1].data, sizeof second);
    EXPECT_EQ(second[2], 6.0f);
    EXPECT_EQ(list->buffers()[0].number_channels, 1u);
    block->release();

    buffer->setFillStatusForTesting(-1);
    EXPECT_EQ(CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
                  buffer.get(), nullptr, list, needed, nullptr, nullptr, 0, &block),
              -1);
    EXPECT_EQ(block, nullptr);

    auto silent = CMSampleBuffer::createWithoutAudio();
    needed = 99;
    EXPECT_EQ(CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
                  silent.get(), &needed, nullptr, 0, nullptr, nullptr, 0, nullptr),
              kCMSampleBufferError_InvalidMediaFormat);
    EXPECT_EQ(needed, 0u);
}

}  // namespace
}  // namespace platform
