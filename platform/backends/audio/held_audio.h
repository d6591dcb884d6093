#pragma once

// Audio that came after a gap, held until the gap rule knows how much of the gap it covers;
// otherwise audio goes straight on to the fragment assembly.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/backends/audio/frame_assembler.h"

namespace platform::audio {

class HeldAudio {
public:
    explicit HeldAudio(std::uint32_t channels) : channels_(channels) {}

    // `bytes` bytes of whole frames of 32-bit float samples (null data: that much silence),
    // held or handed on.
    void take(const void* data, std::size_t bytes, bool hold, FrameAssembler& assembler,
              const FrameAssembler::Sink& sink);

    // `silence` frames of silence, then what was held less its first `overlap` frames (time
    // already recorded, handed over twice).
    void release(std::uint64_t silence, std::uint64_t overlap, FrameAssembler& assembler,
                 const FrameAssembler::Sink& sink);

private:
    std::uint32_t channels_;
    std::vector<std::byte> held_;  // whole frames, as they came
};

}  // namespace platform::audio
