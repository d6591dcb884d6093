#pragma once

#include <cstdint>

namespace helper {

// What a recording is made of. Chosen here, once: the capture is configured with it and the
// writer encodes it.
struct RecordingFormat {
    std::uint32_t rate;
    std::uint8_t channels;
};

// 48 000 Hz is the encoder's own rate, so the writer takes the audio as it comes, without
// resampling. Stereo is what the output handler makes of every sample buffer.
inline constexpr RecordingFormat RECORDING_FORMAT{48000, 2};

}  // namespace helper
