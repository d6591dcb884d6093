#pragma once

#include <string>

namespace helper {

inline constexpr const char* STANDARD_OUTPUT_REASON =
    "the output is the helper's own standard output";

// Whether `path` names the file that standard output goes to (/dev/stdout, or the file or
// pipe the parent gave as descriptor 1): the recording would then carry the status line,
// or the status line the recording. The null device is never taken for it: whatever both
// write there is discarded alike.
bool is_standard_output(const std::string& path) noexcept;

}  // namespace helper
