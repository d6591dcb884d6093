#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

#include "src/recording_format.h"

namespace helper {

// The seconds a --secs of `secs` allows: 0 still records for one second.
constexpr std::uint64_t limit_seconds(std::uint64_t secs) noexcept { return secs > 0 ? secs : 1; }

// Monotonic-clock time of the recording limit. None means "no limit": a --secs so large
// that now plus it no longer fits the clock's seconds counter (from about 2^63 s) is taken
// as no deadline rather than wrapping into the past or failing.
using Deadline = std::optional<timespec>;

// now + limit_seconds(secs), saturating to no deadline on overflow.
Deadline deadline_after(const timespec& now, std::uint64_t secs) noexcept;

// The most audio a recording of `secs` may hold, in interleaved samples of `format`:
// limit_seconds(secs) of it. The audio counts its own time, so the limit holds however late
// the run loop notices its deadline. Saturates at the largest count (millions of years of
// audio), which is no limit, as a deadline past the clock's range is none.
std::uint64_t sample_limit(std::uint64_t secs, RecordingFormat format) noexcept;

// True once `now` is at or after the deadline; never true without one.
bool deadline_reached(const Deadline& deadline, const timespec& now) noexcept;

// The monotonic clock's current reading.
timespec monotonic_now() noexcept;

}  // namespace helper
