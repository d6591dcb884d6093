#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace opus_ogg {

// The one rate the Opus encoder is run at; input at any other rate is converted to it.
inline constexpr std::uint32_t ENCODER_RATE = 48000;

// Resamples one chunk of interleaved PCM at `rate` to the encoder's rate (ENCODER_RATE) by linear
// interpolation and appends the frames to pcm. `position` is the read position in input frames,
// measured from this chunk's first frame; it carries over to the next chunk, which is the only
// state kept between chunks. Samples after the last whole frame are ignored.
//
// The position advances by repeated addition, never as count * step, so output
// counts per chunk stay exactly as they have always been for a given rate.
// A rate of 0 would never advance; such a call appends nothing.
void convert_rate(std::span<const std::int16_t> samples, std::size_t channels, std::uint32_t rate,
                  double& position, std::vector<std::int16_t>& pcm);

}  // namespace opus_ogg
