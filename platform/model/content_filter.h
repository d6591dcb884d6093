// SCContentFilter: what a stream captures. Each initialiser retains what it keeps and
// leaves the caller's references alone; a null display or window is kept as null (a stream
// on such a filter fails to start).
#pragma once

#include <span>
#include <vector>

#include "platform/model/display.h"
#include "platform/model/object.h"
#include "platform/model/ref.h"
#include "platform/model/running_application.h"
#include "platform/model/window.h"

namespace platform {

class SCContentFilter final : public Object {
public:
    enum class Style {
        DesktopIndependentWindow,
        DisplayExcludingWindows,
        DisplayIncludingWindows,
        DisplayIncludingApplications,
        DisplayExcludingApplications,
    };

    static Ref<SCContentFilter> initWithDesktopIndependentWindow(SCWindow* window);
    static Ref<SCContentFilter> initWithDisplayExcludingWindows(
        SCDisplay* display, std::span<SCWindow* const> excluded);
    static Ref<SCContentFilter> initWithDisplayIncludingWindows(
        SCDisplay* display, std::span<SCWindow* const> included);
    static Ref<SCContentFilter> initWithDisplayIncludingApplicationsExceptingWindows(
        SCDisplay* display, std::span<SCRunningApplication* const> applications,
        std::span<SCWindow* const> excepting);
    static Ref<SCContentFilter> initWithDisplayExcludingApplicationsExceptingWindows(
        SCDisplay* display, std::span<SCRunningApplication* const> applications,
        std::span<SCWindow* const> excepting);

    Style style() const noexcept { return style_; }
    // Null for a window filter or when built on a null display.
    SCDisplay* display() const noexcept { return display_.get(); }
    const std::vector<Ref<SCWindow>>& windows() const noexcept { return windows_; }
    const std::vector<Ref<SCRunningApplication>>& applications() const noexcept {
        return applications_;
    }

private:
    SCContentFilter(Style style, SCDisplay* display, std::span<SCWindow* const> windows,
                    std::span<SCRunningApplication* const> applications);
    ~SCContentFilter() override = default;

    Style style_;
    Ref<SCDisplay> display_;
    std::vector<Ref<SCWindow>> windows_;
    std::vector<Ref<SCRunningApplication>> applications_;
};

}  // namespace platform
