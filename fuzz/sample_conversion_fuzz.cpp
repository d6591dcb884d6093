// Builds one audio sample buffer from the input on the scripted platform: any number of
// buffers, any channel counts, sizes that undershoot or overrun the block, offsets inside,
// at or past the block's end or missing, and any bytes (NaN, infinities, denormals). The
// buffer goes through the bridge and the binding to the helper's conversion and through
// the output handler, and the result is checked against a plain reading of the same bytes.
// Memory errors are the sanitizers' to find; every platform object must be gone at the end.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/bridge/handles.h"
#include "fuzz/fuzz_input.h"
#include "platform/model/block_buffer.h"
#include "platform/model/object.h"
#include "platform/model/sample_buffer.h"
#include "src/audio_output_handler.h"
#include "src/writer_slot.h"

namespace {

using Samples = std::vector<std::int16_t>;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "sample conversion: %s\n", what);
    std::abort();
}

using fuzz::Input;

// Keeps what the handler hands over.
struct RecordingWriter {
    std::shared_ptr<std::vector<Samples>> writes = std::make_shared<std::vector<Samples>>();
    std::expected<void, std::string> write_pcm_i16(std::span<const std::int16_t> samples) {
        writes->emplace_back(samples.begin(), samples.end());
        return {};
    }
};

std::uint32_t pick_channels(Input& in) {
    static constexpr std::uint32_t CHOICES[] = {0, 1, 2, 3, 4, 6, 8, 255, 65536, 0xFFFFFFFFu};
    return CHOICES[in.take(1) % std::size(CHOICES)];
}

std::optional<std::size_t> pick_offset(Input& in, std::size_t length) {
    switch (in.take(1) % 6) {
        case 0:
            return std::nullopt;
        case 1:
            return 0;
        case 2:
            return length;
        case 3:
            return length + 1 + in.take(1);
        case 4:
            return (in.take(2) % (length + 1)) & ~std::size_t{3};
        default:
            return in.take(2) % (length + 1);
    }
}

std::uint32_t pick_size(Input& in, std::size_t length, std::optional<std::size_t> offset) {
    const std::size_t room = offset && *offset <= length ? length - *offset : 0;
    switch (in.take(1) % 6) {
        case 0:
            return static_cast<std::uint32_t>(room);
        case 1:
            return static_cast<std::uint32_t>(length);
        case 2:
            return static_cast<std::uint32_t>(room / 4 * 4);
        case 3:
            return 0xFFFFFFFFu;
        case 4:
            return in.take(1);
        default:
            return in.take(2);
    }
}

// A float sample as 16 bits, worked out in double precision; the helper works in single
// precision, which may land one step lower or higher just below an integer.
bool close_to(std::int16_t got, float sample) {
    if (got == -32768) return false;
    if (std::isnan(sample)) return got == 0;
    const double exact = std::trunc(std::clamp(static_cast<double>(sample), -1.0, 1.0) * 32767.0);
    return std::abs(got - exact) <= 1.0;
}

// The bytes a reader may see for one buffer: nothing without a data pointer, never more
// than the block holds from that pointer on.
std::span<const std::byte> visible(const platform::AudioBufferLayout& entry,
                                   const platform::CMBlockBuffer* block) {
    if (block == nullptr || !entry.offset || *entry.offset > block->dataLength()) return {};
    const std::size_t room = block->dataLength() - *entry.offset;
    return {block->data() + *entry.offset, std::min<std::size_t>(entry.data_byte_size, room)};
}

float float_at(std::span<const std::byte> bytes, std::size_t index) {
    float value = 0.0f;
    std::memcpy(&value, bytes.data() + index * sizeof value, sizeof value);
    return value;
}

// What the conversion must give: (channel buffer, sample index) per output sample, or
// nothing when the buffers hold no whole sample.
using Source = std::pair<std::size_t, std::size_t>;
std::optional<std::vector<Source>> expected_sources(
    const std::vector<std::span<const std::byte>>& buffers, std::uint32_t first_channels) {
    std::vector<Source> out;
    if (buffers.size() == 1) {
        const std::size_t samples = buffers[0].size() / 4;
        if (samples == 0) return std::nullopt;
        const std::size_t channels = std::max<std::uint32_t>(first_channels, 1);
        // Whole frames only, stereo too: a stray sample would shift every later frame.
        for (std::size_t f = 0; f < samples / channels; ++f) {
            out.push_back({0, f * channels});
            out.push_back({0, f * channels + (channels == 1 ? 0 : 1)});
        }
        return out;
    }
    std::size_t frames = SIZE_MAX;
    for (const auto& b : buffers) frames = std::min(frames, b.size() / 4);
    if (frames == 0) return std::nullopt;
    for (std::size_t f = 0; f < frames; ++f) {
        out.push_back({0, f});
        out.push_back({1, f});
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{{data, size}};
    const std::uint32_t shape = in.take(1);
    const std::size_t buffer_count = shape % 5;
    const bool no_block = (shape & 0x80) != 0;
    const std::size_t length = in.take(2) % 8192;

    std::vector<platform::AudioBufferLayout> layout;
    for (std::size_t i = 0; i < buffer_count; ++i) {
        platform::AudioBufferLayout entry;
        entry.number_channels = pick_channels(in);
        entry.offset = pick_offset(in, length);
        entry.data_byte_size = pick_size(in, length, entry.offset);
        layout.push_back(entry);
    }
    // The block's bytes are the rest of the input, repeated.
    std::vector<std::byte> bytes(length);
    const auto rest = in.rest();
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = rest.empty() ? std::byte{0x3F} : static_cast<std::byte>(rest[i % rest.size()]);
    }

    {
        auto block = platform::Ref<platform::CMBlockBuffer>();
        if (!no_block) {
            block = platform::CMBlockBuffer::create(length);
            if (length != 0) std::memcpy(block->data(), bytes.data(), length);
        }
        const auto sample_buffer =
            platform::CMSampleBuffer::createAudio(block.get(), layout, 48000, 0);
        const std::size_t references = sample_buffer->retain_count();

        std::vector<std::span<const std::byte>> seen;
        for (const auto& entry : layout) seen.push_back(visible(entry, block.get()));

        std::optional<Samples> converted;
        bool listed = false;
        {
            sample_buffer->retain();
            const capture::CMSampleBuffer value(bridge::to_handle(sample_buffer.get()));
            const auto list = value.audio_buffer_list();
            listed = list.has_value();
            Samples out;
            if (list && helper::to_interleaved_stereo(*list, out)) converted = std::move(out);
        }
        if (listed != (!no_block && !layout.empty())) fail("list presence");
        if (sample_buffer->retain_count() != references) fail("sample buffer reference kept");

        if (listed) {
            const auto sources = expected_sources(seen, layout[0].number_channels);
            if (converted.has_value() != sources.has_value()) fail("nothing versus something");
            if (converted) {
                if (converted->size() != sources->size()) fail("sample count");
                for (std::size_t i = 0; i < sources->size(); ++i) {
                    const auto [buffer, index] = (*sources)[i];
                    if (!close_to((*converted)[i], float_at(seen[buffer], index))) {
                        fail("sample value");
                    }
                }
            }
        }

        // The handler hands the same conversion to the writer, or nothing.
        RecordingWriter writer;
        auto slot = std::make_shared<helper::BasicWriterSlot<RecordingWriter>>(writer);
        const helper::AudioOutputHandler<RecordingWriter> handler(slot);
        for (auto type : {capture::SCStreamOutputType::Screen, capture::SCStreamOutputType::Audio,
                          capture::SCStreamOutputType::Microphone}) {
            sample_buffer->retain();
            handler(capture::CMSampleBuffer(bridge::to_handle(sample_buffer.get())), type);
        }
        if (sample_buffer->retain_count() != references) fail("handler kept a reference");
        if (writer.writes->size() != (converted ? 1u : 0u)) fail("handler writes");
        if (converted && writer.writes->front() != *converted) fail("handler wrote other samples");
    }
    if (platform::live_objects_total() != 0) fail("platform objects left alive");
    return 0;
}
