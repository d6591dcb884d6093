#pragma once

// Independent view of a written file: pages and packets as libogg sees them.

#include <cstdint>
#include <string>
#include <vector>

namespace opus_ogg_test {

struct Page {
    std::uint32_t serial = 0;
    long sequence = 0;
    std::int64_t granule = 0;
    bool first = false;
    bool last = false;
    bool continued = false;
    int packets_ended = 0;  // packets that complete on this page
};

struct OggFile {
    std::vector<std::uint8_t> bytes;
    std::vector<Page> pages;
    std::vector<std::vector<std::uint8_t>> packets;
    int sync_holes = 0;  // damaged or skipped data, including checksum failures
};

std::vector<std::uint8_t> read_bytes(const std::string& path);
OggFile read_ogg(const std::string& path);

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }

    std::string path;
};

}  // namespace opus_ogg_test
