#pragma once

// A recording as a listener hears it: decoded with libopusfile, independent of our writer.
// The one Opus decoder of the tests and the benchmarks; tests/support/tone_meter.h measures
// what it gives.

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

// libopusfile's verdict on a file that may be damaged: whether it opens, and whether it then
// decodes to the end without an error.
struct OpusFileCheck {
    bool opened = false;
    bool read_to_end = false;
};
OpusFileCheck check_opus_file(const std::string& path);

}  // namespace test_support
