#include "capture/content_filter.h"

#include <string>
#include <utility>

#include "util/overloaded.h"

namespace capture {

namespace {

constexpr const char* NO_FILTER_TYPE =
    "SCContentFilterBuilder: No filter type set. Call .display() or .window() before building.";

// The handles of a list in order, or nothing for an empty list (the bridge is then given a
// null array with count 0).
template <class Value>
auto raw_handles(const std::vector<Value>& values) {
    std::vector<decltype(values.front().raw())> handles;
    handles.reserve(values.size());
    for (const Value& value : values) handles.push_back(value.raw());
    return handles;
}

template <class Handle>
Handle* const* array_or_null(const std::vector<Handle*>& handles) {
    return handles.empty() ? nullptr : handles.data();
}

template <class Handle>
int64_t count_of(const std::vector<Handle*>& handles) {
    return static_cast<int64_t>(handles.size());
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
        std::vector<SCWindow> retained = windows;
        kind->windows = std::move(retained);
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
                    k.display.raw(), array_or_null(windows), count_of(windows));
            },
            [](const FilterType::DisplayIncludingWindows& k) {
                const auto windows = raw_handles(k.windows);
                return sc_content_filter_create_with_display_including_windows(
                    k.display.raw(), array_or_null(windows), count_of(windows));
            },
            [](const FilterType::DisplayIncludingApplications& k) {
                const auto applications = raw_handles(k.applications);
                const auto windows = raw_handles(k.windows);
                return sc_content_filter_create_with_display_including_applications_excepting_windows(
                    k.display.raw(), array_or_null(applications), count_of(applications),
                    array_or_null(windows), count_of(windows));
            },
            [](const FilterType::DisplayExcludingApplications& k) {
                const auto applications = raw_handles(k.applications);
                const auto windows = raw_handles(k.windows);
                return sc_content_filter_create_with_display_excluding_applications_excepting_windows(
                    k.display.raw(), array_or_null(applications), count_of(applications),
                    array_or_null(windows), count_of(windows));
            },
        },
        taken.kind);

    if (std::holds_alternative<FilterType::None>(taken.kind)) {
        return std::unexpected(SCError(SCError::InvalidConfiguration{NO_FILTER_TYPE}));
    }
    return SCContentFilter(filter);
}

}  // namespace capture
