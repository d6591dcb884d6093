#include "tests/support/decoded_audio.h"

#include <opusfile.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace test_support {

std::vector<float> DecodedAudio::channel(int index, std::size_t first, std::size_t count) const {
    std::vector<float> out;
    const std::size_t end = first + std::min(count, frames() - std::min(first, frames()));
    for (std::size_t i = first; i < end; ++i) out.push_back(samples[i * channels + index]);
    return out;
}

std::expected<DecodedAudio, std::string> decode_opus_file(const std::string& path) {
    int error = 0;
    const std::unique_ptr<OggOpusFile, decltype(&op_free)> file(op_open_file(path.c_str(), &error),
                                                                &op_free);
    if (!file) return std::unexpected("op_open_file error " + std::to_string(error));
    DecodedAudio audio;
    audio.channels = op_channel_count(file.get(), -1);
    std::vector<float> chunk(5760 * 2);
    for (;;) {
        const int frames =
            op_read_float_stereo(file.get(), chunk.data(), static_cast<int>(chunk.size()));
        if (frames < 0)
            return std::unexpected("op_read_float_stereo error " + std::to_string(frames));
        if (frames == 0) break;
        audio.samples.insert(audio.samples.end(), chunk.begin(), chunk.begin() + 2 * frames);
    }
    // op_read_float_stereo always gives two channels; a stereo file is what we write.
    if (audio.channels != 2)
        return std::unexpected("channel count " + std::to_string(audio.channels));
    return audio;
}

double rms(const std::vector<float>& samples) {
    if (samples.empty()) return 0.0;
    double sum = 0.0;
    for (const float s : samples) sum += static_cast<double>(s) * s;
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

double zero_crossing_frequency(const std::vector<float>& samples) {
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0.0f && samples[i] >= 0.0f) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    }
    if (crossings < 2) return 0.0;
    return static_cast<double>(crossings - 1) * 48000.0 / static_cast<double>(last - first);
}

}  // namespace test_support
