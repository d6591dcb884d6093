#include "src/opus_ogg/opus_ogg_writer.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <numbers>
#include <opusfile.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "src/opus_ogg/opus_headers.h"
#include "tests/opus_ogg/ogg_reading.h"

namespace opus_ogg {
namespace {

using opus_ogg_test::OggFile;
using opus_ogg_test::read_bytes;
using opus_ogg_test::read_ogg;
using opus_ogg_test::TempDir;
using Samples = std::vector<std::int16_t>;

// Interleaved sines, one frequency per channel, at the given rate.
Samples sines(std::uint32_t rate, std::size_t frames, const std::vector<double>& hz) {
    Samples out(frames * hz.size());
    for (std::size_t f = 0; f < frames; ++f)
        for (std::size_t c = 0; c < hz.size(); ++c)
            out[f * hz.size() + c] = static_cast<std::int16_t>(
                12000.0 * std::sin(2.0 * std::numbers::pi * hz[c] * static_cast<double>(f) / rate));
    return out;
}

// Feeds samples in chunks of `chunk_frames` frames, then finalizes.
double record(const std::string& path, std::uint32_t rate, std::uint8_t channels, const Samples& pcm,
              std::size_t chunk_frames) {
    auto writer = OpusOggWriter::create(path, rate, channels);
    EXPECT_TRUE(writer.has_value());
    if (!writer) return -1;
    const std::size_t chunk = chunk_frames * writer->channel_count();
    for (std::size_t at = 0; at < pcm.size(); at += chunk) {
        const std::size_t n = std::min(chunk, pcm.size() - at);
        EXPECT_TRUE(writer->write_pcm_i16(std::span(pcm).subspan(at, n)));
    }
    auto seconds = writer->finalize();
    EXPECT_TRUE(seconds.has_value());
    return seconds.value_or(-1);
}

struct Decoded {
    int channels = 0;
    int pre_skip = 0;
    std::uint32_t input_rate = 0;
    Samples pcm;  // interleaved, 48 kHz
};

Decoded decode(const std::string& path) {
    Decoded out;
    int error = 0;
    OggOpusFile* file = op_open_file(path.c_str(), &error);
    EXPECT_NE(file, nullptr) << "op_open_file error " << error;
    if (file == nullptr) return out;
    const OpusHead* head = op_head(file, -1);
    out.channels = head->channel_count;
    out.pre_skip = static_cast<int>(head->pre_skip);
    out.input_rate = head->input_sample_rate;
    std::array<opus_int16, 5760 * 2> buffer;
    for (;;) {
        const int frames = op_read(file, buffer.data(), static_cast<int>(buffer.size()), nullptr);
        EXPECT_GE(frames, 0) << "op_read error";
        if (frames <= 0) break;
        out.pcm.insert(out.pcm.end(), buffer.begin(), buffer.begin() + frames * out.channels);
    }
    op_free(file);
    return out;
}

// Frequency of one channel from the spacing of its rising zero crossings,
// skipping the edges where the codec ramps in and out.
double frequency(const Decoded& d, int channel) {
    const std::size_t frames = d.pcm.size() / static_cast<std::size_t>(d.channels);
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t f = 4800; f + 4800 < frames; ++f) {
        const double a = d.pcm[(f - 1) * d.channels + channel];
        const double b = d.pcm[f * d.channels + channel];
        if (a < 0 && b >= 0) {
            const double at = static_cast<double>(f - 1) + a / (a - b);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return (crossings - 1) * 48000.0 / (last - first);
}

std::uint32_t le32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// Page rules a reader relies on: header pages first and alone, every checksum
// valid, sequences without gaps, audio granules at 960 per packet, end-of-stream
// on the last page only.
void expect_stream_layout(const OggFile& file, std::uint32_t serial, std::size_t audio_packets) {
    EXPECT_EQ(file.sync_holes, 0);
    ASSERT_GE(file.pages.size(), 3u);
    ASSERT_EQ(file.packets.size(), 2 + audio_packets);
    EXPECT_EQ(file.packets[0], identification_header(file.packets[0][9], le32(file.packets[0], 12)));
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
            EXPECT_FALSE(page.continued);
            EXPECT_EQ(page.granule, 0);
            continue;
        }
        packets_so_far += page.packets_ended;
        EXPECT_EQ(page.granule, page.packets_ended == 0 ? -1 : 960 * packets_so_far);
    }
    EXPECT_EQ(packets_so_far, static_cast<std::int64_t>(audio_packets));
}

TEST(OpusOggWriter, FirstPageIsByteExact) {
    TempDir dir;
    const std::string path = dir.file("a.opus");
    ASSERT_EQ(record(path, 48000, 2, {}, 960), 0.0);
    const std::vector<std::uint8_t> expected = {
        0x4F, 0x67, 0x67, 0x53, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xEE, 0x50, 0x4D,
        0x00, 0x00, 0x00, 0x00, 0x6A, 0x23, 0x0B, 0x1D, 0x01, 0x13,
        0x4F, 0x70, 0x75, 0x73, 0x48, 0x65, 0x61, 0x64, 0x01, 0x02, 0x38, 0x01, 0x80, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x00};
    const auto bytes = read_bytes(path);
    ASSERT_GE(bytes.size(), expected.size());
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 47), expected);
}

TEST(OpusOggWriter, EmptyRecordingIsThreePagesAndZeroSeconds) {
    TempDir dir;
    const std::string path = dir.file("empty.opus");
    EXPECT_EQ(record(path, 48000, 2, {}, 960), 0.0);
    const OggFile file = read_ogg(path);
    expect_stream_layout(file, 0x4D50EE80, 1);
    ASSERT_EQ(file.pages.size(), 3u);
    EXPECT_EQ(file.pages[2].granule, 960);
}

TEST(OpusOggWriter, LongRecordingKeepsPageRules) {
    TempDir dir;
    const std::string path = dir.file("long.opus");
    // 12.345 s in 10 ms chunks: 617 whole frames, one padded frame.
    const Samples pcm = sines(48000, 592560, {440.0, 660.0});
    const double seconds = record(path, 48000, 2, pcm, 480);
    EXPECT_DOUBLE_EQ(seconds, 618 * 0.02);
    const OggFile file = read_ogg(path);
    expect_stream_layout(file, 0x4D50EE80, 618);
    EXPECT_GT(file.pages.size(), 4u) << "audio should span several pages";
}

TEST(OpusOggWriter, FramesAreCutAtExactly960PerChannel) {
    TempDir dir;
    const Samples pcm = sines(48000, 960, {500.0, 700.0});
    {
        auto writer = OpusOggWriter::create(dir.file("whole.opus"), 48000, 2);
        ASSERT_TRUE(writer.has_value());
        ASSERT_TRUE(writer->write_pcm_i16(pcm));
        EXPECT_EQ(writer->pending_samples(), 0u);
        // Nothing pending: the closing packet is silence and adds no duration.
        EXPECT_EQ(writer->finalize(), 0.02);
    }
    expect_stream_layout(read_ogg(dir.file("whole.opus")), 0x4D50EE80, 2);
    {
        auto writer = OpusOggWriter::create(dir.file("short.opus"), 48000, 2);
        ASSERT_TRUE(writer.has_value());
        ASSERT_TRUE(writer->write_pcm_i16(std::span(pcm).first(1919)));
        EXPECT_EQ(writer->pending_samples(), 1919u);
        EXPECT_EQ(writer->finalize(), 0.02);
    }
    expect_stream_layout(read_ogg(dir.file("short.opus")), 0x4D50EE80, 1);
    {
        // One sample past a frame: padded to a whole frame that counts in full.
        auto writer = OpusOggWriter::create(dir.file("one.opus"), 48000, 2);
        ASSERT_TRUE(writer.has_value());
        ASSERT_TRUE(writer->write_pcm_i16(pcm));
        ASSERT_TRUE(writer->write_pcm_i16(std::span(pcm).first(1)));
        EXPECT_EQ(writer->pending_samples(), 1u);
        EXPECT_EQ(writer->finalize(), 0.04);
    }
    const OggFile one = read_ogg(dir.file("one.opus"));
    expect_stream_layout(one, 0x4D50EE80, 2);
    EXPECT_EQ(one.pages.back().granule, 1920);
}

TEST(OpusOggWriter, ChannelCountsAndSerials) {
    TempDir dir;
    struct Case {
        std::uint8_t asked;
        int written;
        std::uint32_t serial;
    };
    for (const Case c : {Case{0, 1, 0x4E50EE80}, Case{1, 1, 0x4E50EE80}, Case{2, 2, 0x4D50EE80},
                         Case{3, 2, 0x4D50EE80}, Case{255, 2, 0x4D50EE80}}) {
        SCOPED_TRACE("channels " + std::to_string(c.asked));
        const std::string path = dir.file("ch" + std::to_string(c.asked) + ".opus");
        std::vector<double> tones(static_cast<std::size_t>(c.written), 440.0);
        EXPECT_DOUBLE_EQ(record(path, 48000, c.asked, sines(48000, 9600, tones), 441), 0.2);
        const OggFile file = read_ogg(path);
        expect_stream_layout(file, c.serial, 11);
        EXPECT_EQ(file.packets[0][9], c.written);
        EXPECT_EQ(decode(path).channels, c.written);
    }
}

TEST(OpusOggWriter, DecodesToTheSameTonesAt48000) {
    TempDir dir;
    const std::string path = dir.file("tones.opus");
    record(path, 48000, 2, sines(48000, 96000, {440.0, 1250.0}), 512);
    const Decoded d = decode(path);
    EXPECT_EQ(d.channels, 2);
    EXPECT_EQ(d.pre_skip, 312);
    EXPECT_EQ(d.input_rate, 48000u);
    // 100 frames of audio and the closing silent frame, minus the pre-skip.
    EXPECT_EQ(d.pcm.size(), (101u * 960 - 312) * 2);
    EXPECT_NEAR(frequency(d, 0), 440.0, 2.0);
    EXPECT_NEAR(frequency(d, 1), 1250.0, 5.0);
}

TEST(OpusOggWriter, ResamplesOtherRatesTo48000) {
    TempDir dir;
    const std::string path = dir.file("cd.opus");
    const double seconds = record(path, 44100, 2, sines(44100, 88200, {1000.0, 300.0}), 441);
    // 200 chunks of 441 frames give 200 * 480 + 1 output frames: 100 frames and one padded.
    EXPECT_DOUBLE_EQ(seconds, 101 * 0.02);

    const std::uint32_t serial = 44100u ^ 0x02000000u ^ 0x4F505500u;
    const OggFile file = read_ogg(path);
    expect_stream_layout(file, serial, 101);
    EXPECT_EQ(le32(file.packets[0], 12), 44100u);

    const Decoded d = decode(path);
    EXPECT_EQ(d.input_rate, 44100u);
    EXPECT_NEAR(frequency(d, 0), 1000.0, 4.0);
    EXPECT_NEAR(frequency(d, 1), 300.0, 1.5);
}

TEST(OpusOggWriter, OddChunksDoNotFail) {
    TempDir dir;
    for (const std::uint32_t rate : {48000u, 44100u}) {
        auto writer = OpusOggWriter::create(dir.file("odd.opus"), rate, 2);
        ASSERT_TRUE(writer.has_value());
        const Samples one{1234};
        ASSERT_TRUE(writer->write_pcm_i16(one));
        ASSERT_TRUE(writer->write_pcm_i16({}));
        // At 48 kHz samples are kept as given; the converter drops the partial frame.
        EXPECT_EQ(writer->pending_samples(), rate == 48000 ? 1u : 0u);
        EXPECT_TRUE(writer->finalize().has_value());
    }
}

TEST(OpusOggWriter, RateZeroIsRejectedBeforeTheFileIsTouched) {
    TempDir dir;
    const std::string path = dir.file("zero.opus");
    auto writer = OpusOggWriter::create(path, 0, 2);
    ASSERT_FALSE(writer.has_value());
    EXPECT_EQ(writer.error().kind(), IoErrorKind::Other);
    EXPECT_EQ(writer.error().to_string(), "unsupported input rate 0");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(OpusOggWriter, ReportsFileErrors) {
    auto missing = OpusOggWriter::create("/nonexistent-vmah-dir/x.opus", 48000, 2);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().kind(), IoErrorKind::Os);
    EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");

    // The headers fit in the buffer, so the full device shows at finalize.
    {
        auto writer = OpusOggWriter::create("/dev/full", 48000, 2);
        ASSERT_TRUE(writer.has_value());
        auto finished = writer->finalize();
        ASSERT_FALSE(finished.has_value());
        EXPECT_EQ(finished.error().to_string(), "No space left on device (os error 28)");
    }
    // Enough audio to fill a page makes write_pcm_i16 fail; the writer keeps going.
    auto writer = OpusOggWriter::create("/dev/full", 48000, 2);
    ASSERT_TRUE(writer.has_value());
    const Samples pcm = sines(48000, 48000, {440.0, 660.0});
    int failures = 0;
    for (int second = 0; second < 8; ++second) {
        auto written = writer->write_pcm_i16(pcm);
        if (!written) {
            ++failures;
            EXPECT_EQ(written.error().kind(), IoErrorKind::Other);
            EXPECT_EQ(written.error().to_string(), "No space left on device (os error 28)");
        }
        EXPECT_EQ(writer->pending_samples(), 0u);
    }
    EXPECT_GT(failures, 0);
    EXPECT_FALSE(writer->finalize().has_value());
}

TEST(OpusOggWriter, MovedWriterOwnsTheStream) {
    TempDir dir;
    const std::string path = dir.file("moved.opus");
    auto created = OpusOggWriter::create(path, 48000, 1);
    ASSERT_TRUE(created.has_value());
    OpusOggWriter writer = std::move(*created);
    ASSERT_TRUE(writer.write_pcm_i16(sines(48000, 4800, {440.0})));
    OpusOggWriter other = std::move(writer);
    EXPECT_DOUBLE_EQ(other.finalize().value_or(-1), 0.1);
    expect_stream_layout(read_ogg(path), 0x4E50EE80, 6);
}

// opus-tools' inspector reads the file end to end and complains about anything odd.
TEST(OpusOggWriter, OpusinfoAcceptsTheFile) {
    TempDir dir;
    const std::string path = dir.file("check.opus");
    record(path, 44100, 2, sines(44100, 44100 * 3, {440.0, 880.0}), 441);

    FILE* pipe = ::popen(("opusinfo '" + path + "' 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    std::array<char, 512> chunk;
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe) != nullptr) output += chunk.data();
    const int status = ::pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_EQ(output.find("WARNING"), std::string::npos) << output;
    EXPECT_EQ(output.find("ERROR"), std::string::npos) << output;
    EXPECT_NE(output.find("Channels: 2"), std::string::npos) << output;
    EXPECT_NE(output.find("Original sample rate: 44100"), std::string::npos) << output;
}

}  // namespace
}  // namespace opus_ogg
