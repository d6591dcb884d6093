#include "src/deadline.h"

#include <algorithm>
#include <limits>

namespace helper {

Deadline deadline_after(const timespec& now, std::uint64_t secs) noexcept {
    // A limit of 0 still records for one second.
    secs = std::max<std::uint64_t>(secs, 1);
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
