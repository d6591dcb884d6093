#pragma once

// A recording as a listener hears it: decoded with libopusfile, independent of our writer.

#include <cstddef>
#include <expected>
#include <string>
#include <vector>

namespace test_support {

struct DecodedAudio {
    int channels = 0;
    // Interleaved, 48 000 Hz, pre-skip already removed by the decoder.
    std::vector<float> samples;

    std::size_t frames() const { return channels > 0 ? samples.size() / channels : 0; }
    // One channel of frames [first, first + count), clipped to what there is.
    std::vector<float> channel(int index, std::size_t first = 0,
                               std::size_t count = static_cast<std::size_t>(-1)) const;
};

// The whole file, or libopusfile's complaint.
std::expected<DecodedAudio, std::string> decode_opus_file(const std::string& path);

double rms(const std::vector<float>& samples);
// Frequency from rising zero crossings, in Hz at 48 000 Hz; 0 without two crossings.
double zero_crossing_frequency(const std::vector<float>& samples);

}  // namespace test_support
