#pragma once

// How many threads this process has, from /proc. A thread that was joined may still be
// listed for a moment while the kernel finishes it, so counts are taken once they settle.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <iterator>
#include <thread>

namespace test_support {

inline std::size_t thread_count() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                      std::filesystem::directory_iterator()));
}

// The count once it is `expected`, or whatever it is after a second of waiting for that.
inline std::size_t thread_count_settled_at(std::size_t expected) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::size_t count = thread_count();
    while (count != expected && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        count = thread_count();
    }
    return count;
}

// The count of a process at rest: the same over 50 ms. A sanitizer's runtime starts a thread
// of its own at the process's first thread, so one is started and joined first.
inline std::size_t resting_thread_count() {
    std::thread([] {}).join();
    std::size_t count = thread_count();
    for (int same = 0; same < 25;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const std::size_t now = thread_count();
        same = now == count ? same + 1 : 0;
        count = now;
    }
    return count;
}

}  // namespace test_support
