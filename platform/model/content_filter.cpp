#include "platform/model/content_filter.h"

namespace platform {

SCContentFilter::SCContentFilter(Style style, SCDisplay* display,
                                 std::span<SCWindow* const> windows,
                                 std::span<SCRunningApplication* const> applications)
    : Object(Kind::ContentFilter), style_(style), display_(Ref<SCDisplay>::retain(display)) {
    windows_.reserve(windows.size());
    for (SCWindow* window : windows) windows_.push_back(Ref<SCWindow>::retain(window));
    applications_.reserve(applications.size());
    for (SCRunningApplication* application : applications) {
        applications_.push_back(Ref<SCRunningApplication>::retain(application));
    }
}

Ref<SCContentFilter> SCContentFilter::initWithDesktopIndependentWindow(SCWindow* window) {
    SCWindow* const windows[] = {window};
    return Ref<SCContentFilter>::adopt(
        new SCContentFilter(Style::DesktopIndependentWindow, nullptr, windows, {}));
}

Ref<SCContentFilter> SCContentFilter::initWithDisplayExcludingWindows(
    SCDisplay* display, std::span<SCWindow* const> excluded) {
    return Ref<SCContentFilter>::adopt(
        new SCContentFilter(Style::DisplayExcludingWindows, display, excluded, {}));
}

Ref<SCContentFilter> SCContentFilter::initWithDisplayIncludingWindows(
    SCDisplay* display, std::span<SCWindow* const> included) {
    return Ref<SCContentFilter>::adopt(
        new SCContentFilter(Style::DisplayIncludingWindows, display, included, {}));
}

Ref<SCContentFilter> SCContentFilter::initWithDisplayIncludingApplicationsExceptingWindows(
    SCDisplay* display, std::span<SCRunningApplication* const> applications,
    std::span<SCWindow* const> excepting) {
    return Ref<SCContentFilter>::adopt(
        new SCContentFilter(Style::DisplayIncludingApplications, display, excepting, applications));
}

Ref<SCContentFilter> SCContentFilter::initWithDisplayExcludingApplicationsExceptingWindows(
    SCDisplay* display, std::span<SCRunningApplication* const> applications,
    std::span<SCWindow* const> excepting) {
    return Ref<SCContentFilter>::adopt(
        new SCContentFilter(Style::DisplayExcludingApplications, display, excepting, applications));
}

}  // namespace platform
