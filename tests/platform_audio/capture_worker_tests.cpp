// The hand-off behind a sound server's real-time thread: the ring it copies into and the
// worker it wakes.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <numeric>
#include <span>
#include <thread>
#include <vector>

#include "platform/backends/audio/capture_worker.h"
#include "platform/backends/audio/spsc_ring.h"

namespace {

using platform::audio::CaptureWorker;
using platform::audio::SpscRing;

std::vector<std::byte> counting(std::size_t size, unsigned first) {
    std::vector<std::byte> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::byte>(first + i);
    return bytes;
}

// One thread plays both sides: what each push and pop does, across the end of the storage.
TEST(SpscRingTest, TakesWholePushesOrNothingAndGivesThemBackInOrderAcrossItsEnd) {
    struct Step {
        const char* what;
        std::size_t first;   // a push of this many bytes (and `second` more), or
        std::size_t second;  // with both 0,
        std::size_t pop;     // a pop of this many
        bool done;           // whether it is done
        std::size_t readable_after;
    };
    const Step steps[] = {
        {"fills most of it", 6, 2, 0, true, 8},
        {"refuses what does not fit, both parts", 1, 2, 0, false, 8},
        {"refuses a pop of more than is there", 0, 0, 9, false, 8},
        {"gives back the first five", 0, 0, 5, true, 3},
        {"takes two parts that wrap round the end", 3, 4, 0, true, 10},
        {"is full", 1, 0, 0, false, 10},
        {"gives back across the end", 0, 0, 10, true, 0},
        {"takes its whole capacity again", 10, 0, 0, true, 10},
        {"gives all of it back", 0, 0, 10, true, 0},
    };
    SpscRing ring(10);
    std::vector<std::byte> written;  // every byte pushed, in order
    std::size_t read_at = 0;
    unsigned next = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.pop == 0) {
            const auto a = counting(step.first, next);
            const auto b = counting(step.second, next + static_cast<unsigned>(step.first));
            EXPECT_EQ(ring.push(a, b), step.done);
            if (step.done) {
                written.insert(written.end(), a.begin(), a.end());
                written.insert(written.end(), b.begin(), b.end());
                next += static_cast<unsigned>(step.first + step.second);
            }
        } else {
            std::vector<std::byte> out(step.pop, std::byte{0xee});
            EXPECT_EQ(ring.pop(out), step.done);
            if (step.done) {
                ASSERT_LE(read_at + out.size(), written.size());
                EXPECT_EQ(0, std::memcmp(out.data(), written.data() + read_at, out.size()));
                read_at += out.size();
            } else {
                EXPECT_EQ(out, std::vector<std::byte>(step.pop, std::byte{0xee}));
            }
        }
        EXPECT_EQ(ring.readable(), step.readable_after);
    }
}

// A producer thread pushes numbered records of changing sizes as fast as it can while the
// consumer takes them: each comes whole, once, in order (and under the thread sanitizer,
// without a race).
TEST(SpscRingTest, ARecordPushedOnOneThreadArrivesWholeOnTheOther) {
    constexpr std::uint32_t RECORDS = 20000;
    SpscRing ring(1000);
    std::thread producer([&] {
        for (std::uint32_t n = 0; n < RECORDS;) {
            const std::uint32_t header[2] = {n, n % 97 + 1};
            const auto payload = counting(header[1], n);
            if (ring.push(std::as_bytes(std::span(header)), payload)) {
                ++n;
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::uint32_t expected = 0;
    while (expected < RECORDS) {
        std::uint32_t header[2];
        if (!ring.pop(std::as_writable_bytes(std::span(header)))) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(header[0], expected);
        std::vector<std::byte> payload(header[1]);
        ASSERT_TRUE(ring.pop(payload)) << "part of record " << expected;
        ASSERT_EQ(payload, counting(header[1], expected));
        ++expected;
    }
    producer.join();
    EXPECT_EQ(ring.readable(), 0u);
}

TEST(CaptureWorkerTest, RunsTasksInOrderBeforeTheDrainAndWakesFromAnyThread) {
    std::mutex mutex;
    std::vector<int> seen;  // tasks by number, drains as 0
    std::atomic<int> drains{0};
    CaptureWorker worker([&] {
        std::lock_guard lock(mutex);
        seen.push_back(0);
        ++drains;
    });
    EXPECT_FALSE(worker.on_worker());
    worker.post([&] {
        std::lock_guard lock(mutex);
        seen.push_back(1);
    });
    bool on_worker = false;
    EXPECT_TRUE(worker.call([&] {
        on_worker = worker.on_worker();
        std::lock_guard lock(mutex);
        seen.push_back(2);
    }));
    EXPECT_TRUE(on_worker);
    {
        std::lock_guard lock(mutex);
        const auto first = std::find(seen.begin(), seen.end(), 1);
        const auto second = std::find(seen.begin(), seen.end(), 2);
        ASSERT_NE(second, seen.end());
        EXPECT_LT(first, second) << "tasks run in the order they were handed over";
    }
    // A wake from another thread runs the drain. It may still be due when a call returns (a
    // task handed over meanwhile runs before it), so wait for it, within a bound far beyond
    // any scheduling delay.
    const int before = drains;
    std::thread([&] { worker.wake(); }).join();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (drains.load() < before + 1 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(drains.load(), before + 1);

    worker.post([&] {
        std::lock_guard lock(mutex);
        seen.push_back(3);
    });
    worker.stop();
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(seen.back(), 0) << "a drain follows the last task";
        EXPECT_NE(std::find(seen.begin(), seen.end(), 3), seen.end()) << "posted before stop";
    }
    // Stopped: nothing runs any more.
    bool ran = false;
    worker.post([&] { ran = true; });
    EXPECT_FALSE(worker.call([&] { ran = true; }));
    EXPECT_FALSE(ran);
}

}  // namespace
