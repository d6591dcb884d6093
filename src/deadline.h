#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

namespace helper {

// Monotonic-clock time of the recording limit. None means "no limit": a --secs so large
// that now plus it no longer fits the clock's seconds counter (from about 2^63 s) is taken
// as no deadline rather than wrapping into the past or failing.
using Deadline = std::optional<timespec>;

// now + max(secs, 1) seconds, saturating to no deadline on overflow.
Deadline deadline_after(const timespec& now, std::uint64_t secs) noexcept;

// True once `now` is at or after the deadline; never true without one.
bool deadline_reached(const Deadline& deadline, const timespec& now) noexcept;

// The monotonic clock's current reading.
timespec monotonic_now() noexcept;

}  // namespace helper
