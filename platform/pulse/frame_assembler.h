#pragma once

// Turns the server's byte chunks into fragments of whole frames: a frame split across
// two chunks is joined, a hole becomes silence of the same length, and no fragment is
// longer than a set number of frames.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace platform::pulse {

class FrameAssembler {
public:
    // 32-bit float samples, interleaved, valid for the call; first_frame counts the frames
    // handed over before them.
    using Sink = std::function<void(std::span<const float> interleaved, std::uint64_t first_frame)>;

    FrameAssembler(std::uint32_t channels, std::size_t max_frames);

    // `bytes` bytes of samples; null data stands for that many bytes of silence.
    void push(const void* data, std::size_t bytes, const Sink& sink);

    std::uint64_t frames_handed() const { return frames_handed_; }

private:
    std::uint32_t channels_;
    std::size_t frame_bytes_;
    std::size_t max_frames_;
    std::vector<std::byte> partial_;  // less than one frame, waiting for the next chunk
    std::vector<float> scratch_;      // reused, so a fragment costs no allocation
    std::uint64_t frames_handed_ = 0;
};

}  // namespace platform::pulse
