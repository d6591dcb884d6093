// Content filters and the builder that chooses what a stream captures.
#pragma once

#include <expected>
#include <variant>
#include <vector>

#include "capture/bridge/bridge.h"
#include "capture/error.h"
#include "capture/owned_handle.h"
#include "capture/shareable_content.h"

namespace capture {

class SCContentFilter {
public:
    // Takes over the reference `adopted` carries; null is kept as it is and never released.
    explicit SCContentFilter(sc_content_filter* adopted) : handle_(adopted) {}
    sc_content_filter* raw() const { return handle_.get(); }

private:
    OwnedHandle<sc_content_filter, sc_content_filter_release> handle_;
};

// What a builder will build; every handle in it is owned (retained when stored).
struct FilterType {
    struct None {};
    struct DesktopIndependentWindow {
        SCWindow window;
    };
    struct DisplayExcludingWindows {
        SCDisplay display;
        std::vector<SCWindow> windows;
    };
    struct DisplayIncludingWindows {
        SCDisplay display;
        std::vector<SCWindow> windows;
    };
    // Members are destroyed in reverse order: windows, then applications, then the display.
    struct DisplayIncludingApplications {
        SCDisplay display;
        std::vector<SCRunningApplication> applications;
        std::vector<SCWindow> windows;
    };
    struct DisplayExcludingApplications {
        SCDisplay display;
        std::vector<SCRunningApplication> applications;
        std::vector<SCWindow> windows;
    };

    std::variant<None, DesktopIndependentWindow, DisplayExcludingWindows, DisplayIncludingWindows,
                 DisplayIncludingApplications, DisplayExcludingApplications>
        kind;
};

// Builds a filter; each step takes the builder by value and returns it.
class SCContentFilterBuilder {
public:
    SCContentFilterBuilder() = default;

    // Captures `display` without the given windows (none yet); drops whatever was chosen
    // before.
    SCContentFilterBuilder with_display(const SCDisplay& display) &&;
    // Only for a display chosen by with_display: the windows to leave out, replacing those
    // given before. Otherwise changes nothing.
    SCContentFilterBuilder with_excluding_windows(const std::vector<SCWindow>& windows) &&;

    // Captures one window on its own; drops whatever was chosen before.
    SCContentFilterBuilder with_window(const SCWindow& window) &&;
    // With a display already chosen: capture only these windows of it. Otherwise changes
    // nothing.
    SCContentFilterBuilder with_including_windows(const std::vector<SCWindow>& windows) &&;
    // With a display already chosen: capture these applications' content except the given
    // windows. Otherwise changes nothing.
    SCContentFilterBuilder with_including_applications(
        const std::vector<SCRunningApplication>& applications,
        const std::vector<SCWindow>& excepting_windows) &&;
    // With a display already chosen: capture all but these applications' content, still
    // including the given windows. Otherwise changes nothing.
    SCContentFilterBuilder with_excluding_applications(
        const std::vector<SCRunningApplication>& applications,
        const std::vector<SCWindow>& excepting_windows) &&;

    // Creates the filter and gives back every handle the builder held. Fails only when
    // nothing was chosen.
    std::expected<SCContentFilter, SCError> try_build() &&;

    const FilterType& filter_type() const { return filter_type_; }

private:
    // The display of a display kind, or null.
    const SCDisplay* chosen_display() const;

    FilterType filter_type_;
};

}  // namespace capture
