#pragma once

// What PipeWire's data thread hands the capture worker: each buffer's header and its samples,
// through a ring that neither side waits on. A buffer the ring has no room for is not lost
// without a trace: it becomes a hole of its length, timed like it, that goes in ahead of the
// next buffer the ring takes, so what follows keeps its place.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "platform/backends/audio/spsc_ring.h"

namespace platform::pipewire {

// What goes in the ring before each buffer's samples.
struct BufferHeader {
    std::int64_t cycle_ns = 0;    // when the graph's cycle began; 0 when unknown
    std::int64_t arrival_ns = 0;  // when the buffer came
    std::uint32_t generation = 0;
    std::uint32_t frame_bytes = 0;
    std::uint32_t bytes = 0;  // whole frames
    std::uint32_t hole = 0;   // no samples follow: that many bytes of silence
};

class BufferRing {
public:
    // Room for `capacity` bytes of headers and samples.
    explicit BufferRing(std::size_t capacity) : ring_(capacity) {}

    std::size_t capacity() const { return ring_.capacity(); }

    // Data thread. A buffer and its samples (none for a hole); the frames that went in now, a
    // hole ahead of it included.
    std::uint64_t push(const BufferHeader& header, std::span<const std::byte> samples) {
        std::uint64_t frames = 0;
        if (lost_.bytes > 0 && ring_.push(bytes_of(lost_))) {
            frames += lost_.bytes / lost_.frame_bytes;
            lost_ = {};
        }
        if (lost_.bytes == 0 && ring_.push(bytes_of(header), samples)) {
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

    // Worker. The next buffer's header, its samples into `samples` (which holds the ring's
    // capacity); false when none is there.
    bool pop(BufferHeader& header, std::span<std::byte> samples) {
        if (!ring_.pop({reinterpret_cast<std::byte*>(&header), sizeof header})) return false;
        return ring_.pop(samples.first(header.hole != 0 ? 0 : header.bytes));
    }

private:
    static std::span<const std::byte> bytes_of(const BufferHeader& header) {
        return {reinterpret_cast<const std::byte*>(&header), sizeof header};
    }

    audio::SpscRing ring_;
    BufferHeader lost_{};  // what the ring had no room for since it last took a buffer
};

}  // namespace platform::pipewire
