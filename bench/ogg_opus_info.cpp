#include "bench/ogg_opus_info.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace bench {

namespace {

constexpr std::size_t PAGE_HEADER_BYTES = 27;
constexpr std::uint64_t NO_GRANULE = ~std::uint64_t{0};
constexpr std::uint8_t LAST_PAGE = 0x04;
constexpr double OPUS_RATE = 48000.0;

std::uint64_t le(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{bytes[at + i]} << (8 * i);
    return value;
}

}  // namespace

double OggOpusInfo::duration_seconds() const {
    if (last_granule <= pre_skip) return 0.0;
    return static_cast<double>(last_granule - pre_skip) / OPUS_RATE;
}

double OggOpusInfo::kbit_per_second() const {
    const double seconds = duration_seconds();
    return seconds > 0 ? static_cast<double>(bytes) * 8.0 / seconds / 1000.0 : 0.0;
}

std::optional<OggOpusInfo> parse_ogg_opus(std::span<const std::uint8_t> bytes) {
    OggOpusInfo info;
    info.bytes = bytes.size();
    bool head_seen = false;
    bool granule_seen = false;
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < PAGE_HEADER_BYTES ||
            std::memcmp(bytes.data() + at, "OggS", 4) != 0) {
            return std::nullopt;
        }
        const std::size_t segments = bytes[at + 26];
        if (bytes.size() - at - PAGE_HEADER_BYTES < segments) return std::nullopt;
        std::size_t body = 0;
        for (std::size_t s = 0; s < segments; ++s) body += bytes[at + PAGE_HEADER_BYTES + s];
        const std::size_t body_at = at + PAGE_HEADER_BYTES + segments;
        if (bytes.size() - body_at < body) return std::nullopt;

        if (!head_seen) {
            // The identification header: magic, version, channels, pre-skip, input rate.
            if (body < 19 || std::memcmp(bytes.data() + body_at, "OpusHead", 8) != 0)
                return std::nullopt;
            info.pre_skip = static_cast<std::uint16_t>(le(bytes, body_at + 10, 2));
            info.input_rate = static_cast<std::uint32_t>(le(bytes, body_at + 12, 4));
            head_seen = true;
        }
        const std::uint64_t granule = le(bytes, at + 6, 8);
        if (granule != NO_GRANULE) {
            info.last_granule = granule;
            granule_seen = true;
        }
        info.ends_with_eos = (bytes[at + 5] & LAST_PAGE) != 0;
        ++info.pages;
        at = body_at + body;
    }
    if (!head_seen || !granule_seen) return std::nullopt;
    return info;
}

std::optional<OggOpusInfo> read_ogg_opus(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    return parse_ogg_opus(bytes);
}

}  // namespace bench
