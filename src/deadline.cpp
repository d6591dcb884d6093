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

timespec sleep_until_at_most(const Deadline& deadline, const timespec& now,
                             const timespec& longest) noexcept {
    if (!deadline) return longest;
    if (deadline_reached(deadline, now)) return {0, 0};
    timespec left{deadline->tv_sec - now.tv_sec, deadline->tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_nsec += 1'000'000'000;
        --left.tv_sec;
    }
    const bool shorter = left.tv_sec < longest.tv_sec ||
                         (left.tv_sec == longest.tv_sec && left.tv_nsec < longest.tv_nsec);
    return shorter ? left : longest;
}

timespec monotonic_now() noexcept {
    timespec now{};
    // Cannot fail for CLOCK_MONOTONIC on Linux with a valid pointer.
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}  // namespace helper
