// Linked with --wrap for two bridge functions, so the tests can see exactly what the
// binding hands over and can make a display lookup fail.
#include "capture/content_filter.h"

#include <atomic>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "capture/shareable_content.h"
#include "tests/capture/platform_handles.h"
#include "tests/support/scripted_fixture.h"

namespace {

struct ExcludingCall {
    const void* windows;
    int64_t count;
};
std::optional<ExcludingCall> last_excluding_call;
std::atomic<bool> null_display_at_zero{false};

}  // namespace

extern "C" {
sc_content_filter* __real_sc_content_filter_create_with_display_excluding_windows(sc_display*,
                                                                                  sc_window* const*,
                                                                                  int64_t);
sc_content_filter* __wrap_sc_content_filter_create_with_display_excluding_windows(
    sc_display* display, sc_window* const* windows, int64_t count) {
    last_excluding_call = ExcludingCall{windows, count};
    return __real_sc_content_filter_create_with_display_excluding_windows(display, windows, count);
}
sc_display* __real_sc_shareable_content_get_display_at(sc_shareable_content*, int64_t);
sc_display* __wrap_sc_shareable_content_get_display_at(sc_shareable_content* content,
                                                       int64_t index) {
    if (index == 0 && null_display_at_zero) return nullptr;
    return __real_sc_shareable_content_get_display_at(content, index);
}
}

namespace {

using capture::SCContentFilter;
using capture::SCContentFilterBuilder;
using capture::SCDisplay;
using capture::SCRunningApplication;
using capture::SCShareableContent;
using capture::SCWindow;
using capture_test::from_handle;
using Style = platform::SCContentFilter::Style;

class ContentFilterTest : public platform::scripted::ScriptedPlatformTest {
protected:
    void SetUp() override {
        ScriptedPlatformTest::SetUp();
        last_excluding_call.reset();
        null_display_at_zero = false;
        std::vector<platform::DisplayDescription> displays(2);
        displays[0].display_id = 1;
        displays[1].display_id = 2;
        backend->set_displays(displays);
        auto got = SCShareableContent::get();
        ASSERT_TRUE(got.has_value());
        content.emplace(std::move(*got));
        displays_ = content->displays();
        ASSERT_EQ(displays_.size(), 2u);
    }
    void TearDown() override {
        // The wrapper serves every test of the binary: it passes calls on again.
        null_display_at_zero = false;
        displays_.clear();
        content.reset();
        ScriptedPlatformTest::TearDown();
    }

    static std::vector<uint32_t> window_ids(const platform::SCContentFilter* filter) {
        std::vector<uint32_t> ids;
        for (const auto& w : filter->windows()) ids.push_back(w->windowID());
        return ids;
    }
    static std::vector<int32_t> application_pids(const platform::SCContentFilter* filter) {
        std::vector<int32_t> pids;
        for (const auto& a : filter->applications()) pids.push_back(a->processID());
        return pids;
    }

    std::optional<SCShareableContent> content;
    std::vector<SCDisplay> displays_;
};

TEST_F(ContentFilterTest, FreshBuilderFailsWithTheConfigurationText) {
    auto filter = SCContentFilterBuilder().try_build();
    ASSERT_FALSE(filter.has_value());
    EXPECT_EQ(filter.error().to_string(),
              "Invalid configuration: SCContentFilterBuilder: No filter type set. Call .display() "
              "or .window() before building.");
}

TEST_F(ContentFilterTest, FirstDisplayFilterGetsNullWindowArrayAndCountZero) {
    auto filter =
        SCContentFilterBuilder().with_display(displays_[0]).with_excluding_windows({}).try_build();
    ASSERT_TRUE(filter.has_value());
    ASSERT_TRUE(last_excluding_call.has_value());
    EXPECT_EQ(last_excluding_call->windows, nullptr);
    EXPECT_EQ(last_excluding_call->count, 0);
    const auto* built = from_handle(filter->raw());
    EXPECT_EQ(built->style(), Style::DisplayExcludingWindows);
    EXPECT_EQ(built->display(), from_handle(displays_[0].raw()));
    EXPECT_TRUE(built->windows().empty());
    // Ours, the snapshot's and the filter's; the builder kept none.
    EXPECT_EQ(from_handle(displays_[0].raw())->retain_count(), 3u);
}

TEST_F(ContentFilterTest, WindowsGivenBeforeTheDisplayAreIgnored) {
    const SCWindow w1(capture_test::new_window_handle(11));
    auto filter = SCContentFilterBuilder()
                      .with_excluding_windows({w1})
                      .with_display(displays_[0])
                      .try_build();
    ASSERT_TRUE(filter.has_value());
    EXPECT_TRUE(from_handle(filter->raw())->windows().empty());
    EXPECT_EQ(last_excluding_call->windows, nullptr);
    EXPECT_EQ(from_handle(w1.raw())->retain_count(), 1u);
}

TEST_F(ContentFilterTest, SecondDisplayReplacesTheFirstAndReleasesIt) {
    auto builder = SCContentFilterBuilder().with_display(displays_[0]);
    EXPECT_EQ(from_handle(displays_[0].raw())->retain_count(), 3u);
    builder = std::move(builder).with_display(displays_[1]);
    EXPECT_EQ(from_handle(displays_[0].raw())->retain_count(), 2u);
    auto filter = std::move(builder).try_build();
    ASSERT_TRUE(filter.has_value());
    EXPECT_EQ(from_handle(filter->raw())->display(), from_handle(displays_[1].raw()));
}

TEST_F(ContentFilterTest, ExcludedWindowsArePassedInOrderAndReplacedNotAppended) {
    const SCWindow w1(capture_test::new_window_handle(1));
    const SCWindow w2(capture_test::new_window_handle(2));
    const SCWindow w3(capture_test::new_window_handle(3));
    auto builder = SCContentFilterBuilder().with_display(displays_[0]).with_excluding_windows({w1});
    EXPECT_EQ(from_handle(w1.raw())->retain_count(), 2u);
    builder = std::move(builder).with_excluding_windows({w3, w2});
    EXPECT_EQ(from_handle(w1.raw())->retain_count(), 1u) << "replaced window not released";
    EXPECT_EQ(from_handle(w2.raw())->retain_count(), 2u);
    auto filter = std::move(builder).try_build();
    ASSERT_TRUE(filter.has_value());
    EXPECT_EQ(last_excluding_call->count, 2);
    EXPECT_NE(last_excluding_call->windows, nullptr);
    EXPECT_EQ(window_ids(from_handle(filter->raw())), (std::vector<uint32_t>{3, 2}));
    // Ours and the filter's: the builder gave its references back.
    EXPECT_EQ(from_handle(w2.raw())->retain_count(), 2u);
    EXPECT_EQ(from_handle(w3.raw())->retain_count(), 2u);
}

TEST_F(ContentFilterTest, EveryKindReachesItsConstructor) {
    const SCWindow w1(capture_test::new_window_handle(1));
    const SCWindow w2(capture_test::new_window_handle(2));
    const SCRunningApplication a1(capture_test::new_application_handle(101));
    const SCRunningApplication a2(capture_test::new_application_handle(102));

    auto window_only =
        SCContentFilterBuilder().with_display(displays_[0]).with_window(w1).try_build();
    ASSERT_TRUE(window_only.has_value());
    EXPECT_EQ(from_handle(window_only->raw())->style(), Style::DesktopIndependentWindow);
    EXPECT_EQ(from_handle(displays_[0].raw())->retain_count(), 2u);

    auto including = SCContentFilterBuilder()
                         .with_display(displays_[1])
                         .with_including_windows({w2, w1})
                         .try_build();
    ASSERT_TRUE(including.has_value());
    EXPECT_EQ(from_handle(including->raw())->style(), Style::DisplayIncludingWindows);
    EXPECT_EQ(from_handle(including->raw())->display(), from_handle(displays_[1].raw()));
    EXPECT_EQ(window_ids(from_handle(including->raw())), (std::vector<uint32_t>{2, 1}));

    auto with_apps = SCContentFilterBuilder()
                         .with_display(displays_[0])
                         .with_including_applications({a2, a1}, {w1})
                         .try_build();
    ASSERT_TRUE(with_apps.has_value());
    EXPECT_EQ(from_handle(with_apps->raw())->style(), Style::DisplayIncludingApplications);
    EXPECT_EQ(application_pids(from_handle(with_apps->raw())), (std::vector<int32_t>{102, 101}));
    EXPECT_EQ(window_ids(from_handle(with_apps->raw())), (std::vector<uint32_t>{1}));

    auto without_apps = SCContentFilterBuilder()
                            .with_display(displays_[0])
                            .with_excluding_applications({a1}, {})
                            .try_build();
    ASSERT_TRUE(without_apps.has_value());
    EXPECT_EQ(from_handle(without_apps->raw())->style(), Style::DisplayExcludingApplications);
    EXPECT_EQ(application_pids(from_handle(without_apps->raw())), (std::vector<int32_t>{101}));
    EXPECT_TRUE(from_handle(without_apps->raw())->windows().empty());

    // Application kinds need a display: without one nothing is chosen.
    EXPECT_FALSE(SCContentFilterBuilder().with_including_applications({a1}, {}).try_build());

    // Each handle is held by us plus the filters that use it; the builders kept nothing.
    EXPECT_EQ(from_handle(w1.raw())->retain_count(), 4u);
    EXPECT_EQ(from_handle(a1.raw())->retain_count(), 3u);
    EXPECT_EQ(from_handle(a2.raw())->retain_count(), 2u);
}

TEST_F(ContentFilterTest, DisplayLookupsThatFailAreSkipped) {
    null_display_at_zero = true;
    const auto list = content->displays();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(from_handle(list[0].raw())->displayID(), 2u);
}

}  // namespace
