#pragma once

// Finding a test tone in a recording, for the benchmark's fidelity figures: where a tone
// of a known frequency begins and ends in decoded audio, even with music under it.
//
// The level of the tone is measured in windows of 1 ms with a Goertzel filter tuned to
// its frequency, on the mean of the channels. A window holds the tone when its level is at
// least half the tone's steady level in this recording (the median level of the windows
// clearly holding it), so that an encoder that changes the tone's level a little does
// not move the edges; an edge then lands within half a window (0.5 ms) of where it is.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace bench {

constexpr double TONE_HZ = 5000.0;  // above every note of the music signal and its harmonics
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

// The whole playable audio of an Ogg Opus file as 48 kHz stereo float, interleaved
// (libopusfile, pre-skip applied), or nothing when it cannot be read.
std::optional<std::vector<float>> decode_ogg_opus_stereo(const std::string& path);

}  // namespace bench
