#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ogg/packet_writer.h"
#include "opus_ogg/buffered_file.h"
#include "opus_ogg/encoder.h"
#include "opus_ogg/io_error.h"
#include "opus_ogg/rate_converter.h"

namespace opus_ogg {

// Writes interleaved 16-bit PCM as one Ogg Opus stream: the two header packets,
// then one Opus packet per frame of FRAME_DURATION. Input at a rate other than
// ENCODER_RATE is resampled first. Used by one thread at a time.
//
// Encoder failures after creation are not reported: the frame is dropped. I/O
// failures are reported but do not disable the writer.
class OpusOggWriter {
public:
    // The rate the encoder runs at, Opus's full band; other input rates are resampled to it.
    static constexpr std::uint32_t ENCODER_RATE = opus_ogg::ENCODER_RATE;
    // The frame each packet holds, one of the durations Opus allows.
    static constexpr std::chrono::milliseconds FRAME_DURATION{20};
    // Per channel.
    static constexpr std::size_t FRAME_SAMPLES =
        ENCODER_RATE * FRAME_DURATION / std::chrono::seconds(1);
    static constexpr std::size_t MAX_PACKET_BYTES = 4000;
    // Two frames of stereo.
    static constexpr std::size_t INITIAL_PCM_CAPACITY = 2 * FRAME_SAMPLES * 2;
    static constexpr std::uint32_t SERIAL_MASK = 0x4F505500;

    // Channel count 0 becomes 1, anything above 2 becomes 2. Rate 0 is rejected
    // before the file is touched: no resampling step could ever advance from it.
    // The file is opened as BufferedFile::open_for_recording does: never waiting for a
    // pipe's reader (one that comes later gets the recording from its start), and not taken
    // from another recording that holds it.
    static std::expected<OpusOggWriter, IoError> create(const std::string& path, std::uint32_t rate,
                                                        std::uint8_t channels);

    OpusOggWriter(OpusOggWriter&&) noexcept = default;
    OpusOggWriter& operator=(OpusOggWriter&&) noexcept = default;

    // Buffers samples (any length) and encodes every whole frame.
    std::expected<void, IoError> write_pcm_i16(std::span<const std::int16_t> samples);

    // Encodes the last frame, zero-padded (or one silent frame when nothing is
    // pending), with the end-of-stream mark, writes the file buffer out and returns
    // the encoded audio duration in seconds. The output is waited for, before the last
    // page as after it, for as long as it takes (the caller bounds that by watching
    // output_progress()). Fails also when the path no longer names the regular file
    // written (removed or replaced meanwhile), and when a packet was dropped for want of
    // room while the output was behind. Only destruction may follow; the file stays open,
    // and locked, until then.
    std::expected<double, IoError> finalize();

    // What the output owes and has taken, readable from any thread.
    BufferedFile::Progress output_progress() const { return packet_writer_.sink().progress(); }

private:
    using PageWriter = ogg::PacketWriter<BufferedFile>;

    OpusOggWriter(PageWriter packet_writer, Encoder encoder, std::string path,
                  std::uint8_t channels, std::uint32_t rate, std::uint32_t serial);

    std::size_t frame_len() const { return FRAME_SAMPLES * channels_; }
    // Encodes one frame; an encoder failure gives no packet.
    std::optional<std::vector<std::uint8_t>> encode_frame(std::span<const std::int16_t> frame);
    std::expected<void, IoError> write_audio_packet(std::vector<std::uint8_t> packet,
                                                    ogg::PacketEnd directive);

    // Declared before the encoder so that the encoder is destroyed first.
    PageWriter packet_writer_;
    Encoder encoder_;
    std::string path_;
    std::uint8_t channels_;
    std::uint32_t input_rate_;
    double resample_pos_ = 0.0;
    std::vector<std::int16_t> pcm_;
    std::uint64_t granule_pos_ = 0;
    std::uint64_t samples_written_ = 0;
    std::uint32_t serial_;
};

}  // namespace opus_ogg
