// Content filters. A constructor never takes over the caller's references: it holds its own
// for the length of the call, and the filter retains whatever it keeps.
#include <vector>

#include "capture/bridge/bridge.h"
#include "capture/bridge/handles.h"
#include "platform/model/content_filter.h"
#include "platform/model/ref.h"

namespace {

using bridge::from_handle;
using bridge::handle_cast;

// The call's own references to the given objects, and the plain list the platform reads.
// A null array, or a count of zero or less, is an empty list; null entries are left out.
template <class Platform, class Handle>
class TemporaryArray {
public:
    TemporaryArray(Handle* const* handles, int64_t count) {
        if (handles == nullptr || count <= 0) return;
        for (int64_t i = 0; i < count; ++i) {
            Platform* object = from_handle(handles[i]);
            if (object == nullptr) continue;
            held_.push_back(platform::Ref<Platform>::retain(object));
            plain_.push_back(object);
        }
    }
    std::vector<Platform*> const& plain() const noexcept { return plain_; }

private:
    std::vector<platform::Ref<Platform>> held_;
    std::vector<Platform*> plain_;
};

using Windows = TemporaryArray<platform::SCWindow, sc_window>;
using Applications = TemporaryArray<platform::SCRunningApplication, sc_running_application>;

platform::Ref<platform::SCDisplay> hold(sc_display* display) {
    return platform::Ref<platform::SCDisplay>::retain(from_handle(display));
}

sc_content_filter* to_handle(platform::Ref<platform::SCContentFilter> filter) {
    return handle_cast<sc_content_filter>(filter.leak());
}

using Filter = platform::SCContentFilter;

// A filter of a display and the windows listed, made by Init.
template <auto Init>
sc_content_filter* display_with_windows(sc_display* display, sc_window* const* windows,
                                        int64_t window_count) {
    const auto held = hold(display);
    const Windows listed(windows, window_count);
    return to_handle(Init(held.get(), listed.plain()));
}

// A filter of a display, the applications listed and the windows excepted, made by Init.
template <auto Init>
sc_content_filter* display_with_applications(sc_display* display,
                                             sc_running_application* const* applications,
                                             int64_t application_count, sc_window* const* windows,
                                             int64_t window_count) {
    const auto held = hold(display);
    const Applications listed(applications, application_count);
    const Windows excepting(windows, window_count);
    return to_handle(Init(held.get(), listed.plain(), excepting.plain()));
}

}  // namespace

extern "C" {

sc_content_filter* sc_content_filter_create_with_desktop_independent_window(sc_window* window) {
    const auto held = platform::Ref<platform::SCWindow>::retain(from_handle(window));
    return to_handle(platform::SCContentFilter::initWithDesktopIndependentWindow(held.get()));
}

sc_content_filter* sc_content_filter_create_with_display_excluding_windows(
    sc_display* display, sc_window* const* windows, int64_t window_count) {
    return display_with_windows<&Filter::initWithDisplayExcludingWindows>(display, windows,
                                                                          window_count);
}

sc_content_filter* sc_content_filter_create_with_display_including_windows(
    sc_display* display, sc_window* const* windows, int64_t window_count) {
    return display_with_windows<&Filter::initWithDisplayIncludingWindows>(display, windows,
                                                                          window_count);
}

sc_content_filter* sc_content_filter_create_with_display_including_applications_excepting_windows(
    sc_display* display, sc_running_application* const* applications, int64_t application_count,
    sc_window* const* windows, int64_t window_count) {
    return display_with_applications<&Filter::initWithDisplayIncludingApplicationsExceptingWindows>(
        display, applications, application_count, windows, window_count);
}

sc_content_filter* sc_content_filter_create_with_display_excluding_applications_excepting_windows(
    sc_display* display, sc_running_application* const* applications, int64_t application_count,
    sc_window* const* windows, int64_t window_count) {
    return display_with_applications<&Filter::initWithDisplayExcludingApplicationsExceptingWindows>(
        display, applications, application_count, windows, window_count);
}

void sc_content_filter_release(sc_content_filter* filter) {
    platform::release(from_handle(filter));
}

}  // extern "C"
