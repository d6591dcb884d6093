#include "src/deadline.h"

#include <limits>

namespace helper {

Deadline deadline_after(const timespec& now, std::uint64_t secs) noexcept {
    secs = limit_seconds(secs);
    using Seconds = decltype(now.tv_sec);
    constexpr auto max_seconds = std::numeric_limits<Seconds>::max();
    // The monotonic clock never reads negative; refusing such a reading keeps the
    // headroom subtraction from overflowing.
    if (now.tv_sec < 0 || secs > static_cast<std::uint64_t>(max_seconds - now.tv_sec)) {
        return std::nullopt;
    }
    timespec deadline = now;
    deadline.tv_sec = static_cast<Seconds>(now.tv_sec + static_cast<Seconds>(secs));
    return deadline;
}

std::uint64_t sample_limit(std::uint64_t secs, RecordingFormat format) noexcept {
    std::uint64_t samples = 0;
    if (__builtin_mul_overflow(limit_seconds(secs), std::uint64_t{format.rate} * format.channels,
                               &samples)) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return samples;
}

bool deadline_reached(const Deadline& deadline, const timespec& now) noexcept {
    if (!deadline) return false;
    if (now.tv_sec != deadline->tv_sec) return now.tv_sec > deadline->tv_sec;
    return now.tv_nsec >= deadline->tv_nsec;
}

timespec monotonic_now() noexcept {
    timespec now{};
    // Cannot fail for CLOCK_MONOTONIC on Linux with a valid pointer.
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}  // namespace helper
