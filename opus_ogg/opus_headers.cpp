#include "opus_ogg/opus_headers.h"

#include <string_view>

namespace opus_ogg {

namespace {

constexpr std::uint8_t VERSION = 1;
constexpr std::uint16_t OUTPUT_GAIN = 0;
constexpr std::uint8_t MAPPING_FAMILY = 0;
constexpr std::uint32_t USER_COMMENT_COUNT = 0;

void put_text(std::vector<std::uint8_t>& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

void put_le16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put_le32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace

std::vector<std::uint8_t> identification_header(std::uint8_t channels, std::uint32_t input_rate) {
    std::vector<std::uint8_t> out;
    out.reserve(IDENTIFICATION_HEADER_BYTES);
    put_text(out, "OpusHead");
    out.push_back(VERSION);
    out.push_back(channels);
    put_le16(out, PRE_SKIP);
    put_le32(out, input_rate);
    put_le16(out, OUTPUT_GAIN);
    out.push_back(MAPPING_FAMILY);
    return out;
}

std::vector<std::uint8_t> comment_header() {
    std::vector<std::uint8_t> out;
    out.reserve(COMMENT_HEADER_BYTES);
    put_text(out, "OpusTags");
    put_le32(out, static_cast<std::uint32_t>(VENDOR_STRING.size()));
    put_text(out, VENDOR_STRING);
    put_le32(out, USER_COMMENT_COUNT);
    return out;
}

}  // namespace opus_ogg
