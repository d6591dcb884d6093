// Cost of the Ogg Opus writer over bare encoding: the same 60 s of 48 kHz stereo
// go through OpusOggWriter (in 40 ms chunks, as capture delivers them, into a file
// in /tmp) and through a plain opus_encode loop. Runs alternate; medians compared, of
// the thread's CPU time (what the work costs, the file's system calls included) and of
// the elapsed time (which also holds whatever else the machine ran meanwhile).

#include <opus.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "bench/music_signal.h"
#include "opus_ogg/opus_ogg_writer.h"

namespace {

using opus_ogg::OpusOggWriter;
using Clock = std::chrono::steady_clock;

constexpr int RATE = 48000;
constexpr int CHANNELS = 2;
constexpr int SECONDS = 60;
constexpr std::size_t CHUNK_FRAMES = 1920;
constexpr int RUNS = 7;

// The benchmarks' music-like signal as 16-bit stereo, the writer's input format.
std::vector<std::int16_t> music_like_signal() {
    const std::vector<float> music = bench::music_like_stereo(RATE, SECONDS);
    std::vector<std::int16_t> pcm(music.size());
    std::transform(music.begin(), music.end(), pcm.begin(), [](float sample) {
        return static_cast<std::int16_t>(std::lround(sample * 32767.0));
    });
    return pcm;
}

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Elapsed and CPU time of one run; negative when the run failed.
struct Cost {
    double wall = -1;
    double cpu = -1;
};

class Stopwatch {
public:
    Cost read() const {
        return {std::chrono::duration<double>(Clock::now() - wall_).count(),
                thread_cpu_seconds() - cpu_};
    }

private:
    Clock::time_point wall_ = Clock::now();
    double cpu_ = thread_cpu_seconds();
};

// Feeds pcm through a writer and finalizes it; false on any failure.
bool write_file(const std::string& path, std::span<const std::int16_t> pcm) {
    auto writer = OpusOggWriter::create(path, RATE, CHANNELS);
    if (!writer) {
        std::fprintf(stderr, "create: %s\n", writer.error().to_string().c_str());
        return false;
    }
    for (std::size_t at = 0; at < pcm.size(); at += CHUNK_FRAMES * CHANNELS) {
        const std::size_t n = std::min(CHUNK_FRAMES * CHANNELS, pcm.size() - at);
        if (auto written = writer->write_pcm_i16(pcm.subspan(at, n)); !written) {
            std::fprintf(stderr, "write_pcm_i16: %s\n", written.error().to_string().c_str());
            return false;
        }
    }
    auto duration = writer->finalize();
    if (!duration || *duration != SECONDS) {
        std::fprintf(stderr, "finalize failed or gave the wrong duration\n");
        return false;
    }
    return true;
}

// The cost including closing the file.
Cost run_writer(const std::string& path, std::span<const std::int16_t> pcm) {
    const Stopwatch watch;
    if (!write_file(path, pcm)) return {};
    return watch.read();
}

Cost run_bare(std::span<const std::int16_t> pcm, std::uint64_t& total_bytes) {
    const Stopwatch watch;
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(RATE, CHANNELS, OPUS_APPLICATION_AUDIO, &error);
    if (encoder == nullptr || error != 0) return {};
    unsigned char packet[OpusOggWriter::MAX_PACKET_BYTES];
    const std::size_t frame = OpusOggWriter::FRAME_SAMPLES * CHANNELS;
    for (std::size_t at = 0; at + frame <= pcm.size(); at += frame) {
        const opus_int32 n =
            opus_encode(encoder, pcm.data() + at, static_cast<int>(OpusOggWriter::FRAME_SAMPLES),
                        packet, sizeof packet);
        if (n < 0) {
            opus_encoder_destroy(encoder);
            return {};
        }
        total_bytes += static_cast<std::uint64_t>(n);
    }
    opus_encoder_destroy(encoder);
    return watch.read();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    const std::vector<std::int16_t> pcm = music_like_signal();
    const std::string path = "/tmp/vmah-writer-bench-" + std::to_string(::getpid()) + ".opus";

    std::vector<double> writer_wall, writer_cpu, bare_wall, bare_cpu;
    std::uint64_t bare_bytes = 0;
    // One untimed pair first, so neither side pays for cold caches and page faults.
    if (!write_file(path, pcm) || run_bare(pcm, bare_bytes).cpu < 0) {
        ::unlink(path.c_str());
        std::fprintf(stderr, "writer_bench: warm-up failed\n");
        return 1;
    }
    bare_bytes = 0;
    for (int run = 0; run < RUNS; ++run) {
        const Cost w = run_writer(path, pcm);
        const Cost b = run_bare(pcm, bare_bytes);
        if (w.cpu < 0 || b.cpu < 0) {
            ::unlink(path.c_str());
            std::fprintf(stderr, "writer_bench: run %d failed\n", run);
            return 1;
        }
        writer_wall.push_back(w.wall);
        writer_cpu.push_back(w.cpu);
        bare_wall.push_back(b.wall);
        bare_cpu.push_back(b.cpu);
    }
    ::unlink(path.c_str());

    std::printf("writer_bench: %d s of %d Hz stereo, %d alternating runs each, medians\n", SECONDS,
                RATE, RUNS);
    std::printf("bare opus_encode loop: cpu %.1f ms, elapsed %.1f ms (%.1f kB per run)\n",
                median(bare_cpu) * 1e3, median(bare_wall) * 1e3,
                static_cast<double>(bare_bytes) / RUNS / 1e3);
    std::printf("OpusOggWriter:         cpu %.1f ms, elapsed %.1f ms\n", median(writer_cpu) * 1e3,
                median(writer_wall) * 1e3);
    std::printf("ratio writer/bare:     cpu %.4f (goal <= 1.02), elapsed %.4f\n",
                median(writer_cpu) / median(bare_cpu), median(writer_wall) / median(bare_wall));
    return 0;
}
