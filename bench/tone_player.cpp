#include "bench/tone_player.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>

#include <pthread.h>
#include <sched.h>

namespace bench {

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t PLAY_RATE = 48000;
constexpr std::uint32_t PLAY_CHANNELS = 2;
constexpr std::size_t PIECE_FRAMES = PLAY_RATE / 100;
// Estimates taken while the stream fills its buffer, before it plays, are off: only
// those after this long count.
constexpr auto SETTLE = 300ms;
constexpr std::size_t ENOUGH_ESTIMATES = 10;

double seconds_of(TonePlayer::Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

std::optional<std::string> TonePlayer::start(TonePlayer& player, const std::string& server,
                                             const std::string& sink, std::vector<float> pcm,
                                             int buffer_ms) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, PLAY_RATE, PLAY_CHANNELS};
    pa_buffer_attr attr{};
    const pa_buffer_attr* wanted = nullptr;
    if (buffer_ms > 0) {
        // As pacat --latency-msec sets it: the target length, the rest left to the server.
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(buffer_ms) * PLAY_RATE / 1000 * PLAY_CHANNELS *
                       sizeof(float);
        attr.prebuf = static_cast<std::uint32_t>(-1);
        attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(-1);
        wanted = &attr;
    }
    int error = 0;
    player.stream_ = pa_simple_new(server.c_str(), "vmah-bench-tone", PA_STREAM_PLAYBACK,
                                   sink.empty() ? nullptr : sink.c_str(), "tone", &spec, nullptr,
                                   wanted, &error);
    if (player.stream_ == nullptr) return std::string("tone player: ") + pa_strerror(error);
    player.pcm_ = std::move(pcm);
    const auto connected = Clock::now();
    player.thread_ = std::thread([&player, connected] { player.run(connected); });
    return std::nullopt;
}

void TonePlayer::run(Clock::time_point connected) {
    const std::vector<float> silence(PIECE_FRAMES * PLAY_CHANNELS, 0.0f);
    std::size_t written = 0;  // frames
    const std::size_t total = pcm_.size() / PLAY_CHANNELS;
    while (!stopped_.load()) {
        const float* piece = silence.data();
        std::size_t frames = PIECE_FRAMES;
        if (written < total) {
            frames = std::min(PIECE_FRAMES, total - written);
            piece = pcm_.data() + written * PLAY_CHANNELS;
        }
        int error = 0;
        if (pa_simple_write(stream_, piece, frames * PLAY_CHANNELS * sizeof(float), &error) < 0) {
            std::lock_guard lock(mutex_);
            failure_ = std::string("tone player: ") + pa_strerror(error);
            return;
        }
        written += frames;
        const pa_usec_t latency = pa_simple_get_latency(stream_, &error);
        const auto now = Clock::now();
        if (latency == static_cast<pa_usec_t>(-1) || now - connected < SETTLE) continue;
        const double origin = seconds_of(now) + static_cast<double>(latency) / 1e6 -
                              static_cast<double>(written) / PLAY_RATE;
        std::lock_guard lock(mutex_);
        origins_.push_back(origin);
    }
}

std::optional<TonePlayer::Clock::time_point> TonePlayer::origin() const {
    std::lock_guard lock(mutex_);
    if (origins_.size() < ENOUGH_ESTIMATES) return std::nullopt;
    std::vector<double> sorted = origins_;
    std::nth_element(sorted.begin(),
                     sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    const double seconds = sorted[sorted.size() / 2];
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
}

std::optional<TonePlayer::Clock::time_point> TonePlayer::wait_origin(
    std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (auto found = origin()) return found;
        if (Clock::now() >= deadline || failure()) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

std::optional<std::string> TonePlayer::failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

bool TonePlayer::make_realtime(int priority) {
    if (!thread_.joinable()) return false;
    const sched_param param{.sched_priority = priority};
    return ::pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &param) == 0;
}

void TonePlayer::stop() {
    stopped_.store(true);
    if (thread_.joinable()) thread_.join();
    if (stream_ != nullptr) {
        pa_simple_free(stream_);
        stream_ = nullptr;
    }
}

}  // namespace bench
