#include "tests/support/decoded_audio.h"

#include <opusfile.h>

#include <memory>

#include "tests/support/tone_meter.h"

namespace test_support {

std::vector<float> DecodedAudio::channel(int index, std::size_t first, std::size_t count) const {
    return channel_of(samples, static_cast<std::size_t>(channels), static_cast<std::size_t>(index),
                      first, count);
}

namespace {

using OpusFile = std::unique_ptr<OggOpusFile, decltype(&op_free)>;

OpusFile open_opus_file(const std::string& path, int& error) {
    return {op_open_file(path.c_str(), &error), &op_free};
}

// Decodes to the end as 48 kHz stereo, appending to `samples` when given; 0, or
// libopusfile's error code.
int read_stereo(OggOpusFile* file, std::vector<float>* samples) {
    std::vector<float> chunk(5760 * 2);
    for (;;) {
        const int frames = op_read_float_stereo(file, chunk.data(), static_cast<int>(chunk.size()));
        if (frames <= 0) return frames;
        if (samples != nullptr)
            samples->insert(samples->end(), chunk.begin(), chunk.begin() + 2 * frames);
    }
}

}  // namespace

std::expected<DecodedAudio, std::string> decode_opus_file(const std::string& path) {
    int error = 0;
    const OpusFile file = open_opus_file(path, error);
    if (!file) return std::unexpected("op_open_file error " + std::to_string(error));
    DecodedAudio audio;
    audio.channels = op_channel_count(file.get(), -1);
    if (const int failed = read_stereo(file.get(), &audio.samples); failed < 0)
        return std::unexpected("op_read_float_stereo error " + std::to_string(failed));
    // op_read_float_stereo always gives two channels; a stereo file is what we write.
    if (audio.channels != 2)
        return std::unexpected("channel count " + std::to_string(audio.channels));
    return audio;
}

OpusFileCheck check_opus_file(const std::string& path) {
    int error = 0;
    const OpusFile file = open_opus_file(path, error);
    if (!file) return {};
    return {true, read_stereo(file.get(), nullptr) == 0};
}

}  // namespace test_support
