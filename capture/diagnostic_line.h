// One-line diagnostics on standard error for the capture binding.
#pragma once

#include <string_view>

namespace capture {

// Writes `line` (which carries its own line feed) to standard error in one write call, so
// that lines from concurrent callbacks never interleave. A failed write is dropped: a
// closed descriptor or a pipe without a reader must neither throw nor raise SIGPIPE in a
// platform callback. Never throws.
void write_diagnostic_line(std::string_view line) noexcept;

}  // namespace capture
