#include "bench/bare_encoder.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include <opus.h>
#include <time.h>

#include "bench/recorder_runs.h"

namespace bench {

namespace {

using namespace std::chrono_literals;

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

double bare_encoder_cpu(const std::vector<float>& music, int seconds, bool paced) {
    std::vector<opus_int16> pcm(music.size());
    std::transform(music.begin(), music.end(), pcm.begin(), [](float v) {
        return static_cast<opus_int16>(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
    });
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(
        static_cast<opus_int32>(RATE), static_cast<int>(CHANNELS), OPUS_APPLICATION_AUDIO, &error);
    if (encoder == nullptr || error != OPUS_OK) return -1;
    constexpr std::size_t FRAME = 960;
    constexpr auto FRAME_TIME = 20ms;
    const std::size_t frame_values = FRAME * CHANNELS;
    const std::size_t frames = static_cast<std::size_t>(seconds) * RATE / FRAME;
    const std::size_t loop_frames = pcm.size() / frame_values;
    std::vector<unsigned char> packet(4000);
    std::uint64_t bytes = 0;
    const double start = thread_cpu_seconds();
    auto next = Clock::now();
    for (std::size_t f = 0; f < frames; ++f) {
        if (paced) {
            next += FRAME_TIME;
            std::this_thread::sleep_until(next);
        }
        const opus_int16* frame = pcm.data() + (f % loop_frames) * frame_values;
        const opus_int32 n = opus_encode(encoder, frame, static_cast<int>(FRAME), packet.data(),
                                         static_cast<opus_int32>(packet.size()));
        if (n < 0) {
            opus_encoder_destroy(encoder);
            return -1;
        }
        bytes += static_cast<std::uint64_t>(n);
    }
    const double spent = thread_cpu_seconds() - start;
    opus_encoder_destroy(encoder);
    return bytes > 0 ? spent : -1;
}

}  // namespace bench
