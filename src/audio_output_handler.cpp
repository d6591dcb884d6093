#include "src/audio_output_handler.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace helper {

namespace {

constexpr std::size_t SAMPLE_BYTES = sizeof(float);
static_assert(SAMPLE_BYTES == 4);

// The platform gives no alignment guarantee for the bytes, so each sample is copied out
// rather than read through a float pointer. Callers read only whole samples in range.
float sample_at(std::span<const std::byte> bytes, std::size_t index) noexcept {
    float sample;
    std::memcpy(&sample, bytes.data() + index * SAMPLE_BYTES, SAMPLE_BYTES);
    return sample;
}

std::span<const std::byte> bytes_of(const capture::AudioBufferList& list, std::size_t index) {
    const auto buffer = list.get(index);
    return buffer ? buffer->data() : std::span<const std::byte>();
}

bool from_interleaved(const capture::AudioBufferList& list, std::vector<std::int16_t>& out) {
    const auto buffer = list.get(0);
    if (!buffer) return false;
    const std::span<const std::byte> bytes = buffer->data();
    const std::size_t samples = bytes.size() / SAMPLE_BYTES;
    if (samples == 0) return false;
    const std::size_t channels = std::max<std::uint32_t>(buffer->number_channels(), 1);

    // Whole frames only, stereo included: each buffer starts on a frame, and a stray
    // sample passed on would put every later frame of the recording one sample off,
    // swapping left and right.
    const std::size_t frames = samples / channels;
    out.resize(2 * frames);
    if (channels == 2) {
        for (std::size_t i = 0; i < 2 * frames; ++i) out[i] = float_to_i16(sample_at(bytes, i));
        return true;
    }
    // Mono goes to both sides; otherwise the first two channels are left and right.
    const std::size_t right_offset = channels == 1 ? 0 : 1;
    for (std::size_t i = 0; i < frames; ++i) {
        out[2 * i] = float_to_i16(sample_at(bytes, i * channels));
        out[2 * i + 1] = float_to_i16(sample_at(bytes, i * channels + right_offset));
    }
    return true;
}

bool from_planar(const capture::AudioBufferList& list, std::vector<std::int16_t>& out) {
    // Every buffer counts towards the frame count, also those past the second.
    std::size_t frames = SIZE_MAX;
    for (std::size_t b = 0; b < list.num_buffers(); ++b) {
        frames = std::min(frames, bytes_of(list, b).size() / SAMPLE_BYTES);
    }
    if (frames == 0 || frames == SIZE_MAX) return false;
    const std::span<const std::byte> left = bytes_of(list, 0);
    const std::span<const std::byte> right = bytes_of(list, 1);
    out.resize(2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        out[2 * i] = float_to_i16(sample_at(left, i));
        out[2 * i + 1] = float_to_i16(sample_at(right, i));
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::int16_t>> to_interleaved_stereo(
    const capture::AudioBufferList& list) {
    std::vector<std::int16_t> out;
    if (!to_interleaved_stereo(list, out)) return std::nullopt;
    return out;
}

bool to_interleaved_stereo(const capture::AudioBufferList& list, std::vector<std::int16_t>& out) {
    switch (list.num_buffers()) {
        case 0:
            return false;
        case 1:
            return from_interleaved(list, out);
        default:
            return from_planar(list, out);
    }
}

}  // namespace helper
