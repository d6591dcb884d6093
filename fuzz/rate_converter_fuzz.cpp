// Feeds the rate converter a run of chunks cut from the input: any rate, one or two
// channels, any chunk length (odd sample counts included) and any sample values.
// For every chunk the output must be whole frames, as many as the position and the step
// allow, each sample between the smallest and largest input sample of its channel, and
// the carried position must never go negative.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "opus_ogg/rate_converter.h"

namespace {

// Keeps one input from running for long: an upsampling step of 1/48000 turns a chunk
// of a thousand frames into 48 million.
constexpr double MAX_OUTPUT_FRAMES = 1 << 16;
constexpr std::size_t OUTPUT_BUDGET = 1 << 18;
constexpr std::size_t MAX_CHUNK_FRAMES = 4096;

[[noreturn]] void fail(const char* what, double detail) {
    std::fprintf(stderr, "rate converter: %s (%.17g)\n", what, detail);
    std::abort();
}

using fuzz::Input;

// Common rates most of the time, so the interesting ratios get coverage; otherwise any
// 32-bit rate, 0 and the extremes included.
std::uint32_t pick_rate(Input& in) {
    static constexpr std::uint32_t COMMON[] = {8000,  11025, 16000, 22050, 24000, 32000,
                                               44100, 47999, 48001, 88200, 96000, 192000};
    const std::uint32_t selector = in.take(1);
    if (selector < 192) return COMMON[selector % std::size(COMMON)];
    return in.take(4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{{data, size}};
    const std::uint32_t rate = pick_rate(in);
    const std::size_t channels = 1 + in.take(1) % 2;
    const double step = rate / 48000.0;
    double position = 0.0;
    std::size_t total_output = 0;

    while (!in.empty() && total_output < OUTPUT_BUDGET) {
        // Up to 4096 frames and, now and then, a dangling sample of an unfinished frame.
        std::size_t samples = (in.take(2) % (MAX_CHUNK_FRAMES + 1)) * channels + in.take(1) % 2;
        if (rate == 0 || static_cast<double>(samples / channels) / step > MAX_OUTPUT_FRAMES) {
            samples = std::min<std::size_t>(samples, 2 * channels);
        }
        // Contents: the input's bytes where it still has some, a fixed pattern after.
        std::vector<std::int16_t> chunk(samples);
        for (std::size_t i = 0; i < samples; ++i) {
            chunk[i] = in.empty() ? static_cast<std::int16_t>(i * 7919)
                                  : static_cast<std::int16_t>(in.take(2));
        }
        std::vector<std::int16_t> lowest(channels, INT16_MAX), highest(channels, INT16_MIN);
        const std::size_t frames = samples / channels;
        for (std::size_t i = 0; i < frames * channels; ++i) {
            lowest[i % channels] = std::min(lowest[i % channels], chunk[i]);
            highest[i % channels] = std::max(highest[i % channels], chunk[i]);
        }

        // Output is appended: what was there stays.
        std::vector<std::int16_t> pcm = {123, -456};
        const double before = position;
        opus_ogg::convert_rate(chunk, channels, rate, position, pcm);
        if (pcm[0] != 123 || pcm[1] != -456) fail("earlier output changed", 0);
        const std::size_t produced = pcm.size() - 2;
        total_output += produced;

        if (rate == 0) {
            if (produced != 0) fail("rate 0 produced output", static_cast<double>(produced));
            continue;
        }
        if (produced % channels != 0)
            fail("output is not whole frames", static_cast<double>(produced));
        if (!(position >= 0.0)) fail("negative position", position);
        const double out_frames = static_cast<double>(produced / channels);
        const double f = static_cast<double>(frames);

        if (before >= f) {
            // Nothing to read at this position: only the position moves, by the chunk.
            if (produced != 0) fail("output past the chunk's end", out_frames);
            if (position != before - f) fail("position did not move back by the chunk", position);
            continue;
        }
        // One frame per step from the entry position to the chunk's end; rounding of
        // the repeated addition may move the count by one either way.
        const double expected = std::ceil((f - before) / step);
        if (out_frames < expected - 1 || out_frames > expected + 1)
            fail("output frame count", out_frames);
        if (out_frames < 1) fail("no output although the position was inside the chunk", before);
        // Below one step, give or take the rounding of the last addition.
        if (position >= step + (f + step) * 1e-12) fail("position beyond one step", position);

        for (std::size_t i = 0; i < produced; ++i) {
            const std::size_t c = i % channels;
            const std::int16_t y = pcm[2 + i];
            if (y < lowest[c] || y > highest[c]) fail("sample outside its channel's range", y);
        }
    }
    return 0;
}
