#include "capture/shareable_content.h"

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "capture/sync_completion.h"
#include "tests/capture/platform_handles.h"
#include "tests/capture/stderr_redirect.h"
#include "tests/support/scripted_fixture.h"

namespace {

using capture::SCShareableContent;
using capture_test::from_handle;
using capture_test::StderrCapture;

class ShareableContentTest : public platform::scripted::ScriptedPlatformTest {
protected:
    static platform::DisplayDescription display(std::uint32_t id) {
        platform::DisplayDescription d;
        d.display_id = id;
        d.source = "source-" + std::to_string(id);
        return d;
    }
};

TEST_F(ShareableContentTest, DisplaysComeInThePlatformsOrderWithOwnReferences) {
    backend->set_displays({display(7), display(3), display(9)});
    auto content = SCShareableContent::get();
    ASSERT_TRUE(content.has_value()) << content.error().to_string();
    const auto displays = content->displays();
    ASSERT_EQ(displays.size(), 3u);
    EXPECT_EQ(from_handle(displays[0].raw())->displayID(), 7u);
    EXPECT_EQ(from_handle(displays[1].raw())->displayID(), 3u);
    EXPECT_EQ(from_handle(displays[2].raw())->displayID(), 9u);
    // The snapshot holds one reference, each listed display one more.
    EXPECT_EQ(from_handle(displays[0].raw())->retain_count(), 2u);
    {
        const auto again = content->displays();
        EXPECT_EQ(from_handle(again[0].raw())->retain_count(), 3u);
    }
    EXPECT_EQ(from_handle(displays[0].raw())->retain_count(), 2u);
}

TEST_F(ShareableContentTest, NoDisplaysIsAnEmptyList) {
    backend->set_displays({});
    auto content = SCShareableContent::get();
    ASSERT_TRUE(content.has_value());
    EXPECT_TRUE(content->displays().empty());
}

TEST_F(ShareableContentTest, RefusalCarriesThePlatformsDescription) {
    backend->set_content(std::unexpected(std::string("Connection refused")));
    auto content = SCShareableContent::get();
    ASSERT_FALSE(content.has_value());
    EXPECT_EQ(content.error().to_string(),
              "No shareable content available: Content unavailable: Connection refused");
}

TEST_F(ShareableContentTest, HeldAnswerWakesTheWaitingCaller) {
    backend->set_content(platform::ContentDescription{{display(1)}, {}, {}}, 0);
    auto pending = std::async(std::launch::async, [] { return SCShareableContent::get(); });
    for (int i = 0; i < 500 && backend->held_content_requests() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(backend->held_content_requests(), 1u);
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    backend->answer_content(platform::ContentDescription{{display(4)}, {}, {}});
    auto content = pending.get();
    ASSERT_TRUE(content.has_value());
    ASSERT_EQ(content->displays().size(), 1u);
    EXPECT_EQ(from_handle(content->displays()[0].raw())->displayID(), 4u);
}

TEST_F(ShareableContentTest, DuplicateAnswerIsReportedOnceAndItsContentReleased) {
    backend->set_content(platform::ContentDescription{{display(1)}, {}, {}}, 2);
    StderrCapture err;
    {
        auto content = SCShareableContent::get();
        ASSERT_TRUE(content.has_value());
        platform::wait_idle();
    }
    EXPECT_EQ(err.text(), std::string(capture::DUPLICATE_COMPLETION_LINE));
    // The fixture proves that the duplicate's content reference was given back.
}

// The completion as the bridge calls it, for answers a well-behaved bridge never gives.
TEST_F(ShareableContentTest, CallbackTurnsOddAnswersIntoResults) {
    using Completion = capture::SyncCompletion<SCShareableContent>;
    const auto content_handle = [] {
        return capture_test::to_handle(platform::make<platform::SCShareableContent>(
                                           platform::ContentDescription{}, false, false)
                                           .leak());
    };
    {
        auto [waiter, user_data] = Completion::create();
        capture::shareable_content_callback(nullptr, nullptr, user_data);
        auto result = std::move(waiter).wait();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), "Unknown error");
    }
    {
        auto [waiter, user_data] = Completion::create();
        capture::shareable_content_callback(nullptr, "Content unavailable: \xFF", user_data);
        auto result = std::move(waiter).wait();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), "Unknown error");
    }
    {
        // A text wins over a content, whose reference must still be given back.
        auto [waiter, user_data] = Completion::create();
        capture::shareable_content_callback(content_handle(), "both", user_data);
        auto result = std::move(waiter).wait();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), "both");
    }
    // No user data: the content is released, nothing printed.
    StderrCapture err;
    capture::shareable_content_callback(content_handle(), nullptr, nullptr);
    EXPECT_EQ(err.text(), "");
}

}  // namespace
