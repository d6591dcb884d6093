#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace helper {

inline constexpr const char* STANDARD_OUTPUT_REASON =
    "the output is the helper's own standard output";
inline constexpr const char* STANDARD_ERROR_REASON =
    "the output is the helper's own standard error";

// Why `path` cannot take the recording: it names the file that standard output or standard
// error goes to (/dev/stdout, /dev/stderr, or the file or pipe the parent gave as descriptor
// 1 or 2): the recording and the status line or the diagnostics would be mixed in one file.
// Nothing when the path is free. The null device is never taken for either stream: whatever
// each writes there is discarded alike.
std::optional<std::string_view> standard_stream_conflict(const std::string& path) noexcept;

}  // namespace helper
