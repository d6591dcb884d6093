#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace helper {

// When a status line stops waiting for room; none means as long as it takes.
using LineGiveUp = std::optional<std::chrono::steady_clock::time_point>;

// Writes all of `text` to `fd` with write(2), going on after partial writes and EINTR,
// and waiting for room when a non-blocking descriptor is full, as a blocking one would
// (until `give_up`, if any). Returns false when the descriptor refuses (nobody reads it
// any more, a full disk) or the time is up; the caller has nobody left to tell, so
// nothing else happens.
bool write_all(int fd, std::string_view text, const LineGiveUp& give_up = std::nullopt) noexcept;

// True when nobody can read the status line any more: standard output is a pipe or socket
// whose reading end is closed everywhere (the parent has gone). A file or terminal is
// always readable; a hang-up of a terminal comes as SIGHUP.
bool status_line_unreadable() noexcept;

// Prints "OK {seconds}" as one line on standard output. The seconds are the shortest
// decimal that reads back to the same double, never in exponent form, without a decimal
// point when whole (0 -> "0", 61.5 -> "61.5").
void print_ok(double seconds) noexcept;

// Prints "UNAVAILABLE {reason}" as one line on standard output, without ending the process.
void print_unavailable(std::string_view reason) noexcept;

// Prints "UNAVAILABLE {reason}" as one line on standard output (waiting for room until
// `give_up`, if any) and ends the process with status 0 at once. Nothing is cleaned up on
// purpose: no destructor runs, so a writer that was created is neither finalised nor
// flushed.
[[noreturn]] void unavailable(std::string_view reason,
                              const LineGiveUp& give_up = std::nullopt) noexcept;

}  // namespace helper
