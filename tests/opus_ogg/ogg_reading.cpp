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
    OggFile file;
    file.bytes = read_bytes(path);

    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, static_cast<long>(file.bytes.size()));
    if (!file.bytes.empty()) std::memcpy(buffer, file.bytes.data(), file.bytes.size());
    ogg_sync_wrote(&sync, static_cast<long>(file.bytes.size()));

    ogg_stream_state stream;
    bool stream_ready = false;
    ogg_page page;
    for (;;) {
        const int got = ogg_sync_pageout(&sync, &page);
        if (got == 0) break;
        if (got < 0) {
            ++file.sync_holes;
            continue;
        }
        Page info;
        info.serial = static_cast<std::uint32_t>(ogg_page_serialno(&page));
        info.sequence = ogg_page_pageno(&page);
        info.granule = ogg_page_granulepos(&page);
        info.first = ogg_page_bos(&page) != 0;
        info.last = ogg_page_eos(&page) != 0;
        info.continued = ogg_page_continued(&page) != 0;
        info.packets_ended = ogg_page_packets(&page);
        file.pages.push_back(info);

        if (!stream_ready) {
            ogg_stream_init(&stream, ogg_page_serialno(&page));
            stream_ready = true;
        }
        if (ogg_stream_pagein(&stream, &page) != 0) ++file.sync_holes;
        ogg_packet packet;
        int out;
        while ((out = ogg_stream_packetout(&stream, &packet)) != 0) {
            if (out < 0) {
                ++file.sync_holes;
                continue;
            }
            file.packets.emplace_back(packet.packet, packet.packet + packet.bytes);
        }
    }
    if (stream_ready) ogg_stream_clear(&stream);
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
