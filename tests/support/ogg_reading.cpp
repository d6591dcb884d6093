#include "tests/support/ogg_reading.h"

#include <ogg/ogg.h>
#include <stdlib.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

namespace test_support {

std::vector<std::uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

OggFile parse_ogg(std::vector<std::uint8_t> bytes) {
    OggFile file{std::move(bytes), {}, {}};
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    if (!file.bytes.empty()) {
        char* buffer = ogg_sync_buffer(&sync, static_cast<long>(file.bytes.size()));
        std::memcpy(buffer, file.bytes.data(), file.bytes.size());
        ogg_sync_wrote(&sync, static_cast<long>(file.bytes.size()));
    }

    ogg_stream_state stream;
    ogg_page page;
    ogg_packet packet;
    for (int got; (got = ogg_sync_pageout(&sync, &page)) != 0;) {
        if (got < 0) {
            ++file.holes;
            ++file.skipped;
            continue;
        }
        if (file.pages.empty()) ogg_stream_init(&stream, ogg_page_serialno(&page));
        file.pages.push_back({static_cast<std::uint32_t>(ogg_page_serialno(&page)),
                              ogg_page_pageno(&page), ogg_page_granulepos(&page),
                              ogg_page_bos(&page) != 0, ogg_page_eos(&page) != 0,
                              ogg_page_continued(&page) != 0, ogg_page_packets(&page),
                              static_cast<std::size_t>(page.header_len + page.body_len)});
        if (ogg_stream_pagein(&stream, &page) != 0) ++file.holes;
        for (int out; (out = ogg_stream_packetout(&stream, &packet)) != 0;) {
            if (out < 0)
                ++file.holes;
            else
                file.packets.emplace_back(packet.packet, packet.packet + packet.bytes);
        }
    }
    if (!file.pages.empty()) ogg_stream_clear(&stream);
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
