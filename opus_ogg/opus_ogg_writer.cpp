#include "opus_ogg/opus_ogg_writer.h"

#include <opus.h>
#include <algorithm>
#include <array>
#include <utility>

#include "opus_ogg/opus_headers.h"
#include "opus_ogg/rate_converter.h"

namespace opus_ogg {

OpusOggWriter::OpusOggWriter(PageWriter packet_writer, Encoder encoder, std::string path,
                             std::uint8_t channels, std::uint32_t rate, std::uint32_t serial)
    : packet_writer_(std::move(packet_writer)),
      encoder_(std::move(encoder)),
      path_(std::move(path)),
      channels_(channels),
      input_rate_(rate),
      serial_(serial) {
    pcm_.reserve(INITIAL_PCM_CAPACITY);
}

std::expected<OpusOggWriter, IoError> OpusOggWriter::create(const std::string& path,
                                                            std::uint32_t rate,
                                                            std::uint8_t channels_arg) {
    if (rate == 0) return std::unexpected(IoError::other("unsupported input rate 0"));
    const std::uint8_t count =
        channels_arg == 0 ? std::uint8_t{1} : std::min<std::uint8_t>(channels_arg, 2);

    auto created =
        Encoder::create(static_cast<std::int32_t>(ENCODER_RATE), count, OPUS_APPLICATION_AUDIO);
    if (!created) return std::unexpected(IoError::other("opus: " + created.error().to_string()));

    auto file = BufferedFile::open_for_recording(path);
    if (!file) return std::unexpected(file.error());

    PageWriter pages(std::move(*file));
    const std::uint32_t stream_serial =
        rate ^ (static_cast<std::uint32_t>(count) << 24) ^ SERIAL_MASK;
    for (auto header : {identification_header(count, rate), comment_header()}) {
        auto written =
            pages.write_packet(std::move(header), stream_serial, ogg::PacketEnd::FlushPage, 0);
        if (!written) return std::unexpected(std::move(written.error()));
    }
    return OpusOggWriter(std::move(pages), std::move(*created), path, count, rate, stream_serial);
}

std::optional<std::vector<std::uint8_t>> OpusOggWriter::encode_frame(
    std::span<const std::int16_t> frame) {
    std::array<std::uint8_t, MAX_PACKET_BYTES> out;
    auto length = encoder_.encode(frame, out);
    if (!length) return std::nullopt;
    return std::vector<std::uint8_t>(out.begin(),
                                     out.begin() + static_cast<std::ptrdiff_t>(*length));
}

std::expected<void, IoError> OpusOggWriter::write_audio_packet(std::vector<std::uint8_t> packet,
                                                               ogg::PacketEnd directive) {
    return packet_writer_.write_packet(std::move(packet), serial_, directive, granule_pos_);
}

std::expected<void, IoError> OpusOggWriter::write_pcm_i16(std::span<const std::int16_t> samples) {
    const std::size_t len = frame_len();
    // The caller's samples that are not in pcm: at the encoder's rate only what does not
    // fill a whole frame is copied. A frame begun in pcm is completed from the samples, the
    // whole frames after it are encoded where they lie, and the rest waits in pcm.
    std::span<const std::int16_t> later;
    if (!samples.empty()) {
        if (input_rate_ != ENCODER_RATE) {
            convert_rate(samples, channels_, input_rate_, resample_pos_, pcm_);
        } else if (pcm_.size() >= len) {
            // Whole frames left by an encoder failure go first.
            pcm_.insert(pcm_.end(), samples.begin(), samples.end());
        } else {
            const std::size_t top_up = std::min(samples.size(), (len - pcm_.size()) % len);
            pcm_.insert(pcm_.end(), samples.begin(),
                        samples.begin() + static_cast<std::ptrdiff_t>(top_up));
            later = samples.subspan(top_up);
        }
    }

    // A failed page write does not stop the loop: the remaining whole frames are
    // still encoded and handed on, and the first error is returned. Stopping there
    // would leave them in pcm, and with a file that keeps failing and chunks of
    // several frames pcm would grow without bound.
    std::expected<void, IoError> result;
    bool refused = false;
    const auto encode = [&](std::span<const std::int16_t> frame) {
        auto packet = encode_frame(frame);
        // A frame the encoder refused is lost; whole frames after it wait for the next call.
        if (!packet) return false;
        granule_pos_ += FRAME_SAMPLES;
        samples_written_ += FRAME_SAMPLES;
        auto written = write_audio_packet(std::move(*packet), ogg::PacketEnd::Normal);
        if (!written && result) result = std::move(written);
        return true;
    };
    // Frames are taken from the front; the remainder is moved down once at the end.
    std::size_t consumed = 0;
    while (!refused && pcm_.size() - consumed >= len) {
        refused = !encode(std::span(pcm_).subspan(consumed, len));
        consumed += len;
    }
    pcm_.erase(pcm_.begin(), pcm_.begin() + static_cast<std::ptrdiff_t>(consumed));
    while (!refused && later.size() >= len) {
        refused = !encode(later.first(len));
        later = later.subspan(len);
    }
    pcm_.insert(pcm_.end(), later.begin(), later.end());
    return result;
}

std::expected<double, IoError> OpusOggWriter::finalize() {
    // What the output could not take yet goes first, so that the last page finds room
    // behind a backlog that was full, as every page before it would have.
    if (auto flushed = packet_writer_.sink().flush(); !flushed)
        return std::unexpected(flushed.error());
    const bool had_audio = !pcm_.empty();
    // Pad the pending samples to one frame (anything beyond it is dropped), or
    // encode silence so that the end-of-stream mark has a packet to ride on.
    pcm_.resize(frame_len(), 0);
    auto packet = encode_frame(pcm_);
    pcm_.clear();
    if (packet) {
        granule_pos_ += FRAME_SAMPLES;
        if (had_audio) samples_written_ += FRAME_SAMPLES;
        if (auto written = write_audio_packet(std::move(*packet), ogg::PacketEnd::EndOfStream);
            !written) {
            return std::unexpected(written.error());
        }
    }
    if (auto flushed = packet_writer_.sink().flush(); !flushed)
        return std::unexpected(flushed.error());
    // A recording nobody can open again is no recording.
    if (auto named = packet_writer_.sink().check_named_by(path_); !named)
        return std::unexpected(named.error());
    if (packet_writer_.dropped_packets() > 0)
        return std::unexpected(IoError::other(BufferedFile::BEHIND_TEXT));
    return static_cast<double>(samples_written_) / static_cast<double>(ENCODER_RATE);
}

}  // namespace opus_ogg
