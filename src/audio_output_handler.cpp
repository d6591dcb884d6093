#include "src/audio_output_handler.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// `count` samples as they come, by the rule of float_to_i16. Every sample of a stereo
// recording passes here: eight at a time where the processor has SSE2 (all of x86-64), with
// the same clamp, scale and truncation, so the result is the same to the bit.
void convert_samples(const std::byte* bytes, std::int16_t* out, std::size_t count) noexcept {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128 low = _mm_set1_ps(-1.0f);
    const __m128 high = _mm_set1_ps(1.0f);
    const __m128 scale = _mm_set1_ps(32767.0f);
    const auto eight = [&](const std::byte* at) {
        const auto four = [&](const std::byte* from) {
            __m128 v = _mm_loadu_ps(reinterpret_cast<const float*>(from));
            v = _mm_and_ps(v, _mm_cmpord_ps(v, v));  // NaN becomes 0
            v = _mm_min_ps(_mm_max_ps(v, low), high);
            return _mm_cvttps_epi32(_mm_mul_ps(v, scale));
        };
        return _mm_packs_epi32(four(at), four(at + 4 * SAMPLE_BYTES));
    };
    for (; i + 8 <= count; i += 8) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), eight(bytes + i * SAMPLE_BYTES));
    }
#endif
    for (; i < count; ++i) {
        float sample;
        std::memcpy(&sample, bytes + i * SAMPLE_BYTES, SAMPLE_BYTES);
        out[i] = float_to_i16(sample);
    }
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
        convert_samples(bytes.data(), out.data(), 2 * frames);
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
