#pragma once

// A content filter on the first display the scripted platform offers, the start of every
// fixture here that builds a stream.

#include <optional>
#include <utility>

#include <gtest/gtest.h>

#include "capture/shareable_content.h"

namespace capture_test {

// Sets `filter`; call under ASSERT_NO_FATAL_FAILURE.
inline void make_first_display_filter(std::optional<capture::SCContentFilter>& filter) {
    auto content = capture::SCShareableContent::get();
    ASSERT_TRUE(content.has_value());
    auto built =
        capture::SCContentFilterBuilder().with_display(content->displays().at(0)).try_build();
    ASSERT_TRUE(built.has_value());
    filter.emplace(std::move(*built));
}

}  // namespace capture_test
