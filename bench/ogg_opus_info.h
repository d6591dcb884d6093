#pragma once

// What the end-to-end benchmark needs to know about a recorded Ogg Opus file, read
// straight from its pages so that every recorder's output is judged the same way.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace bench {

struct OggOpusInfo {
    std::uint64_t bytes = 0;
    std::uint64_t pages = 0;
    std::uint32_t input_rate = 0;    // as the identification header states it
    std::uint16_t pre_skip = 0;      // 48 kHz samples
    std::uint64_t last_granule = 0;  // of the last page on which a packet ends
    bool ends_with_eos = false;

    // Playable audio: the last granule less the pre-skip, at 48 kHz.
    double duration_seconds() const;
    // Whole file over that duration.
    double kbit_per_second() const;
};

// Nothing when the bytes are not one whole Ogg Opus stream: a bad capture pattern,
// a page that runs past the end, a first packet that is not "OpusHead", or no page
// with a granule position.
std::optional<OggOpusInfo> parse_ogg_opus(std::span<const std::uint8_t> bytes);
std::optional<OggOpusInfo> read_ogg_opus(const std::string& path);

}  // namespace bench
