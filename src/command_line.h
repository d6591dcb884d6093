#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace helper {

// Recording limit used when --secs is absent or unreadable.
inline constexpr std::uint64_t DEFAULT_SECS = 600;

// The argument after the first one equal to `name` (whole string, case-sensitive; the
// program name at index 0 takes part), or `fallback` when there is none or the match is
// the last argument. The value is returned verbatim, even when it looks like an option.
// Arguments are plain bytes: nothing here assumes or checks UTF-8.
std::string arg(std::span<const std::string> args, std::string_view name,
                std::string_view fallback);

// Reads a --secs value: an optional single '+' and then one or more ASCII digits, leading
// zeros allowed. Anything else, or a value above the 64-bit range, gives nothing.
std::optional<std::uint64_t> parse_secs(std::string_view text);

}  // namespace helper
