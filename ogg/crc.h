#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace ogg {

// Ogg page checksum: CRC-32 with polynomial 0x04C11DB7, most significant bit first,
// initial value 0 and no final XOR.
inline constexpr std::uint32_t CRC_POLYNOMIAL = 0x04C11DB7u;

// Entry i is i << 24 run through eight shift-and-reduce rounds.
inline constexpr std::array<std::uint32_t, 256> CRC_LOOKUP_ARRAY = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        std::uint32_t value = i << 24;
        for (int round = 0; round < 8; ++round) {
            const bool carry = (value & 0x80000000u) != 0;
            value <<= 1;
            if (carry) {
                value ^= CRC_POLYNOMIAL;
            }
        }
        table[i] = value;
    }
    return table;
}();

// Feeds bytes, in order, into a running checksum; start a page's checksum at 0.
std::uint32_t vorbis_crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes);

}  // namespace ogg
