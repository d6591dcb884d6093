#pragma once

// The floor every recorder stands on: the CPU time of a bare opus_encode loop in this
// process over the same music the recorders hear.

#include <vector>

namespace bench {

// CPU seconds of this thread running opus_encode (libopus defaults, 20 ms frames) over
// `seconds` of `music` (48 kHz stereo, looped), converted to 16-bit as the helper converts
// it. Back to back, the encoder stays hot in the caches; paced, one frame every 20 ms as
// audio arrives, it starts cold each time and the thread sleeps and wakes once per frame,
// which is the least any real-time recorder does. Negative on failure.
double bare_encoder_cpu(const std::vector<float>& music, int seconds, bool paced);

}  // namespace bench
