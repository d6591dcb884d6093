#include "src/command_line.h"

#include <charconv>
#include <system_error>

namespace helper {

std::string arg(std::span<const std::string> args, std::string_view name,
                std::string_view fallback) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != name) continue;
        // Only the first match counts, even when it has no value after it.
        if (i + 1 < args.size()) return args[i + 1];
        break;
    }
    return std::string(fallback);
}

std::optional<std::uint64_t> parse_secs(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    // from_chars takes no sign and no spaces for an unsigned value, so digits are all
    // that can pass the whole-string check below; an empty rest fails too.
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace helper
