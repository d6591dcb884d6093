#include "tests/support/ogg_reading.h"

#include <ogg/ogg.h>
#include <stdlib.h>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

namespace test_support {

namespace {

struct StreamState {
    ogg_stream_state state{};
    explicit StreamState(std::uint32_t serial) {
        ogg_stream_init(&state, static_cast<int>(serial));
    }
    ~StreamState() { ogg_stream_clear(&state); }
    StreamState(const StreamState&) = delete;
    StreamState& operator=(const StreamState&) = delete;
};

std::uint64_t le(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{bytes[at + i]} << (8 * i);
    return value;
}

constexpr double OPUS_RATE = 48000.0;

}  // namespace

const std::vector<Packet>& OggFile::packets_of(std::uint32_t serial) const {
    static const std::vector<Packet> none;
    if (!pages.empty() && pages.front().serial == serial) return packets;
    const auto other = other_streams.find(serial);
    return other == other_streams.end() ? none : other->second;
}

std::vector<std::uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

OggFile parse_ogg(std::vector<std::uint8_t> bytes) {
    OggFile file;
    file.bytes = std::move(bytes);
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    if (!file.bytes.empty()) {
        char* buffer = ogg_sync_buffer(&sync, static_cast<long>(file.bytes.size()));
        std::memcpy(buffer, file.bytes.data(), file.bytes.size());
        ogg_sync_wrote(&sync, static_cast<long>(file.bytes.size()));
    }

    std::map<std::uint32_t, StreamState> streams;
    ogg_page page;
    ogg_packet packet;
    for (int got; (got = ogg_sync_pageout(&sync, &page)) != 0;) {
        if (got < 0) {
            ++file.holes;
            ++file.skipped;
            continue;
        }
        const auto serial = static_cast<std::uint32_t>(ogg_page_serialno(&page));
        const bool first_stream = file.pages.empty() || file.pages.front().serial == serial;
        std::vector<Packet>& packets = first_stream ? file.packets : file.other_streams[serial];
        const int segments = page.header[26];
        Page read{serial,
                  ogg_page_pageno(&page),
                  ogg_page_granulepos(&page),
                  ogg_page_bos(&page) != 0,
                  ogg_page_eos(&page) != 0,
                  ogg_page_continued(&page) != 0,
                  ogg_page_packets(&page),
                  static_cast<std::size_t>(page.header_len + page.body_len),
                  segments,
                  segments > 0 && page.header[27 + segments - 1] == 255};
        read.first_packet = packets.size();
        auto& stream = streams.try_emplace(serial, serial).first->second;
        if (ogg_stream_pagein(&stream.state, &page) != 0) {
            ++file.holes;
            read.accepted = false;
        }
        for (int out; (out = ogg_stream_packetout(&stream.state, &packet)) != 0;) {
            if (out < 0) {
                ++file.holes;
                ++read.packet_holes;
            } else {
                packets.emplace_back(packet.packet, packet.packet + packet.bytes);
                ++read.packets_read;
            }
        }
        file.pages.push_back(read);
    }
    ogg_sync_clear(&sync);
    return file;
}

OggFile read_ogg(const std::string& path) { return parse_ogg(read_bytes(path)); }

OggSummary summarize(const OggFile& file) {
    OggSummary summary;
    summary.bytes = file.bytes.size();
    summary.skipped = file.skipped;
    summary.starts_with_capture =
        std::string_view(reinterpret_cast<const char*>(file.bytes.data()), file.bytes.size())
            .starts_with("OggS");
    for (const Page& page : file.pages) {
        summary.page_bytes += page.size;
        summary.sequence_gap_free = summary.sequence_gap_free && page.sequence == summary.pages;
        ++summary.pages;
        summary.last_is_eos = page.last;
        summary.eos_pages += page.last;
        if (page.granule != -1) summary.last_granule = page.granule;
    }
    summary.eos_on_last_page_only = summary.last_is_eos && summary.eos_pages == 1;
    const auto packet_starts = [&](std::size_t index, std::string_view magic) {
        if (index >= file.packets.size()) return false;
        const auto& packet = file.packets[index];
        return std::string_view(reinterpret_cast<const char*>(packet.data()), packet.size())
            .starts_with(magic);
    };
    summary.headers_first = packet_starts(0, "OpusHead") && packet_starts(1, "OpusTags");
    summary.audio_packets =
        file.packets.size() > 2 ? static_cast<long>(file.packets.size()) - 2 : 0;
    return summary;
}

OggSummary summarize_ogg(const std::string& path) { return summarize(read_ogg(path)); }

bool granule_matches(std::int64_t last_granule, double seconds) {
    const auto counted = static_cast<std::int64_t>(std::llround(seconds * 48000));
    return last_granule == counted || last_granule == counted + 960;
}

double OggOpusInfo::duration_seconds() const {
    if (last_granule <= pre_skip) return 0.0;
    return static_cast<double>(last_granule - pre_skip) / OPUS_RATE;
}

double OggOpusInfo::kbit_per_second() const {
    const double seconds = duration_seconds();
    return seconds > 0 ? static_cast<double>(bytes) * 8.0 / seconds / 1000.0 : 0.0;
}

std::optional<OggOpusInfo> ogg_opus_info(const OggFile& file) {
    const OggSummary summary = summarize(file);
    if (file.skipped != 0 || summary.page_bytes != summary.bytes || file.pages.empty())
        return std::nullopt;
    // The identification header: magic, version, channels, pre-skip, input rate.
    if (file.packets.empty()) return std::nullopt;
    const Packet& head = file.packets.front();
    if (head.size() < 19 || std::memcmp(head.data(), "OpusHead", 8) != 0) return std::nullopt;
    if (summary.last_granule < 0) return std::nullopt;
    OggOpusInfo info;
    info.bytes = summary.bytes;
    info.pages = static_cast<std::uint64_t>(summary.pages);
    info.pre_skip = static_cast<std::uint16_t>(le(head, 10, 2));
    info.input_rate = static_cast<std::uint32_t>(le(head, 12, 4));
    info.last_granule = static_cast<std::uint64_t>(summary.last_granule);
    info.ends_with_eos = summary.last_is_eos;
    return info;
}

std::optional<OggOpusInfo> parse_ogg_opus(std::span<const std::uint8_t> bytes) {
    return ogg_opus_info(parse_ogg({bytes.begin(), bytes.end()}));
}

std::optional<OggOpusInfo> read_ogg_opus(const std::string& path) {
    if (!std::filesystem::exists(path)) return std::nullopt;
    return ogg_opus_info(read_ogg(path));
}

TempDir::TempDir() {
    char name[] = "/tmp/vmah-test-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = name;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

}  // namespace test_support
