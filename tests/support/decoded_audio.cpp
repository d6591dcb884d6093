#include "tests/support/decoded_audio.h"

#include <opusfile.h>

#include <memory>

#include "tests/support/tone_meter.h"

namespace test_support {

std::vector<float> DecodedAudio::channel(int index, std::size_t first, std::size_t count) const {
    return channel_of(samples, static_cast<std::size_t>(channels), static_cast<std::size_t>(index),
                      first, count);
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

}  // namespace test_support
