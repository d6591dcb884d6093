#include "opus_ogg/opus_ogg_writer.h"

#include <gtest/gtest.h>
#include <opusfile.h>
#include <sys/wait.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>

#include "opus_ogg/opus_headers.h"
#include "tests/support/decoded_audio.h"
#include "tests/support/ogg_reading.h"
#include "tests/support/tone_meter.h"

namespace opus_ogg {
namespace {

using test_support::OggFile;
using test_support::read_bytes;
using test_support::read_ogg;
using Samples = std::vector<std::int16_t>;

constexpr std::uint32_t STEREO_SERIAL = 0x4D50EE80;
constexpr std::uint32_t MONO_SERIAL = 0x4E50EE80;

// Interleaved sines, one frequency per channel.
Samples sines(std::uint32_t rate, std::size_t frames, const std::vector<double>& hz) {
    Samples out(frames * hz.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::int16_t>(12000.0 *
                                           std::sin(2.0 * std::numbers::pi * hz[i % hz.size()] *
                                                    static_cast<double>(i / hz.size()) / rate));
    return out;
}

// Feeds pcm in chunks of chunk_frames frames and finalizes; the duration, or -1.
double record(const std::string& path, std::uint32_t rate, std::uint8_t channels,
              const Samples& pcm, std::size_t chunk_frames = 480) {
    auto writer = OpusOggWriter::create(path, rate, channels);
    if (!writer) return -1;
    const std::size_t chunk = chunk_frames * std::clamp<std::size_t>(channels, 1, 2);  // as taken
    for (std::size_t at = 0; at < pcm.size(); at += chunk)
        if (!writer->write_pcm_i16(std::span(pcm).subspan(at, std::min(chunk, pcm.size() - at))))
            return -1;
    return writer->finalize().value_or(-1);
}

struct Decoded {
    int channels = 0, pre_skip = 0;
    std::uint32_t input_rate = 0;
    Samples pcm;  // interleaved, 48 kHz, pre-skip removed
};

Decoded decode(const std::string& path) {
    Decoded out;
    OggOpusFile* file = op_open_file(path.c_str(), nullptr);
    EXPECT_NE(file, nullptr);
    if (file == nullptr) return out;
    const OpusHead* head = op_head(file, -1);
    out = {head->channel_count, static_cast<int>(head->pre_skip), head->input_sample_rate, {}};
    opus_int16 buffer[5760 * 2];
    for (int frames; (frames = op_read(file, buffer, 5760 * 2, nullptr)) != 0;) {
        ASSERT_GT(frames, 0) << "op_read failed", out;
        out.pcm.insert(out.pcm.end(), buffer, buffer + frames * out.channels);
    }
    op_free(file);
    return out;
}

// Frequency of one channel from its rising zero crossings, away from the edges.
double frequency(const Decoded& d, std::size_t channel) {
    const auto n = static_cast<std::size_t>(d.channels);
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t f = 4800; f + 4800 < d.pcm.size() / n; ++f) {
        const double a = d.pcm[(f - 1) * n + channel], b = d.pcm[f * n + channel];
        if (a < 0 && b >= 0) {
            last = static_cast<double>(f - 1) + a / (a - b);
            if (crossings++ == 0) first = last;
        }
    }
    return crossings < 2 ? 0 : (crossings - 1) * 48000.0 / (last - first);
}

std::uint32_t le32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16) |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// What a reader relies on: valid checksums, header packets alone on pages 0 and 1,
// gap-free sequence, audio packet k at granule 960 k, end-of-stream on the last page only.
void expect_stream_layout(const OggFile& file, std::uint32_t serial, std::size_t audio_packets) {
    EXPECT_EQ(file.holes, 0);
    ASSERT_EQ(file.packets.size(), 2 + audio_packets);
    EXPECT_EQ(file.packets[0],
              identification_header(file.packets[0][9], le32(file.packets[0], 12)));
    EXPECT_EQ(file.packets[1], comment_header());
    std::int64_t packets_so_far = 0;
    for (std::size_t i = 0; i < file.pages.size(); ++i) {
        const auto& page = file.pages[i];
        SCOPED_TRACE("page " + std::to_string(i));
        EXPECT_EQ(page.serial, serial);
        EXPECT_EQ(page.sequence, static_cast<long>(i));
        EXPECT_EQ(page.first, i == 0);
        EXPECT_EQ(page.last, i + 1 == file.pages.size());
        if (i < 2) {
            EXPECT_EQ(page.packets_ended, 1);
            EXPECT_EQ(page.granule, 0);
        } else {
            packets_so_far += page.packets_ended;
            EXPECT_EQ(page.granule, page.packets_ended == 0 ? -1 : 960 * packets_so_far);
        }
    }
}

TEST(OpusOggWriter, EmptyRecordingIsThreeExactPages) {
    test_support::TempDir dir;
    const std::string path = dir.file("empty.opus");
    EXPECT_EQ(record(path, 48000, 2, {}), 0.0);
    const OggFile file = read_ogg(path);
    const std::vector<std::uint8_t> first_page = {
        0x4F, 0x67, 0x67, 0x53, 0x00, 0x02, 0,    0,    0,    0,    0,    0,
        0,    0,    0x80, 0xEE, 0x50, 0x4D, 0x00, 0x00, 0x00, 0x00, 0x6A, 0x23,
        0x0B, 0x1D, 0x01, 0x13, 0x4F, 0x70, 0x75, 0x73, 0x48, 0x65, 0x61, 0x64,
        0x01, 0x02, 0x38, 0x01, 0x80, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x00};
    ASSERT_GE(file.bytes.size(), first_page.size());
    EXPECT_EQ(std::vector(file.bytes.begin(), file.bytes.begin() + 47), first_page);
    expect_stream_layout(file, STEREO_SERIAL, 1);
    ASSERT_EQ(file.pages.size(), 3u);
    EXPECT_EQ(file.pages[2].granule, 960);
}

TEST(OpusOggWriter, FramesAreCutAtExactly960PerChannel) {
    test_support::TempDir dir;
    const Samples pcm = sines(48000, 2880, {500.0, 700.0});
    struct Case {
        std::size_t first, second, pending;
        double seconds;  // a padded last frame counts in full, a silent closing one not at all
        std::size_t packets;
    };
    // A frame begun by one call and finished by the next, and chunks of several frames with
    // a rest, give the very bytes that the same samples give one at a time.
    for (const Case c :
         {Case{1920, 0, 0, 0.02, 2}, Case{1919, 0, 1919, 0.02, 1}, Case{1920, 1, 1, 0.04, 2},
          Case{1000, 3940, 1100, 0.06, 3}, Case{5760, 0, 0, 0.06, 4}}) {
        SCOPED_TRACE(std::to_string(c.first) + " + " + std::to_string(c.second));
        const std::string path = dir.file("cut.opus");
        auto created = OpusOggWriter::create(path, 48000, 2);
        ASSERT_TRUE(created.has_value());
        OpusOggWriter writer = std::move(*created);  // the moved-to writer owns the stream
        ASSERT_TRUE(writer.write_pcm_i16(std::span(pcm).first(c.first)));
        ASSERT_TRUE(writer.write_pcm_i16(std::span(pcm).first(c.second)));
        EXPECT_EQ(writer.finalize(), c.seconds);
        expect_stream_layout(read_ogg(path), STEREO_SERIAL, c.packets);
        if (c.pending > 480) {  // what waited for a whole frame is in the padded last one
            const auto decoded = test_support::decode_opus_file(path);
            ASSERT_TRUE(decoded.has_value());
            const std::size_t end = (c.first + c.second) / 2, held = c.pending / 2;
            EXPECT_GT(test_support::rms(decoded->channel(0, end - held + 60, held - 120)), 0.1);
        }

        const std::string single = dir.file("single.opus");
        auto one_by_one = OpusOggWriter::create(single, 48000, 2);
        ASSERT_TRUE(one_by_one.has_value());
        for (const std::size_t count : {c.first, c.second}) {
            for (const std::int16_t sample : std::span(pcm).first(count))
                ASSERT_TRUE(one_by_one->write_pcm_i16(std::span(&sample, 1)));
        }
        ASSERT_TRUE(one_by_one->finalize());
        EXPECT_EQ(read_bytes(single), read_bytes(path));
    }
}

TEST(OpusOggWriter, ChannelCountsRatesAndSerials) {
    test_support::TempDir dir;
    struct Case {
        std::uint32_t rate;
        std::uint8_t asked;
        int channels;
        std::uint32_t serial;
    };
    for (const Case c : {Case{48000, 0, 1, MONO_SERIAL}, Case{48000, 1, 1, MONO_SERIAL},
                         Case{48000, 2, 2, STEREO_SERIAL}, Case{48000, 3, 2, STEREO_SERIAL},
                         Case{48000, 255, 2, STEREO_SERIAL},
                         Case{44100, 2, 2, 44100u ^ 0x02000000u ^ 0x4F505500u}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, channels " + std::to_string(c.asked));
        const std::string path = dir.file("ch.opus");
        std::vector<double> tones(static_cast<std::size_t>(c.channels), 440.0);
        // 0.2 s: ten whole frames, then the closing silent frame (one more from 44.1 kHz).
        EXPECT_DOUBLE_EQ(record(path, c.rate, c.asked, sines(c.rate, c.rate / 5, tones), 441),
                         c.rate == 48000 ? 0.2 : 0.22);
        const OggFile file = read_ogg(path);
        expect_stream_layout(file, c.serial, 11);
        EXPECT_EQ(file.packets[0][9], c.channels);
        EXPECT_EQ(le32(file.packets[0], 12), c.rate);
        EXPECT_EQ(decode(path).channels, c.channels);
    }
}

// opus-tools' inspector: its exit status (or -1) and the lines it flags.
std::pair<int, std::vector<std::string>> opusinfo(const std::string& path) {
    FILE* pipe = ::popen(("opusinfo '" + path + "' 2>&1").c_str(), "r");
    if (pipe == nullptr) return {-1, {}};
    std::vector<std::string> flagged;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        const std::string text = line;
        if (text.find("WARNING") != std::string::npos || text.find("ERROR") != std::string::npos)
            flagged.push_back(text);
    }
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, flagged};
}

// Tones survive encoding, resampling and decoding by independent readers.
TEST(OpusOggWriter, IndependentReadersAcceptTheFiles) {
    test_support::TempDir dir;
    struct Case {
        std::uint32_t rate;
        std::size_t whole_frames;
        double seconds;  // a silent closing frame does not count, a padded one does
    };
    for (const Case c : {Case{48000, 200, 4.0}, Case{44100, 200, 4.02}, Case{48000, 300, 6.0}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.whole_frames) + " frames");
        const std::string path = dir.file("tones.opus");
        const std::size_t frames = c.whole_frames * c.rate / 50;
        EXPECT_DOUBLE_EQ(record(path, c.rate, 2, sines(c.rate, frames, {440.0, 1250.0}), 441),
                         c.seconds);
        const OggFile file = read_ogg(path);
        expect_stream_layout(file, c.rate ^ 0x02000000u ^ 0x4F505500u, c.whole_frames + 1);

        const Decoded d = decode(path);
        EXPECT_EQ(d.channels, 2);
        EXPECT_EQ(d.pre_skip, 312);
        EXPECT_EQ(d.pcm.size(), ((c.whole_frames + 1) * 960 - 312) * 2);
        EXPECT_NEAR(frequency(d, 0), 440.0, 1.0);
        EXPECT_NEAR(frequency(d, 1), 1250.0, 3.0);

        // Pages end only when 255 lacing values are used, about 5 s of audio at the
        // default bit rate, and the inspector flags pages that long as muxing delay.
        // Nothing else may be flagged, and a file of 4 s or less must pass outright.
        const auto [status, flagged] = opusinfo(path);
        for (const auto& line : flagged)
            EXPECT_NE(line.find("high muxing delay"), std::string::npos) << line;
        if (c.whole_frames <= 200) {
            EXPECT_EQ(status, 0);
            EXPECT_TRUE(flagged.empty());
        }
    }
}

TEST(OpusOggWriter, OddInputsNeitherFailNorTouchTheFile) {
    test_support::TempDir dir;
    auto zero = OpusOggWriter::create(dir.file("zero.opus"), 0, 2);
    ASSERT_FALSE(zero.has_value());
    EXPECT_EQ(zero.error().to_string(), "unsupported input rate 0");
    EXPECT_FALSE(std::filesystem::exists(dir.file("zero.opus")));

    for (const std::uint32_t rate : {48000u, 44100u}) {
        auto writer = OpusOggWriter::create(dir.file("odd.opus"), rate, 2);
        ASSERT_TRUE(writer.has_value());
        ASSERT_TRUE(writer->write_pcm_i16(Samples{1234}));  // fewer samples than channels
        // Kept as given at 48 kHz, so a padded frame ends the file; the converter has no whole
        // frame to use, so only the silent closing one follows, which counts for nothing.
        EXPECT_EQ(writer->finalize(), rate == 48000 ? 0.02 : 0.0);
    }
}

// The summary the end-to-end and fault tests judge recordings by: a whole recording, then
// the same bytes with one page damaged and a stray byte after the end.
TEST(OggReading, SummaryCountsOnlyWholeGoodPages) {
    test_support::TempDir dir;
    const std::string path = dir.file("summary.opus");
    ASSERT_GT(record(path, 48000, 2, sines(48000, 48000 * 20, {440.0, 660.0})), 0.0);
    const OggFile file = read_ogg(path);
    ASSERT_GE(file.pages.size(), 5u);
    const test_support::OggSummary whole = test_support::summarize(file);
    EXPECT_EQ(whole.pages, static_cast<int>(file.pages.size()));
    EXPECT_EQ(whole.page_bytes, whole.bytes);
    EXPECT_EQ(whole.skipped, 0);
    EXPECT_TRUE(whole.starts_with_capture);
    EXPECT_TRUE(whole.headers_first);
    EXPECT_TRUE(whole.sequence_gap_free);
    EXPECT_TRUE(whole.eos_on_last_page_only);
    EXPECT_EQ(whole.last_granule, file.pages.back().granule);
    EXPECT_EQ(whole.audio_packets, static_cast<long>(file.packets.size()) - 2);

    std::vector<std::uint8_t> damaged = file.bytes;
    const std::size_t third = file.pages[0].size + file.pages[1].size;
    damaged[third + 27 + damaged[third + 26] + 10] ^= 0xFF;  // in the third page's body
    damaged.push_back('O');
    const test_support::OggSummary summary =
        test_support::summarize(test_support::parse_ogg(damaged));
    EXPECT_EQ(summary.pages, whole.pages - 1);
    EXPECT_EQ(summary.skipped, 1);
    EXPECT_EQ(summary.page_bytes, whole.bytes - file.pages[2].size);
    EXPECT_EQ(summary.bytes, whole.bytes + 1);
    EXPECT_FALSE(summary.sequence_gap_free);
    EXPECT_TRUE(summary.headers_first);
    EXPECT_TRUE(summary.eos_on_last_page_only);
    EXPECT_EQ(summary.last_granule, whole.last_granule);
    EXPECT_LT(summary.audio_packets, whole.audio_packets);

    const test_support::OggSummary nothing = test_support::summarize(test_support::parse_ogg({}));
    EXPECT_EQ(nothing.pages, 0);
    EXPECT_FALSE(nothing.starts_with_capture);
    EXPECT_FALSE(nothing.headers_first);
    EXPECT_FALSE(nothing.last_is_eos);
    EXPECT_EQ(nothing.last_granule, -1);
}

TEST(OpusOggWriter, ReportsFileErrors) {
    auto missing = OpusOggWriter::create("/nonexistent-vmah-dir/x.opus", 48000, 2);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");

    // The headers wait in the buffer, so a full device shows at finalize.
    auto quiet = OpusOggWriter::create("/dev/full", 48000, 2);
    ASSERT_TRUE(quiet.has_value());
    auto finished = quiet->finalize();
    ASSERT_FALSE(finished.has_value());
    EXPECT_EQ(finished.error().to_string(), "No space left on device (os error 28)");

    // Pages the device refuses wait in memory for it: write_pcm_i16 goes on succeeding and
    // consuming every whole frame, and finalize says the file is not complete.
    auto writer = OpusOggWriter::create("/dev/full", 48000, 2);
    ASSERT_TRUE(writer.has_value());
    const Samples second = sines(48000, 48000, {440.0, 660.0});
    int failures = 0;
    for (int i = 0; i < 8; ++i) {
        auto written = writer->write_pcm_i16(second);
        if (!written) {
            ++failures;
            EXPECT_EQ(written.error().to_string(), "No space left on device (os error 28)");
        }
    }
    EXPECT_EQ(failures, 0);
    // Over 255 frames went through the encoder: a whole page of them is owed to the device.
    EXPECT_GT(writer->output_progress()->asked.load(), BufferedFile::CAPACITY);
    EXPECT_FALSE(writer->finalize().has_value());
}

}  // namespace
}  // namespace opus_ogg
