#pragma once

// A fixed, music-like test signal: overlapping notes with decaying harmonics, panned
// apart, over a little noise. The same seed gives the same samples on every run, so
// each recorder in a benchmark hears exactly the same thing.

#include <cstdint>
#include <vector>

namespace bench {

// `seconds` of 32-bit float stereo, interleaved, every sample within [-1, 1].
std::vector<float> music_like_stereo(std::uint32_t rate, std::uint32_t seconds,
                                     std::uint32_t seed = 1234567);

}  // namespace bench
