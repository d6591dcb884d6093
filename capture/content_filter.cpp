#include "capture/content_filter.h"

#include <string>
#include <utility>

#include "util/overloaded.h"

namespace capture {

namespace {

constexpr const char* NO_FILTER_TYPE =
    "SCContentFilterBuilder: No filter type set. Call .display() or .window() before building.";

// The handles of a list in order (the bridge reads none of an empty one).
template <class Value>
auto raw_handles(const std::vector<Value>& values) {
    std::vector<decltype(values.front().raw())> handles;
    handles.reserve(values.size());
    for (const Value& value : values) handles.push_back(value.raw());
    return handles;
}

}  // namespace

const SCDisplay* SCContentFilterBuilder::chosen_display() const {
    return std::visit(
        [](const auto& kind) -> const SCDisplay* {
            if constexpr (requires { kind.display; }) {
                return &kind.display;
            } else {
                return nullptr;
            }
        },
        filter_type_.kind);
}

SCContentFilterBuilder SCContentFilterBuilder::with_display(const SCDisplay& display) && {
    // The new display is retained before the previous choice lets go of its handles.
    filter_type_.kind = FilterType::DisplayExcludingWindows{display, {}};
    return std::move(*this);
}

SCContentFilterBuilder SCContentFilterBuilder::with_excluding_windows(
    const std::vector<SCWindow>& windows) && {
    if (auto* kind = std::get_if<FilterType::DisplayExcludingWindows>(&filter_type_.kind)) {
        kind->windows = windows;
    }
    return std::move(*this);
}

SCContentFilterBuilder SCContentFilterBuilder::with_window(const SCWindow& window) && {
    filter_type_.kind = FilterType::DesktopIndependentWindow{window};
    return std::move(*this);
}

SCContentFilterBuilder SCContentFilterBuilder::with_including_windows(
    const std::vector<SCWindow>& windows) && {
    if (const SCDisplay* display = chosen_display()) {
        FilterType::DisplayIncludingWindows next{*display, windows};
        filter_type_.kind = std::move(next);
    }
    return std::move(*this);
}

SCContentFilterBuilder SCContentFilterBuilder::with_including_applications(
    const std::vector<SCRunningApplication>& applications,
    const std::vector<SCWindow>& excepting_windows) && {
    if (const SCDisplay* display = chosen_display()) {
        FilterType::DisplayIncludingApplications next{*display, applications, excepting_windows};
        filter_type_.kind = std::move(next);
    }
    return std::move(*this);
}

SCContentFilterBuilder SCContentFilterBuilder::with_excluding_applications(
    const std::vector<SCRunningApplication>& applications,
    const std::vector<SCWindow>& excepting_windows) && {
    if (const SCDisplay* display = chosen_display()) {
        FilterType::DisplayExcludingApplications next{*display, applications, excepting_windows};
        filter_type_.kind = std::move(next);
    }
    return std::move(*this);
}

std::expected<SCContentFilter, SCError> SCContentFilterBuilder::try_build() && {
    // Taken out so the held handles are given back when this call ends, whatever happens.
    FilterType taken = std::move(filter_type_);
    filter_type_.kind = FilterType::None{};

    sc_content_filter* filter = std::visit(
        util::Overloaded{
            [](const FilterType::None&) -> sc_content_filter* { return nullptr; },
            [](const FilterType::DesktopIndependentWindow& k) {
                return sc_content_filter_create_with_desktop_independent_window(k.window.raw());
            },
            [](const FilterType::DisplayExcludingWindows& k) {
                const auto windows = raw_handles(k.windows);
                return sc_content_filter_create_with_display_excluding_windows(
                    k.display.raw(), windows.data(), std::ssize(windows));
            },
            [](const FilterType::DisplayIncludingWindows& k) {
                const auto windows = raw_handles(k.windows);
                return sc_content_filter_create_with_display_including_windows(
                    k.display.raw(), windows.data(), std::ssize(windows));
            },
            [](const FilterType::DisplayIncludingApplications& k) {
                const auto applications = raw_handles(k.applications);
                const auto windows = raw_handles(k.windows);
                return sc_content_filter_create_with_display_including_applications_excepting_windows(
                    k.display.raw(), applications.data(), std::ssize(applications), windows.data(),
                    std::ssize(windows));
            },
            [](const FilterType::DisplayExcludingApplications& k) {
                const auto applications = raw_handles(k.applications);
                const auto windows = raw_handles(k.windows);
                return sc_content_filter_create_with_display_excluding_applications_excepting_windows(
                    k.display.raw(), applications.data(), std::ssize(applications), windows.data(),
                    std::ssize(windows));
            },
        },
        taken.kind);

    if (std::holds_alternative<FilterType::None>(taken.kind)) {
        return std::unexpected(SCError(SCError::InvalidConfiguration{NO_FILTER_TYPE}));
    }
    return SCContentFilter(filter);
}

}  // namespace capture
