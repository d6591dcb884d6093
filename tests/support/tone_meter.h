#pragma once

// Test tones and their measurement, for the tests and the benchmarks alike: the one tone
// generator, a tone's level and frequency, which blocks of a recording are loud, and where a
// tone of a known frequency begins and ends in decoded audio, even with music under it.
//
// For the edges, the level of the tone is measured in windows of 1 ms with a Goertzel filter
// tuned to its frequency, on the mean of the channels. A window holds the tone when its level
// is at least half the tone's steady level in this recording (the median level of the windows
// clearly holding it), so that an encoder that changes the tone's level a little does not
// move the edges; an edge then lands within half a window (0.5 ms) of where it is.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace test_support {

// The benchmarks' test tone: above every note of their music signal and its harmonics.
constexpr double TONE_HZ = 5000.0;
constexpr double TONE_AMPLITUDE = 0.25;

// `seconds` of a sine at `frequency`, the same on every channel, interleaved, with 1 ms
// fades in and out (an abrupt edge would spread over every frequency).
std::vector<float> tone(double frequency, double amplitude, double seconds, std::uint32_t rate,
                        std::uint32_t channels);

// The amplitude of `frequency` in each whole window of `window` frames of the channel mean.
std::vector<double> tone_levels(std::span<const float> interleaved, std::uint32_t channels,
                                std::uint32_t rate, double frequency, std::size_t window);

struct ToneSpan {
    std::size_t first_frame = 0;  // of the first window holding the tone
    std::size_t end_frame = 0;    // one past the last window holding it
    double level = 0;             // the tone's steady amplitude in the recording

    std::size_t frames() const { return end_frame - first_frame; }
};

// The stretch from the first to the last window holding the tone, or nothing when no
// window reaches `floor` (an amplitude: what counts as clearly the tone).
std::optional<ToneSpan> find_tone_span(std::span<const float> interleaved, std::uint32_t channels,
                                       std::uint32_t rate, double frequency, double floor);

// Frames [first, first + count) of one channel of interleaved audio, clipped to what there is.
std::vector<float> channel_of(std::span<const float> interleaved, std::size_t channels,
                              std::size_t channel, std::size_t first = 0,
                              std::size_t count = static_cast<std::size_t>(-1));

double rms(std::span<const float> samples);

// Frequency from upward zero crossings, interpolated between samples; 0 without two crossings.
double zero_crossing_frequency(std::span<const float> samples, double rate = 48000.0);

// The RMS level of each whole block of `block` frames from `from_frame` on: of one channel,
// or of all of them when `channel` is empty.
std::vector<double> block_rms(std::span<const float> interleaved, std::size_t channels,
                              std::size_t block, std::optional<std::size_t> channel = {},
                              std::size_t from_frame = 0);

}  // namespace test_support
