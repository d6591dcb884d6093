#include "tests/opus_ogg/ogg_reading.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ogg/ogg.h>
#include <stdexcept>
#include <stdlib.h>

namespace opus_ogg_test {

std::vector<std::uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

OggFile read_ogg(const std::string& path) {
    OggFile file{read_bytes(path), {}, {}};
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, static_cast<long>(file.bytes.size()));
    std::memcpy(buffer, file.bytes.data(), file.bytes.size());
    ogg_sync_wrote(&sync, static_cast<long>(file.bytes.size()));

    ogg_stream_state stream;
    ogg_page page;
    ogg_packet packet;
    for (int got; (got = ogg_sync_pageout(&sync, &page)) != 0;) {
        if (got < 0) {
            ++file.holes;
            continue;
        }
        if (file.pages.empty()) ogg_stream_init(&stream, ogg_page_serialno(&page));
        file.pages.push_back({static_cast<std::uint32_t>(ogg_page_serialno(&page)), ogg_page_pageno(&page),
                              ogg_page_granulepos(&page), ogg_page_bos(&page) != 0, ogg_page_eos(&page) != 0,
                              ogg_page_continued(&page) != 0, ogg_page_packets(&page)});
        if (ogg_stream_pagein(&stream, &page) != 0) ++file.holes;
        for (int out; (out = ogg_stream_packetout(&stream, &packet)) != 0;) {
            if (out < 0) ++file.holes;
            else file.packets.emplace_back(packet.packet, packet.packet + packet.bytes);
        }
    }
    if (!file.pages.empty()) ogg_stream_clear(&stream);
    ogg_sync_clear(&sync);
    return file;
}

TempDir::TempDir() {
    char name[] = "/tmp/vmah-opus-ogg-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = name;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

}  // namespace opus_ogg_test
