#include "ogg/crc.h"

namespace ogg {

std::uint32_t vorbis_crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
        crc = (crc << 8) ^ CRC_LOOKUP_ARRAY[(crc >> 24) ^ byte];
    }
    return crc;
}

}  // namespace ogg
