// Shareable content and content filters through the bridge's C functions.
#include <string>
#include <thread>
#include <vector>

#include "tests/bridge/bridge_test_support.h"

namespace {

using bridge_test::BridgeTest;
using bridge_test::CallRecorder;
using bridge_test::platform_of;

platform::SCShareableContent* content_of(void* handle) {
  return static_cast<platform::SCShareableContent*>(handle);
}

platform::DisplayDescription display(std::uint32_t id) {
  platform::DisplayDescription d;
  d.display_id = id;
  d.source = "source-" + std::to_string(id);
  return d;
}

TEST_F(BridgeTest, ContentRequestReturnsAtOnceAndAnswersOnceFromAWorker) {
  backend->set_content(platform::ContentDescription{{display(5), display(6)}, {}, {}}, 0);
  CallRecorder recorder;
  sc_shareable_content_get_with_options(false, false, &CallRecorder::content, &recorder);
  for (int i = 0; i < 1000 && backend->held_content_requests() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(backend->held_content_requests(), 1u);
  EXPECT_TRUE(recorder.calls.empty());

  backend->answer_content(platform::ContentDescription{{display(5), display(6)}, {}, {}});
  ASSERT_TRUE(recorder.wait_for(1));
  platform::wait_idle();
  ASSERT_EQ(recorder.calls.size(), 1u);
  const auto& call = recorder.calls[0];
  EXPECT_NE(call.thread, std::this_thread::get_id());
  EXPECT_EQ(call.user_data, &recorder);
  EXPECT_FALSE(call.text.has_value());
  ASSERT_NE(call.content, nullptr);
  // The platform has let go of its own: the one reference left is the receiver's.
  EXPECT_EQ(content_of(call.content)->retain_count(), 1u);

  auto* content = static_cast<sc_shareable_content*>(call.content);
  ASSERT_EQ(sc_shareable_content_get_displays_count(content), 2);
  EXPECT_EQ(sc_shareable_content_get_display_at(content, -1), nullptr);
  EXPECT_EQ(sc_shareable_content_get_display_at(content, 2), nullptr);
  sc_display* second = sc_shareable_content_get_display_at(content, 1);
  ASSERT_NE(second, nullptr);
  const auto* platform_display = reinterpret_cast<platform::SCDisplay*>(second);
  EXPECT_EQ(platform_display->displayID(), 6u);
  EXPECT_EQ(platform_display->retain_count(), 2u);  // the snapshot's and ours
  EXPECT_EQ(sc_display_retain(second), second);
  EXPECT_EQ(platform_display->retain_count(), 3u);
  sc_display_release(second);
  sc_display_release(second);
  sc_shareable_content_release(content);
}

TEST_F(BridgeTest, ContentFailureCarriesThePlatformsDescription) {
  backend->set_content(std::unexpected(std::string("Connection refused")));
  CallRecorder recorder;
  sc_shareable_content_get_with_options(false, false, &CallRecorder::content, &recorder);
  ASSERT_TRUE(recorder.wait_for(1));
  platform::wait_idle();
  ASSERT_EQ(recorder.calls.size(), 1u);
  EXPECT_EQ(recorder.calls[0].content, nullptr);
  EXPECT_EQ(recorder.calls[0].text, "Content unavailable: Connection refused");
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
    sc_shareable_content_get_with_options(exclude_desktop, on_screen_only, &CallRecorder::content,
                                          &recorder);
    EXPECT_TRUE(recorder.wait_for(1));
    auto* content = static_cast<sc_shareable_content*>(recorder.calls.at(0).content);
    std::vector<std::uint32_t> ids;
    for (const auto& w : content_of(content)->windows()) ids.push_back(w->windowID());
    sc_shareable_content_release(content);
    return ids;
  };
  using Ids = std::vector<std::uint32_t>;
  EXPECT_EQ(window_ids(false, false), (Ids{1, 2}));
  EXPECT_EQ(window_ids(true, false), (Ids{2}));  // the desktop window goes
  EXPECT_EQ(window_ids(false, true), (Ids{1}));  // the hidden window goes
  EXPECT_EQ(window_ids(true, true), Ids{});
}

TEST_F(BridgeTest, EveryPlatformAnswerIsPassedOnWithItsOwnReference) {
  backend->set_content(platform::ContentDescription{{display(1)}, {}, {}}, 2);
  CallRecorder recorder;
  sc_shareable_content_get_with_options(false, false, &CallRecorder::content, &recorder);
  ASSERT_TRUE(recorder.wait_for(2));
  platform::wait_idle();
  ASSERT_EQ(recorder.calls.size(), 2u);
  // Releasing each exactly once leaves nothing alive (the fixture checks).
  for (const auto& call : recorder.calls) {
    sc_shareable_content_release(static_cast<sc_shareable_content*>(call.content));
  }
}

TEST_F(BridgeTest, NullContentHasNoDisplays) {
  EXPECT_EQ(sc_shareable_content_get_displays_count(nullptr), 0);
  EXPECT_EQ(sc_shareable_content_get_display_at(nullptr, 0), nullptr);
  sc_shareable_content_release(nullptr);
  sc_display_release(nullptr);
}

class FilterTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    display_ = platform::make<platform::SCDisplay>(display(3));
    for (std::uint32_t id = 1; id <= 2; ++id) {
      platform::WindowDescription w;
      w.window_id = id;
      windows_.push_back(platform::make<platform::SCWindow>(w));
      platform::ApplicationDescription a;
      a.process_id = static_cast<std::int32_t>(id);
      applications_.push_back(platform::make<platform::SCRunningApplication>(a));
    }
  }
  void TearDown() override {
    display_.reset();
    windows_.clear();
    applications_.clear();
    BridgeTest::TearDown();
  }

  sc_display* display_handle() { return reinterpret_cast<sc_display*>(display_.get()); }
  std::vector<sc_window*> window_handles() {
    return {reinterpret_cast<sc_window*>(windows_[0].get()),
            reinterpret_cast<sc_window*>(windows_[1].get())};
  }
  std::vector<sc_running_application*> application_handles() {
    return {reinterpret_cast<sc_running_application*>(applications_[0].get()),
            reinterpret_cast<sc_running_application*>(applications_[1].get())};
  }
  // Our own reference only: every reference the bridge took is gone or held by a filter.
  void expect_only_test_references() {
    EXPECT_EQ(display_->retain_count(), 1u);
    for (const auto& w : windows_) EXPECT_EQ(w->retain_count(), 1u);
    for (const auto& a : applications_) EXPECT_EQ(a->retain_count(), 1u);
  }

  platform::Ref<platform::SCDisplay> display_;
  std::vector<platform::Ref<platform::SCWindow>> windows_;
  std::vector<platform::Ref<platform::SCRunningApplication>> applications_;
};

TEST_F(FilterTest, ExcludingWindowsKeepsItsOwnReferencesOnly) {
  const auto windows = window_handles();
  sc_content_filter* filter =
      sc_content_filter_create_with_display_excluding_windows(display_handle(), windows.data(), 2);
  ASSERT_NE(filter, nullptr);
  const auto* built = platform_of(filter);
  EXPECT_EQ(built->style(), platform::SCContentFilter::Style::DisplayExcludingWindows);
  EXPECT_EQ(built->display(), display_.get());
  ASSERT_EQ(built->windows().size(), 2u);
  EXPECT_EQ(built->windows()[0].get(), windows_[0].get());
  EXPECT_EQ(built->windows()[1].get(), windows_[1].get());
  EXPECT_EQ(display_->retain_count(), 2u);
  EXPECT_EQ(windows_[0]->retain_count(), 2u);
  EXPECT_EQ(built->retain_count(), 1u);
  sc_content_filter_release(filter);
  expect_only_test_references();
}

TEST_F(FilterTest, MissingOrOddWindowListsBuildNoWindows) {
  const auto windows = window_handles();
  sc_window* const with_null[] = {nullptr, windows[1]};
  struct Case {
    sc_window* const* array;
    int64_t count;
    std::size_t expected;
  };
  const Case cases[] = {
      {nullptr, 0, 0}, {nullptr, 3, 0}, {windows.data(), 0, 0}, {windows.data(), -2, 0},
      {with_null, 2, 1},  // a null entry is left out
  };
  for (const auto& c : cases) {
    sc_content_filter* filter =
        sc_content_filter_create_with_display_excluding_windows(display_handle(), c.array, c.count);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(platform_of(filter)->windows().size(), c.expected) << "count " << c.count;
    sc_content_filter_release(filter);
  }
  expect_only_test_references();
}

TEST_F(FilterTest, OtherConstructorsBuildTheirKinds) {
  using Style = platform::SCContentFilter::Style;
  const auto windows = window_handles();
  const auto applications = application_handles();

  sc_content_filter* window_filter =
      sc_content_filter_create_with_desktop_independent_window(windows[0]);
  EXPECT_EQ(platform_of(window_filter)->style(), Style::DesktopIndependentWindow);
  ASSERT_EQ(platform_of(window_filter)->windows().size(), 1u);
  EXPECT_EQ(platform_of(window_filter)->windows()[0].get(), windows_[0].get());

  sc_content_filter* including =
      sc_content_filter_create_with_display_including_windows(display_handle(), windows.data(), 1);
  EXPECT_EQ(platform_of(including)->style(), Style::DisplayIncludingWindows);
  EXPECT_EQ(platform_of(including)->windows().size(), 1u);

  sc_content_filter* with_apps =
      sc_content_filter_create_with_display_including_applications_excepting_windows(
          display_handle(), applications.data(), 2, windows.data(), 1);
  EXPECT_EQ(platform_of(with_apps)->style(), Style::DisplayIncludingApplications);
  EXPECT_EQ(platform_of(with_apps)->applications().size(), 2u);
  EXPECT_EQ(platform_of(with_apps)->windows().size(), 1u);

  sc_content_filter* without_apps =
      sc_content_filter_create_with_display_excluding_applications_excepting_windows(
          display_handle(), applications.data(), 1, nullptr, 0);
  EXPECT_EQ(platform_of(without_apps)->style(), Style::DisplayExcludingApplications);
  ASSERT_EQ(platform_of(without_apps)->applications().size(), 1u);
  EXPECT_EQ(platform_of(without_apps)->applications()[0].get(), applications_[0].get());
  EXPECT_TRUE(platform_of(without_apps)->windows().empty());

  for (sc_content_filter* f : {window_filter, including, with_apps, without_apps}) {
    sc_content_filter_release(f);
  }
  expect_only_test_references();
}

}  // namespace
