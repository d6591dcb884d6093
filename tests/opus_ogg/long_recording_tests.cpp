// Two hours of 48 kHz stereo pushed through the writer the way capture delivers it (10 ms
// chunks), then read back: the end of the stream must be exact to the sample and the
// process's memory must stay flat while the file grows.

#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <opusfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <expected>
#include <fstream>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include <unistd.h>

#include "opus_ogg/opus_ogg_writer.h"
#include "tests/support/ogg_reading.h"

namespace {

using opus_ogg::OpusOggWriter;

constexpr std::uint32_t RATE = 48000;
constexpr std::size_t CHANNELS = 2;
constexpr std::size_t CHUNK_FRAMES = 480;
constexpr std::uint64_t HOURS = 2;
constexpr std::uint64_t TOTAL_FRAMES = HOURS * 3600 * RATE;
// Frames after the two hours that do not fill an Opus frame, so finalisation pads.
constexpr std::size_t TAIL_FRAMES = 333;
constexpr std::uint64_t FRAME = OpusOggWriter::FRAME_SAMPLES;
constexpr std::uint64_t PRE_SKIP = 312;
constexpr std::uint32_t SERIAL = 0x4D50EE80;
// Samples of resident memory taken through the run, after a warm-up.
constexpr int RSS_SAMPLES = 24;
// The writer keeps less than one frame of PCM and one page of packets; anything that
// grows with the length of the recording shows up as megabytes over two hours.
constexpr long RSS_GROWTH_LIMIT = 1 << 20;

// Ten seconds of something the encoder has to work on: two drifting tones with
// different content per channel and a little noise, so packets vary in size.
std::vector<std::int16_t> loop_signal() {
    const std::size_t frames = 10 * RATE;
    std::vector<std::int16_t> pcm(frames * CHANNELS);
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / RATE;
        const double envelope = 0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * 0.3 * t);
        for (std::size_t c = 0; c < CHANNELS; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const double hz = c == 0 ? 220.0 + 40.0 * t : 330.0 - 20.0 * t;
            const double v = 0.3 * envelope * std::sin(2.0 * std::numbers::pi * hz * t) +
                             0.01 * (static_cast<double>(noise >> 16) / 32768.0 - 1.0);
            pcm[i * CHANNELS + c] = static_cast<std::int16_t>(std::lround(v * 32767.0));
        }
    }
    return pcm;
}

long resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

struct PageScan {
    std::uint64_t pages = 0;
    std::uint64_t eos_pages = 0;
    std::uint64_t bad_pages = 0;  // sync losses, checksum failures included
    std::uint64_t sequence_errors = 0;
    std::uint64_t granule_errors = 0;  // not a multiple of a frame, or going backwards
    std::int64_t last_granule = -1;
};

// Every page of the file through libogg's reader, in pieces, so the file is never held in
// memory at once.
PageScan scan_pages(const std::string& path) {
    PageScan scan;
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return scan;
    std::int64_t previous = 0;
    for (bool more = true; more;) {
        char* buffer = ogg_sync_buffer(&sync, 1 << 16);
        const std::size_t n = std::fread(buffer, 1, 1 << 16, file);
        ogg_sync_wrote(&sync, static_cast<long>(n));
        more = n > 0;
        ogg_page page;
        for (int got; (got = ogg_sync_pageout(&sync, &page)) != 0;) {
            if (got < 0) {
                ++scan.bad_pages;
                continue;
            }
            if (ogg_page_serialno(&page) != static_cast<int>(SERIAL) ||
                static_cast<std::uint64_t>(ogg_page_pageno(&page)) != scan.pages) {
                ++scan.sequence_errors;
            }
            ++scan.pages;
            scan.eos_pages += ogg_page_eos(&page) != 0;
            const std::int64_t granule = ogg_page_granulepos(&page);
            if (granule != -1) {
                if (granule % static_cast<std::int64_t>(FRAME) != 0 || granule < previous) {
                    ++scan.granule_errors;
                }
                previous = granule;
            }
            scan.last_granule = granule;
        }
    }
    std::fclose(file);
    ogg_sync_clear(&sync);
    return scan;
}

// The file's last page, found from the end the way a player finds the length: the last
// capture pattern in the tail that starts a page which checks out.
struct LastPage {
    bool found = false;
    bool eos = false;
    std::int64_t granule = -1;
    std::uint32_t serial = 0;
    long sequence = -1;
};

LastPage read_last_page(const std::string& path) {
    LastPage last;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return last;
    // The largest page is 27 + 255 + 255 * 255 bytes.
    constexpr long TAIL = 27 + 255 + 255 * 255;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    const long start = std::max(0L, size - TAIL);
    std::fseek(file, start, SEEK_SET);
    std::vector<unsigned char> tail(static_cast<std::size_t>(size - start));
    const std::size_t n = std::fread(tail.data(), 1, tail.size(), file);
    std::fclose(file);
    tail.resize(n);

    for (std::size_t at = tail.size(); at-- > 0;) {
        if (tail.size() - at < 27 || std::memcmp(tail.data() + at, "OggS", 4) != 0) continue;
        ogg_sync_state sync;
        ogg_sync_init(&sync);
        char* buffer = ogg_sync_buffer(&sync, static_cast<long>(tail.size() - at));
        std::memcpy(buffer, tail.data() + at, tail.size() - at);
        ogg_sync_wrote(&sync, static_cast<long>(tail.size() - at));
        ogg_page page;
        // A whole page that ends the file exactly is the last page; anything else was a
        // capture pattern inside packet data.
        if (ogg_sync_pageout(&sync, &page) == 1 &&
            static_cast<std::size_t>(page.header_len + page.body_len) == tail.size() - at) {
            last = {true, ogg_page_eos(&page) != 0, ogg_page_granulepos(&page),
                    static_cast<std::uint32_t>(ogg_page_serialno(&page)), ogg_page_pageno(&page)};
        }
        ogg_sync_clear(&sync);
        if (last.found) break;
    }
    return last;
}

TEST(LongRecording, TwoHoursEndExactlyWithFlatMemory) {
    test_support::TempDir dir;
    const std::string path = dir.file("two_hours.opus");
    const std::vector<std::int16_t> loop = loop_signal();
    const std::size_t loop_frames = loop.size() / CHANNELS;
    ASSERT_EQ(loop_frames % CHUNK_FRAMES, 0u);

    std::vector<long> rss;
    const std::uint64_t sample_every = TOTAL_FRAMES / RSS_SAMPLES;
    std::uint64_t failed_writes = 0;
    std::expected<double, opus_ogg::IoError> seconds;
    {
        auto writer = OpusOggWriter::create(path, RATE, static_cast<std::uint8_t>(CHANNELS));
        ASSERT_TRUE(writer.has_value()) << writer.error().to_string();
        for (std::uint64_t frame = 0; frame < TOTAL_FRAMES; frame += CHUNK_FRAMES) {
            const std::size_t at = static_cast<std::size_t>(frame % loop_frames) * CHANNELS;
            failed_writes +=
                !writer->write_pcm_i16(std::span(loop).subspan(at, CHUNK_FRAMES * CHANNELS));
            if ((frame + CHUNK_FRAMES) % sample_every == 0) rss.push_back(resident_bytes());
        }
        ASSERT_TRUE(writer->write_pcm_i16(std::span(loop).first(TAIL_FRAMES * CHANNELS)));
        seconds = writer->finalize();
    }  // the writer closes the file here
    EXPECT_EQ(failed_writes, 0u);
    ASSERT_TRUE(seconds.has_value()) << seconds.error().to_string();

    // 360 000 whole frames, then the tail padded to one more.
    const std::uint64_t frames = TOTAL_FRAMES / FRAME + 1;
    EXPECT_EQ(*seconds, static_cast<double>(frames * FRAME) / RATE);
    EXPECT_EQ(*seconds, 7200.02);

    const LastPage last = read_last_page(path);
    ASSERT_TRUE(last.found);
    EXPECT_TRUE(last.eos);
    EXPECT_EQ(last.serial, SERIAL);
    EXPECT_EQ(last.granule, static_cast<std::int64_t>(frames * FRAME));

    const PageScan scan = scan_pages(path);
    EXPECT_EQ(scan.bad_pages, 0u);
    EXPECT_EQ(scan.sequence_errors, 0u);
    EXPECT_EQ(scan.granule_errors, 0u);
    EXPECT_EQ(scan.eos_pages, 1u);
    EXPECT_EQ(scan.last_granule, last.granule);
    EXPECT_EQ(static_cast<std::uint64_t>(last.sequence) + 1, scan.pages);

    // A player's view of the length: the last granule less the pre-skip.
    int error = 0;
    OggOpusFile* opus = op_open_file(path.c_str(), &error);
    ASSERT_NE(opus, nullptr) << "opusfile error " << error;
    EXPECT_EQ(op_pcm_total(opus, -1), static_cast<ogg_int64_t>(frames * FRAME - PRE_SKIP));
    op_free(opus);

    // The first sample comes after a twelfth of the run, when every buffer has reached
    // its working size.
    ASSERT_EQ(rss.size(), static_cast<std::size_t>(RSS_SAMPLES));
    const long peak = *std::max_element(rss.begin() + 1, rss.end());
    std::printf("%llu pages; resident memory %ld bytes after warm-up, peak %ld\n",
                static_cast<unsigned long long>(scan.pages), rss.front(), peak);
    EXPECT_LE(peak - rss.front(), RSS_GROWTH_LIMIT)
        << "resident memory grew from " << rss.front() << " to " << peak << " bytes";
}

}  // namespace
