// Shareable content and content filters through the bridge's C functions, and the end of the
// platform's lifetime.
#include <string>
#include <thread>
#include <vector>

#include "tests/bridge/bridge_test_support.h"
#include "tests/support/thread_count.h"

namespace {

using bridge_test::BridgeTest;
using bridge_test::CallRecorder;
using bridge_test::from_handle;
using bridge_test::to_handle;

platform::DisplayDescription display(std::uint32_t id) {
    platform::DisplayDescription d;
    d.display_id = id;
    return d;
}

TEST_F(BridgeTest, ContentRequestReturnsAtOnceAndAnswersOnceFromAWorker) {
    backend->set_content(platform::ContentDescription{}, 0);  // held until answered below
    CallRecorder recorder;
    sc_shareable_content_get_with_options(false, false, &CallRecorder::content, &recorder);
    for (int i = 0; i < 1000 && backend->held_content_requests() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(backend->held_content_requests(), 1u);
    EXPECT_TRUE(recorder.entries.empty());

    backend->answer_content(platform::ContentDescription{{display(5), display(6)}, {}, {}});
    ASSERT_TRUE(recorder.wait_for(1));
    platform::wait_idle();
    ASSERT_EQ(recorder.entries.size(), 1u);
    const auto& call = recorder.entries[0];
    EXPECT_NE(call.thread, std::this_thread::get_id());
    EXPECT_EQ(call.user_data, &recorder);
    EXPECT_FALSE(call.text.has_value());
    ASSERT_NE(call.content, nullptr);
    // The platform has let go of its own: the one reference left is the receiver's.
    EXPECT_EQ(from_handle(call.content)->retain_count(), 1u);

    ASSERT_EQ(sc_shareable_content_get_displays_count(call.content), 2);
    EXPECT_EQ(sc_shareable_content_get_display_at(call.content, -1), nullptr);
    EXPECT_EQ(sc_shareable_content_get_display_at(call.content, 2), nullptr);
    sc_display* second = sc_shareable_content_get_display_at(call.content, 1);
    const auto* platform_display = from_handle(second);
    ASSERT_NE(platform_display, nullptr);
    EXPECT_EQ(platform_display->displayID(), 6u);
    EXPECT_EQ(platform_display->retain_count(), 2u);  // the snapshot's and ours
    sc_display_release(second);
    sc_shareable_content_release(call.content);
}

TEST_F(BridgeTest, ContentFailureCarriesThePlatformsDescription) {
    backend->set_content(std::unexpected(std::string("Connection refused")));
    CallRecorder recorder;
    sc_shareable_content_get_with_options(false, false, &CallRecorder::content, &recorder);
    ASSERT_TRUE(recorder.wait_for(1));
    EXPECT_EQ(recorder.entries[0].content, nullptr);
    EXPECT_EQ(recorder.entries[0].text, "Content unavailable: Connection refused");
}

TEST_F(BridgeTest, ContentFlagsReachThePlatformInTheirOrder) {
    platform::WindowDescription desktop;
    desktop.window_id = 1;
    desktop.desktop = true;
    platform::WindowDescription hidden;
    hidden.window_id = 2;
    hidden.on_screen = false;
    backend->set_content(platform::ContentDescription{{display(1)}, {desktop, hidden}, {}});

    const auto window_ids = [](bool exclude_desktop, bool on_screen_only) {
        CallRecorder recorder;
        sc_shareable_content_get_with_options(exclude_desktop, on_screen_only,
                                              &CallRecorder::content, &recorder);
        EXPECT_TRUE(recorder.wait_for(1));
        std::vector<std::uint32_t> ids;
        for (const auto& w : from_handle(recorder.entries.at(0).content)->windows()) {
            ids.push_back(w->windowID());
        }
        sc_shareable_content_release(recorder.entries.at(0).content);
        return ids;
    };
    using Ids = std::vector<std::uint32_t>;
    EXPECT_EQ(window_ids(false, false), (Ids{1, 2}));
    EXPECT_EQ(window_ids(true, false), (Ids{2}));  // the desktop window goes
    EXPECT_EQ(window_ids(false, true), (Ids{1}));  // the hidden window goes
}

// A platform that answers twice is not hidden from the binding, whose completion cell
// reports and drops the duplicate; each answer carries a reference of its own.
TEST_F(BridgeTest, EveryPlatformAnswerIsPassedOnWithItsOwnReference) {
    backend->set_content(platform::ContentDescription{{display(1)}, {}, {}}, 2);
    CallRecorder recorder;
    sc_shareable_content_get_with_options(false, false, &CallRecorder::content, &recorder);
    ASSERT_TRUE(recorder.wait_for(2));
    platform::wait_idle();
    ASSERT_EQ(recorder.entries.size(), 2u);
    for (const auto& call : recorder.entries) sc_shareable_content_release(call.content);
}

TEST_F(BridgeTest, PlatformShutdownDropsTheBackendAndJoinsTheWorkers) {
    platform::shutdown();
    const std::size_t without_workers = test_support::resting_thread_count();
    backend->set_content(platform::ContentDescription{{display(1)}, {}, {}});
    CallRecorder before;
    sc_shareable_content_get_with_options(false, false, &CallRecorder::content, &before);
    ASSERT_TRUE(before.wait_for(1));
    ASSERT_NE(before.entries[0].content, nullptr);
    sc_shareable_content_release(before.entries[0].content);
    EXPECT_GT(test_support::thread_count(), without_workers);

    sc_platform_shutdown();
    EXPECT_EQ(test_support::thread_count_settled_at(without_workers), without_workers);
    EXPECT_EQ(platform::installed_backend(), nullptr);
    CallRecorder after;
    sc_shareable_content_get_with_options(false, false, &CallRecorder::content, &after);
    ASSERT_TRUE(after.wait_for(1));
    EXPECT_EQ(after.entries[0].content, nullptr);
    EXPECT_EQ(after.entries[0].text, "Content unavailable: No capture backend is installed");
}

class FilterTest : public BridgeTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        display_ = platform::make<platform::SCDisplay>(display(3));
        for (std::uint32_t id = 1; id <= 2; ++id) {
            platform::WindowDescription window;
            window.window_id = id;
            windows_.push_back(platform::make<platform::SCWindow>(window));
            applications_.push_back(
                platform::make<platform::SCRunningApplication>(platform::ApplicationDescription{}));
            window_handles_.push_back(to_handle(windows_.back().get()));
            application_handles_.push_back(to_handle(applications_.back().get()));
        }
    }
    void TearDown() override {
        // Every reference the bridge took is gone again: ours are the last.
        EXPECT_EQ(display_->retain_count(), 1u);
        for (const auto& w : windows_) EXPECT_EQ(w->retain_count(), 1u);
        for (const auto& a : applications_) EXPECT_EQ(a->retain_count(), 1u);
        display_.reset();
        windows_.clear();
        applications_.clear();
        BridgeTest::TearDown();
    }
    sc_display* display_handle() { return to_handle(display_.get()); }

    platform::Ref<platform::SCDisplay> display_;
    std::vector<platform::Ref<platform::SCWindow>> windows_;
    std::vector<platform::Ref<platform::SCRunningApplication>> applications_;
    std::vector<sc_window*> window_handles_;
    std::vector<sc_running_application*> application_handles_;
};

TEST_F(FilterTest, ExcludingWindowsRetainsWhatItKeeps) {
    sc_content_filter* filter = sc_content_filter_create_with_display_excluding_windows(
        display_handle(), window_handles_.data(), 2);
    const auto* built = from_handle(filter);
    ASSERT_NE(built, nullptr);
    EXPECT_EQ(built->style(), platform::SCContentFilter::Style::DisplayExcludingWindows);
    EXPECT_EQ(built->display(), display_.get());
    ASSERT_EQ(built->windows().size(), 2u);
    EXPECT_EQ(built->windows()[1].get(), windows_[1].get());
    EXPECT_EQ(display_->retain_count(), 2u);
    EXPECT_EQ(windows_[0]->retain_count(), 2u);
    EXPECT_EQ(built->retain_count(), 1u);
    sc_content_filter_release(filter);
}

TEST_F(FilterTest, MissingOrOddWindowListsBuildFewerWindows) {
    sc_window* const with_null[] = {nullptr, window_handles_[1]};
    const struct {
        sc_window* const* array;
        int64_t count;
        std::size_t expected;
    } cases[] = {{nullptr, 0, 0},
                 {nullptr, 3, 0},
                 {window_handles_.data(), -2, 0},
                 {with_null, 2, 1}};  // a null entry is left out
    for (const auto& c : cases) {
        sc_content_filter* filter = sc_content_filter_create_with_display_excluding_windows(
            display_handle(), c.array, c.count);
        EXPECT_EQ(from_handle(filter)->windows().size(), c.expected) << "count " << c.count;
        sc_content_filter_release(filter);
    }
}

TEST_F(FilterTest, OtherConstructorsBuildTheirKinds) {
    using Style = platform::SCContentFilter::Style;
    sc_content_filter* const filters[] = {
        sc_content_filter_create_with_desktop_independent_window(window_handles_[0]),
        sc_content_filter_create_with_display_including_windows(display_handle(),
                                                                window_handles_.data(), 1),
        sc_content_filter_create_with_display_including_applications_excepting_windows(
            display_handle(), application_handles_.data(), 2, window_handles_.data(), 1),
        sc_content_filter_create_with_display_excluding_applications_excepting_windows(
            display_handle(), application_handles_.data(), 1, nullptr, 0)};
    const struct {
        Style style;
        std::size_t windows, applications;
    } expected[] = {{Style::DesktopIndependentWindow, 1, 0},
                    {Style::DisplayIncludingWindows, 1, 0},
                    {Style::DisplayIncludingApplications, 1, 2},
                    {Style::DisplayExcludingApplications, 0, 1}};
    for (std::size_t i = 0; i < std::size(filters); ++i) {
        const auto* built = from_handle(filters[i]);
        EXPECT_EQ(built->style(), expected[i].style) << i;
        EXPECT_EQ(built->windows().size(), expected[i].windows) << i;
        EXPECT_EQ(built->applications().size(), expected[i].applications) << i;
        sc_content_filter_release(filters[i]);
    }
}

}  // namespace
