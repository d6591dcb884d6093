#pragma once

// A ring of bytes between exactly one producer thread and one consumer thread, lock-free.
// Its storage is allocated once, in the constructor; neither side allocates, locks or
// blocks afterwards, so the producer may be a sound server's real-time thread.
//
// Each method says which side may call it. Debug builds assert it: the first thread to
// call a side's method owns that side from then on.

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <thread>

namespace platform::audio {

class SpscRing {
public:
    // Room for `capacity` bytes at once.
    explicit SpscRing(std::size_t capacity)
        : capacity_(capacity),
          storage_(std::make_unique_for_overwrite<std::byte[]>(capacity + 1)) {}
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    std::size_t capacity() const { return capacity_; }

    // Producer. Appends all of `first` and then all of `second`, or nothing when together
    // they do not fit: the consumer never sees a part of what one push wrote.
    bool push(std::span<const std::byte> first, std::span<const std::byte> second = {}) {
        assert_side(producer_);
        const std::size_t write = write_.load(std::memory_order_relaxed);
        const std::size_t read = read_.load(std::memory_order_acquire);
        const std::size_t free_bytes = capacity_ - used(write, read);
        if (first.size() + second.size() > free_bytes) return false;
        std::size_t at = copy_in(write, first);
        at = copy_in(at, second);
        write_.store(at, std::memory_order_release);
        return true;
    }

    // Consumer. The bytes ready to be read.
    std::size_t readable() const {
        assert_side(consumer_);
        return used(write_.load(std::memory_order_acquire), read_.load(std::memory_order_relaxed));
    }

    // Consumer. Takes the next `out.size()` bytes into `out`, or nothing when fewer are ready.
    bool pop(std::span<std::byte> out) {
        assert_side(consumer_);
        const std::size_t read = read_.load(std::memory_order_relaxed);
        const std::size_t write = write_.load(std::memory_order_acquire);
        if (out.size() > used(write, read)) return false;
        const std::size_t slots = capacity_ + 1;
        const std::size_t first = std::min(out.size(), slots - read);
        std::memcpy(out.data(), storage_.get() + read, first);
        std::memcpy(out.data() + first, storage_.get(), out.size() - first);
        read_.store((read + out.size()) % slots, std::memory_order_release);
        return true;
    }

private:
    // One slot stays empty so that a full ring and an empty one differ.
    std::size_t used(std::size_t write, std::size_t read) const {
        return write >= read ? write - read : capacity_ + 1 - read + write;
    }

    std::size_t copy_in(std::size_t at, std::span<const std::byte> bytes) {
        const std::size_t slots = capacity_ + 1;
        const std::size_t first = std::min(bytes.size(), slots - at);
        if (!bytes.empty()) {
            std::memcpy(storage_.get() + at, bytes.data(), first);
            std::memcpy(storage_.get(), bytes.data() + first, bytes.size() - first);
        }
        return (at + bytes.size()) % slots;
    }

#ifdef NDEBUG
    static void assert_side(const std::atomic<std::thread::id>&) {}
#else
    static void assert_side(std::atomic<std::thread::id>& side) {
        std::thread::id none;
        const auto self = std::this_thread::get_id();
        if (!side.compare_exchange_strong(none, self)) assert(none == self);
    }
#endif

    const std::size_t capacity_;
    std::unique_ptr<std::byte[]> storage_;
    std::atomic<std::size_t> write_{0};  // written by the producer only
    std::atomic<std::size_t> read_{0};   // written by the consumer only
    mutable std::atomic<std::thread::id> producer_{};
    mutable std::atomic<std::thread::id> consumer_{};
};

}  // namespace platform::audio
