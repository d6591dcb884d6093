#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace opus_ogg {

// Written into the identification header rather than asked of the encoder, so the
// file layout does not depend on the libopus version.
inline constexpr std::uint16_t PRE_SKIP = 312;
inline constexpr std::string_view VENDOR_STRING = "velgo-marrinet";
inline constexpr std::size_t IDENTIFICATION_HEADER_BYTES = 19;
inline constexpr std::size_t COMMENT_HEADER_BYTES = 8 + 4 + VENDOR_STRING.size() + 4;

// "OpusHead", version 1, channel count, pre-skip, input rate, gain 0, mapping family 0.
std::vector<std::uint8_t> identification_header(std::uint8_t channels, std::uint32_t input_rate);

// "OpusTags", the vendor string and no user comments.
std::vector<std::uint8_t> comment_header();

}  // namespace opus_ogg
