#pragma once

// What PipeWire's data thread hands the loop thread: each buffer's header and its samples,
// through the library's own lock-free ring, which neither side waits on. A buffer the ring has
// no room for is not lost without a trace: it becomes a hole of its length, timed like it,
// that goes in ahead of the next buffer the ring takes, so what follows keeps its place.
//
// One side pushes, one pops; the popping side may change threads between pops when a lock
// orders them (the loop's lock).

#include <spa/utils/ringbuffer.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>

namespace platform::pipewire {

// What goes in the ring before each buffer's samples.
struct BufferHeader {
    std::int64_t cycle_ns = 0;    // when the graph's cycle began; 0 when unknown
    std::int64_t arrival_ns = 0;  // when the buffer came
    std::uint32_t frame_bytes = 0;
    std::uint32_t bytes = 0;  // whole frames
    std::uint32_t hole = 0;   // no samples follow: that many bytes of silence
};

class BufferRing {
public:
    // Room for `capacity` bytes of headers and samples, rounded down to a power of two.
    explicit BufferRing(std::size_t capacity)
        : size_(std::bit_floor(static_cast<std::uint32_t>(capacity))),
          storage_(std::make_unique_for_overwrite<std::byte[]>(size_)) {}

    std::size_t capacity() const { return size_; }

    // Data thread. A buffer and its samples (none for a hole); the frames that went in now, a
    // hole ahead of it included.
    std::uint64_t push(const BufferHeader& header, std::span<const std::byte> samples) {
        std::uint64_t frames = 0;
        if (lost_.bytes > 0 && write(lost_, {})) {
            frames += lost_.bytes / lost_.frame_bytes;
            lost_ = {};
        }
        if (lost_.bytes == 0 && write(header, samples)) {
            return frames + header.bytes / header.frame_bytes;
        }
        const std::uint64_t bytes = std::uint64_t{lost_.bytes} + header.bytes;
        const std::uint32_t most =
            std::numeric_limits<std::uint32_t>::max() / header.frame_bytes * header.frame_bytes;
        lost_ = header;
        lost_.hole = 1;
        lost_.bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, most));
        return frames;
    }

    // Popping side. The next buffer's header and its samples: where they lie whole in the
    // ring, in place, otherwise gathered into `scratch` (which holds the ring's capacity).
    // They stay valid until the next pop. False when no buffer is there.
    bool pop(BufferHeader& header, std::span<const std::byte>& samples,
             std::span<std::byte> scratch) {
        // What the last pop lent is free from now on.
        spa_ringbuffer_read_update(&ring_, static_cast<std::int32_t>(taken_));
        std::uint32_t index = 0;
        if (spa_ringbuffer_get_read_index(&ring_, &index) < std::int32_t{HEADER_BYTES}) {
            return false;
        }
        get(index, &header, sizeof header);
        const std::uint32_t bytes = header.hole != 0 ? 0 : header.bytes;
        const std::uint32_t at = offset(index + HEADER_BYTES);
        if (at + bytes <= size_) {
            samples = {storage_.get() + at, bytes};
        } else {
            get(index + HEADER_BYTES, scratch.data(), bytes);
            samples = scratch.first(bytes);
        }
        taken_ = index + HEADER_BYTES + bytes;
        return true;
    }

private:
    static constexpr std::uint32_t HEADER_BYTES = sizeof(BufferHeader);

    // Header and samples go in together or not at all: the popping side never sees a part.
    bool write(const BufferHeader& header, std::span<const std::byte> samples) {
        std::uint32_t index = 0;
        const std::int32_t filled = spa_ringbuffer_get_write_index(&ring_, &index);
        const std::size_t bytes = sizeof header + samples.size();
        if (filled < 0 || bytes > size_ - static_cast<std::uint32_t>(filled)) return false;
        put(index, &header, sizeof header);
        put(index + sizeof header, samples.data(), samples.size());
        spa_ringbuffer_write_update(&ring_, static_cast<std::int32_t>(index + bytes));
        return true;
    }

    // `n` bytes at the ring's running index `at`; none is no copy (and no null pointer).
    void put(std::size_t at, const void* from, std::size_t n) {
        if (n == 0) return;
        spa_ringbuffer_write_data(&ring_, storage_.get(), size_, offset(at), from,
                                  static_cast<std::uint32_t>(n));
    }
    void get(std::size_t at, void* to, std::size_t n) {
        if (n == 0) return;
        spa_ringbuffer_read_data(&ring_, storage_.get(), size_, offset(at), to,
                                 static_cast<std::uint32_t>(n));
    }
    std::uint32_t offset(std::size_t at) const {
        return static_cast<std::uint32_t>(at) & (size_ - 1);
    }

    const std::uint32_t size_;
    std::unique_ptr<std::byte[]> storage_;
    spa_ringbuffer ring_ = SPA_RINGBUFFER_INIT();
    BufferHeader lost_{};      // what the ring had no room for since it last took a buffer
    std::uint32_t taken_ = 0;  // popping side: the end of what the last pop lent
};

}  // namespace platform::pipewire
